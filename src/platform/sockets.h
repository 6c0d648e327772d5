// TCP sockets: the handful of calls the listeners and the line sockets need. Every
// failure is reported as one of the program's numeric socket error codes
// (errors.h), so callers classify and print them the same way on every system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace km {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 address as four bytes in network order (the same layout as platform/ipv4.h).
using SocketAddress4 = std::array<uint8_t, 4>;

// The socket error code of the calling thread's last failed socket call.
int lastSocketError();

// Owner of a socket: closes it when it goes, unless released.
class UniqueSocket {
public:
  UniqueSocket() = default;
  explicit UniqueSocket(SocketHandle sock) : sock_(sock) {}
  UniqueSocket(UniqueSocket&& other) noexcept : sock_(other.release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  ~UniqueSocket() { reset(); }

  SocketHandle get() const { return sock_; }
  bool valid() const { return sock_ != kInvalidSocket; }
  // Gives the socket to a new owner.
  SocketHandle release() {
    SocketHandle sock = sock_;
    sock_ = kInvalidSocket;
    return sock;
  }
  // Closes the socket held, if any, and holds `sock` instead.
  void reset(SocketHandle sock = kInvalidSocket);

private:
  SocketHandle sock_ = kInvalidSocket;
};

// A new IPv4 stream socket, or kInvalidSocket.
SocketHandle createTcpSocket();

// Closes the socket; an invalid handle is ignored.
void closeSocket(SocketHandle sock);

// A listening socket bound to the address and port, non-blocking so that a client
// that vanishes between readiness and accept cannot stall the caller. The address
// is reusable at once, so that a port closed on resume or reload can be opened
// again while old connections linger. Returns false with the error code.
bool bindSocket(SocketHandle sock, const SocketAddress4& address, int port, int& error);
bool listenOnSocket(SocketHandle sock, int backlog, int& error);

// Lets a socket bind an address that old connections still linger on. Only that:
// no second socket may ever share a listening port with it.
void makeAddressReusable(SocketHandle sock);

// The port a bound socket ended up on (useful after binding port 0); 0 on failure.
int boundPort(SocketHandle sock);

// The addresses at both ends of a connected IPv4 socket, and the far end's port.
// False for a socket of another family, or when the system cannot say.
bool connectionEndpoints(SocketHandle sock, SocketAddress4& local, SocketAddress4& peer,
                         int& peerPort);

enum class AcceptResult { Accepted, NothingWaiting, Failed };

// Accepts one waiting client. The client socket is blocking and has TCP_NODELAY
// (the line sockets do their own buffering). NothingWaiting covers a client that
// disconnected before it was accepted.
AcceptResult acceptClient(SocketHandle listener, SocketHandle& client, SocketAddress4& peer,
                          int& error);

// Switches a socket between blocking and non-blocking mode.
bool setSocketBlocking(SocketHandle sock, bool blocking, int& error);

// Turns off Nagle's algorithm: small writes go out at once.
bool setNoDelay(SocketHandle sock);

// Waits until the socket has input (or an end or an error to report). A negative
// time-out waits without limit. 1: readable, 0: timed out, -1: the wait failed.
int waitReadable(SocketHandle sock, int timeoutMs);
// The same for two sockets at once: bit 0 set when the first is readable, bit 1
// when the second is; 0 when the time-out passed, -1 when the wait failed.
int waitReadableEither(SocketHandle first, SocketHandle second, int timeoutMs);
// The same for room to write.
int waitWritable(SocketHandle sock, int timeoutMs);

// Looks at the next byte without taking it: 1 when there is one, 0 when the peer
// closed, -1 on error (error set). Does not block when `dontWait` is set (then -2
// means nothing is waiting).
int peekByte(SocketHandle sock, bool dontWait, int& error);

// recv/send. A result below 0 is a failure with the error code set; recv gives 0
// when the peer closed. Writing to a closed peer fails; it never raises a signal.
long receiveBytes(SocketHandle sock, void* buffer, size_t size, int& error);
// As receiveBytes, without waiting: -2 when nothing is there yet.
long receiveWaitingBytes(SocketHandle sock, void* buffer, size_t size, int& error);
long sendBytes(SocketHandle sock, const void* bytes, size_t size, int& error);
// As sendBytes, taking only what fits at once: -2 when there is no room at all.
long sendBytesNoWait(SocketHandle sock, const void* bytes, size_t size, int& error);

// Bytes waiting to be read without blocking; -1 when the system cannot say.
long bytesWaiting(SocketHandle sock);

// Ends sending (the peer reads the end of the stream) without closing.
void shutdownSending(SocketHandle sock);

// Closes with a reset instead of an orderly end: the peer's next read fails.
void abortConnection(SocketHandle sock);

// Connects to a server by name or literal address, IPv4 or IPv6, trying each
// address the resolver gives in turn. The wait for each attempt is cut into short
// slices that watch the stop flag; `timeoutMs` bounds the whole call (negative: no
// limit). The socket is blocking and has TCP_NODELAY. kInvalidSocket and the error
// code on failure (resolver failures give the host-not-found family of codes).
UniqueSocket connectTcp(const std::string& host, int port, int timeoutMs, int& error);

// The IPv4 addresses of a host name, in the resolver's order; the error code when
// there are none.
bool lookupIpv4(const std::string& host, std::vector<SocketAddress4>& addresses, int& error);

// This machine's name, and the IPv4 addresses it resolves to.
std::string ownHostName();
std::vector<SocketAddress4> ownIpv4Addresses();

} // namespace km
