#include "support/loopback.h"

#include <gtest/gtest.h>

#include "platform/threads.h"

namespace km::test {

namespace {
constexpr SocketAddress4 kLoopback{127, 0, 0, 1};
constexpr int kPeerWaitMs = 10000;
} // namespace

void RawPeer::reset() {
  if (sock_.valid()) {
    abortConnection(sock_.release());
  }
}

bool RawPeer::send(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int error = 0;
    long sent = sendBytes(sock_.get(), bytes.data() + done, bytes.size() - done, error);
    if (sent <= 0) {
      return false;
    }
    done += static_cast<size_t>(sent);
  }
  return true;
}

std::string RawPeer::receive(size_t count) {
  std::string got;
  uint64_t deadline = tickCountMs() + kPeerWaitMs;
  char buffer[65536];
  while (got.size() < count && tickCountMs() < deadline) {
    if (waitReadable(sock_.get(), 100) != 1) {
      continue;
    }
    int error = 0;
    long n = receiveBytes(sock_.get(), buffer, std::min(sizeof buffer, count - got.size()), error);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

std::string RawPeer::receiveAll() {
  return receive(static_cast<size_t>(-1) / 2);
}

LoopbackPair connectedPair() {
  LoopbackPair pair;
  SocketHandle listener = createTcpSocket();
  int error = 0;
  EXPECT_TRUE(bindSocket(listener, kLoopback, 0, error)) << error;
  EXPECT_TRUE(listenOnSocket(listener, 1, error)) << error;
  int port = boundPort(listener);
  pair.ours = connectTcp("127.0.0.1", port, kPeerWaitMs, error).release();
  EXPECT_NE(pair.ours, kInvalidSocket) << error;
  EXPECT_EQ(waitReadable(listener, kPeerWaitMs), 1);
  SocketHandle accepted = kInvalidSocket;
  SocketAddress4 address{};
  EXPECT_EQ(acceptClient(listener, accepted, address, error), AcceptResult::Accepted);
  pair.peer = RawPeer(accepted);
  closeSocket(listener);
  return pair;
}

size_t fillUntilFull(SocketHandle sock) {
  std::string block(65536, 'f');
  size_t taken = 0;
  // Room may open up a little while the system grows its buffers: full means no
  // room three times in a row.
  for (int full = 0; full < 3;) {
    int error = 0;
    long sent = sendBytesNoWait(sock, block.data(), block.size(), error);
    if (sent > 0) {
      taken += static_cast<size_t>(sent);
      full = 0;
    } else {
      ++full;
      sleepMs(20);
    }
  }
  return taken;
}

int freeLoopbackPort() {
  SocketHandle sock = createTcpSocket();
  int error = 0;
  EXPECT_TRUE(bindSocket(sock, kLoopback, 0, error));
  int port = boundPort(sock);
  closeSocket(sock);
  return port;
}

RawPeer connectToLoopback(int port) {
  int error = 0;
  return RawPeer(connectTcp("127.0.0.1", port, kPeerWaitMs, error).release());
}

} // namespace km::test
