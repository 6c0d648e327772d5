#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/threads.h"

namespace km {

namespace {

// Waits on the network are cut into slices of this length so that shutdown is
// seen quickly.
constexpr int kSliceMs = 500;

int waitFor(SocketHandle sock, short events, int timeoutMs) {
  pollfd entry{sock, events, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready >= 0) {
      return ready > 0 ? 1 : 0;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

int setFlags(SocketHandle sock, bool nonBlocking) {
  int flags = ::fcntl(sock, F_GETFL, 0);
  if (flags < 0) {
    return -1;
  }
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(sock, F_SETFL, flags);
}

// One connection attempt to one resolved address; the socket on success.
UniqueSocket connectOne(const addrinfo& address, uint64_t deadline, bool limited, int& error) {
  UniqueSocket owner(
      ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
  if (owner.get() < 0) {
    error = lastSocketError();
    return UniqueSocket();
  }
  SocketHandle sock = owner.get();
  if (setFlags(sock, true) != 0) {
    error = lastSocketError();
    return UniqueSocket();
  }
  if (::connect(sock, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
    error = lastSocketError();
    return UniqueSocket();
  }
  for (;;) {
    if (stopRequested()) {
      error = wsa::kConnectionAborted;
      return UniqueSocket();
    }
    int slice = kSliceMs;
    if (limited) {
      uint64_t now = tickCountMs();
      if (now >= deadline) {
        error = wsa::kTimedOut;
        return UniqueSocket();
      }
      slice = static_cast<int>(std::min<uint64_t>(deadline - now, kSliceMs));
    }
    int ready = waitFor(sock, POLLOUT, slice);
    if (ready < 0) {
      error = lastSocketError();
      return UniqueSocket();
    }
    if (ready > 0) {
      break;
    }
  }
  int failure = 0;
  socklen_t length = sizeof failure;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure != 0) {
    error = socketErrorFromErrno(failure != 0 ? failure : errno);
    return UniqueSocket();
  }
  if (setFlags(sock, false) != 0) {
    error = lastSocketError();
    return UniqueSocket();
  }
  setNoDelay(sock);
  return owner;
}

} // namespace

int lastSocketError() {
  return socketErrorFromErrno(errno);
}

SocketHandle createTcpSocket() {
  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return sock < 0 ? kInvalidSocket : sock;
}

void closeSocket(SocketHandle sock) {
  if (sock >= 0) {
    ::close(sock);
  }
}

void makeAddressReusable(SocketHandle sock) {
  int on = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool bindSocket(SocketHandle sock, const SocketAddress4& address, int port, int& error) {
  makeAddressReusable(sock);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  std::memcpy(&local.sin_addr, address.data(), 4);
  if (port < 0 || port > 65535 ||
      ::bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    error = port < 0 || port > 65535 ? wsa::kInvalidArgument : lastSocketError();
    return false;
  }
  return true;
}

bool listenOnSocket(SocketHandle sock, int backlog, int& error) {
  if (::listen(sock, backlog) != 0 || setFlags(sock, true) != 0) {
    error = lastSocketError();
    return false;
  }
  return true;
}

int boundPort(SocketHandle sock) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

bool connectionEndpoints(SocketHandle sock, SocketAddress4& local, SocketAddress4& peer,
                         int& peerPort) {
  sockaddr_in near{};
  sockaddr_in far{};
  socklen_t nearLength = sizeof near;
  socklen_t farLength = sizeof far;
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&near), &nearLength) != 0 ||
      ::getpeername(sock, reinterpret_cast<sockaddr*>(&far), &farLength) != 0 ||
      near.sin_family != AF_INET || far.sin_family != AF_INET) {
    return false;
  }
  std::memcpy(local.data(), &near.sin_addr, 4);
  std::memcpy(peer.data(), &far.sin_addr, 4);
  peerPort = ntohs(far.sin_port);
  return true;
}

AcceptResult acceptClient(SocketHandle listener, SocketHandle& client, SocketAddress4& peer,
                          int& error) {
  sockaddr_in remote{};
  socklen_t length = sizeof remote;
  int sock;
  do {
    sock = ::accept4(listener, reinterpret_cast<sockaddr*>(&remote), &length, SOCK_CLOEXEC);
  } while (sock < 0 && errno == EINTR);
  if (sock < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EPROTO) {
      return AcceptResult::NothingWaiting;
    }
    error = lastSocketError();
    return AcceptResult::Failed;
  }
  std::memcpy(peer.data(), &remote.sin_addr, 4);
  setNoDelay(sock);
  client = sock;
  return AcceptResult::Accepted;
}

bool setSocketBlocking(SocketHandle sock, bool blocking, int& error) {
  if (setFlags(sock, !blocking) != 0) {
    error = lastSocketError();
    return false;
  }
  return true;
}

bool setNoDelay(SocketHandle sock) {
  int on = 1;
  return ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int waitReadable(SocketHandle sock, int timeoutMs) {
  return waitFor(sock, POLLIN, timeoutMs);
}

int waitReadableEither(SocketHandle first, SocketHandle second, int timeoutMs) {
  pollfd entries[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
  for (;;) {
    int ready = ::poll(entries, 2, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready >= 0) {
      return (entries[0].revents != 0 ? 1 : 0) | (entries[1].revents != 0 ? 2 : 0);
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

int waitWritable(SocketHandle sock, int timeoutMs) {
  return waitFor(sock, POLLOUT, timeoutMs);
}

int peekByte(SocketHandle sock, bool dontWait, int& error) {
  char byte;
  long got;
  do {
    got = ::recv(sock, &byte, 1, MSG_PEEK | (dontWait ? MSG_DONTWAIT : 0));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (dontWait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return -2;
    }
    error = lastSocketError();
    return -1;
  }
  return got > 0 ? 1 : 0;
}

long receiveBytes(SocketHandle sock, void* buffer, size_t size, int& error) {
  long got;
  do {
    got = ::recv(sock, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error = lastSocketError();
  }
  return got;
}

long receiveWaitingBytes(SocketHandle sock, void* buffer, size_t size, int& error) {
  long got;
  do {
    got = ::recv(sock, buffer, size, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return -2;
  }
  if (got < 0) {
    error = lastSocketError();
  }
  return got;
}

long sendBytes(SocketHandle sock, const void* bytes, size_t size, int& error) {
  long sent;
  do {
    sent = ::send(sock, bytes, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    error = lastSocketError();
  }
  return sent;
}

long sendBytesNoWait(SocketHandle sock, const void* bytes, size_t size, int& error) {
  long sent;
  do {
    sent = ::send(sock, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return -2;
  }
  if (sent < 0) {
    error = lastSocketError();
  }
  return sent;
}

long bytesWaiting(SocketHandle sock) {
  int count = 0;
  if (::ioctl(sock, FIONREAD, &count) != 0) {
    return -1;
  }
  return count;
}

void shutdownSending(SocketHandle sock) {
  ::shutdown(sock, SHUT_WR);
}

void abortConnection(SocketHandle sock) {
  linger immediately{1, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
  ::close(sock);
}

void UniqueSocket::reset(SocketHandle sock) {
  if (sock_ != kInvalidSocket) {
    closeSocket(sock_);
  }
  sock_ = sock;
}

UniqueSocket connectTcp(const std::string& host, int port, int timeoutMs, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  // Literal addresses need no resolver, whatever the machine's interfaces say.
  in6_addr literal6{};
  in_addr literal4{};
  if (::inet_pton(AF_INET, host.c_str(), &literal4) == 1 ||
      ::inet_pton(AF_INET6, host.c_str(), &literal6) == 1) {
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  }
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    error = socketErrorFromAddrInfo(resolved);
    return UniqueSocket();
  }
  bool limited = timeoutMs >= 0;
  uint64_t deadline = tickCountMs() + static_cast<uint64_t>(limited ? timeoutMs : 0);
  UniqueSocket sock;
  error = wsa::kHostNotFound;
  for (addrinfo* address = found; address != nullptr && !sock.valid(); address = address->ai_next) {
    sock = connectOne(*address, deadline, limited, error);
    if (error == wsa::kConnectionAborted && stopRequested()) {
      break;
    }
  }
  ::freeaddrinfo(found);
  return sock;
}

bool lookupIpv4(const std::string& host, std::vector<SocketAddress4>& addresses, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int resolved = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (resolved != 0) {
    error = socketErrorFromAddrInfo(resolved);
    return false;
  }
  addresses.clear();
  for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
    SocketAddress4 bytes{};
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr, 4);
    if (std::find(addresses.begin(), addresses.end(), bytes) == addresses.end()) {
      addresses.push_back(bytes);
    }
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) {
    error = wsa::kNoData;
    return false;
  }
  return true;
}

std::string ownHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return {};
  }
  return name;
}

std::vector<SocketAddress4> ownIpv4Addresses() {
  std::vector<SocketAddress4> addresses;
  std::string name = ownHostName();
  int ignored = 0;
  if (!name.empty()) {
    lookupIpv4(name, addresses, ignored);
  }
  return addresses;
}

} // namespace km
