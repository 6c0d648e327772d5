// Real TCP connections over loopback for the network tests.
#pragma once

#include <string>
#include <string_view>

#include "net/line_socket.h"
#include "platform/files.h"
#include "platform/sockets.h"

namespace km::test {

// One end of a connection that a test drives by hand; closed when it goes.
class RawPeer {
public:
  RawPeer() = default;
  explicit RawPeer(SocketHandle sock) : sock_(sock) {}

  SocketHandle get() const { return sock_.get(); }
  void close() { sock_.reset(); }
  // Closes with a reset.
  void reset();

  // Sends every byte; false when the connection failed.
  bool send(std::string_view bytes);
  // Reads until `count` bytes came or the peer closed (or 10 s passed).
  std::string receive(size_t count);
  // Reads until the other side closes (or 10 s passed).
  std::string receiveAll();

private:
  UniqueFd sock_;
};

// A connected pair: `ours` is what the code under test wraps, `peer` the far end.
struct LoopbackPair {
  SocketHandle ours = kInvalidSocket;
  RawPeer peer;
};
LoopbackPair connectedPair();

// A LineSocket over `pair.ours` of a fresh connection.
struct AttachedPair {
  AttachedPair() { socket.attach(pair.ours); }
  LoopbackPair pair = connectedPair();
  LineSocket socket;
};

// Sends from `sock` until the connection takes nothing more, as when the far end
// stops reading; returns the bytes it took.
size_t fillUntilFull(SocketHandle sock);

// A port on 127.0.0.1 nothing listens on right now.
int freeLoopbackPort();

// Connects to 127.0.0.1:port; an invalid peer when that fails.
RawPeer connectToLoopback(int port);

} // namespace km::test
