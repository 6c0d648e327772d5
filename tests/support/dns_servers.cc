#include "support/dns_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace km::test {

namespace {

constexpr int kStartAttempts = 5;
constexpr int kReadyProbes = 100; // of 50 ms each

// A UDP socket bound to a free loopback port.
int bindLoopbackUdp(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

void appendWord(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xff));
}

uint16_t wordAt(std::string_view bytes, size_t offset) {
  return static_cast<uint16_t>((static_cast<uint8_t>(bytes[offset]) << 8) |
                               static_cast<uint8_t>(bytes[offset + 1]));
}

// The end of the question section, or 0 when the request cannot be read.
size_t parseRequest(std::string_view bytes, DnsRequest& request) {
  if (bytes.size() < 12 || wordAt(bytes, 4) < 1) {
    return 0;
  }
  request.id = wordAt(bytes, 0);
  size_t pos = 12;
  std::string name;
  while (pos < bytes.size()) {
    uint8_t length = static_cast<uint8_t>(bytes[pos]);
    if (length == 0 || length > 63 || pos + 1 + length > bytes.size()) {
      break;
    }
    if (!name.empty()) {
      name.push_back('.');
    }
    name.append(bytes.substr(pos + 1, length));
    pos += 1 + length;
  }
  if (pos + 5 > bytes.size() || bytes[pos] != '\0') {
    return 0;
  }
  request.name = name;
  request.type = wordAt(bytes, pos + 1);
  request.bytes = std::string(bytes);
  return pos + 5;
}

std::string rbldnsdProgram() {
  for (const char* candidate : {"/usr/sbin/rbldnsd", "/usr/bin/rbldnsd"}) {
    if (::access(candidate, X_OK) == 0) {
      return candidate;
    }
  }
  return "rbldnsd";
}

} // namespace

Rbldnsd::Rbldnsd(std::initializer_list<DnsblZone> zones) {
  if (!start(std::vector<DnsblZone>(zones))) {
    ADD_FAILURE() << "rbldnsd could not be started; its log:\n" << readFile(dir_.file("log"));
  }
}

Rbldnsd::~Rbldnsd() {
  stop();
}

bool Rbldnsd::start(const std::vector<DnsblZone>& zones) {
  // The server drops root for its own user, which must still read the zones.
  ::chmod(dir_.path().c_str(), 0755);
  std::vector<std::string> arguments;
  for (size_t i = 0; i < zones.size(); ++i) {
    std::string file = "zone" + std::to_string(i);
    writeFile(dir_.file(file), zones[i].lines);
    ::chmod(dir_.file(file).c_str(), 0644);
    arguments.push_back(zones[i].name + ":ip4set:" + file);
  }
  std::string program = rbldnsdProgram();
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    int probe = bindLoopbackUdp(port_);
    if (probe < 0) {
      return false;
    }
    ::close(probe);
    std::string bind = "127.0.0.1/" + std::to_string(port_);
    // The pid file is written once the socket is bound (a taken port ends the server).
    std::string pidPath = dir_.file("pid");
    ::unlink(pidPath.c_str());
    std::vector<std::string> argv = {program, "-n", "-b", bind, "-p", pidPath, "-w", dir_.path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    std::string logPath = dir_.file("log");
    pid_t child = ::fork();
    if (child == 0) {
      int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      int nothing = ::open("/dev/null", O_RDONLY);
      ::dup2(nothing, 0);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::execvp(pointers[0], pointers.data());
      ::_exit(127);
    }
    if (child < 0) {
      return false;
    }
    pid_ = child;
    for (int i = 0; i < kReadyProbes; ++i) {
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) == child) {
        pid_ = -1; // ended: most likely the port was taken meanwhile
        break;
      }
      if (!readFile(pidPath).empty()) {
        return true;
      }
      ::usleep(50000);
    }
    stop();
  }
  return false;
}

void Rbldnsd::stop() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    ::usleep(20000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string dnsReply(const DnsRequest& request, int rcode,
                     const std::vector<ResolvedAddress>& addresses) {
  DnsRequest parsed;
  size_t questionEnd = parseRequest(request.bytes, parsed);
  std::string reply;
  appendWord(reply, request.id);
  uint16_t recursionDesired =
      request.bytes.size() > 2 ? static_cast<uint16_t>((request.bytes[2] & 0x01) << 8) : 0;
  appendWord(reply, static_cast<uint16_t>(0x8080 | recursionDesired | (rcode & 0x0f)));
  appendWord(reply, 1);
  appendWord(reply, static_cast<uint16_t>(addresses.size()));
  appendWord(reply, 0);
  appendWord(reply, 0);
  reply.append(request.bytes, 12, questionEnd - 12);
  for (const ResolvedAddress& address : addresses) {
    appendWord(reply, 0xc00c); // the question's name
    appendWord(reply, 1);      // A
    appendWord(reply, 1);      // IN
    appendWord(reply, 0);
    appendWord(reply, 60); // TTL
    appendWord(reply, 4);
    reply.append(reinterpret_cast<const char*>(address.data()), 4);
  }
  return reply;
}

void setDnsId(std::string& message, uint16_t id) {
  message[0] = static_cast<char>(id >> 8);
  message[1] = static_cast<char>(id & 0xff);
}

void setDnsAnswerCount(std::string& message, uint16_t count) {
  message[6] = static_cast<char>(count >> 8);
  message[7] = static_cast<char>(count & 0xff);
}

void setDnsTruncatedFlag(std::string& message) {
  message[2] = static_cast<char>(message[2] | 0x02);
}

FakeDnsServer::FakeDnsServer(Responder respond) : respond_(std::move(respond)) {
  socket_ = bindLoopbackUdp(port_);
  if (socket_ < 0) {
    ADD_FAILURE() << "cannot bind a loopback UDP port";
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

FakeDnsServer::~FakeDnsServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  if (socket_ >= 0) {
    ::close(socket_);
  }
}

void FakeDnsServer::serve() {
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::string bytes;
    sockaddr_in to;
  };
  std::vector<Pending> pending;
  auto send = [this](const std::string& bytes, const sockaddr_in& to) {
    ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  };
  while (!stopping_) {
    for (size_t i = 0; i < pending.size();) {
      if (pending[i].due <= Clock::now()) {
        send(pending[i].bytes, pending[i].to);
        pending.erase(pending.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    pollfd wait{socket_, POLLIN, 0};
    if (::poll(&wait, 1, 10) != 1) {
      continue;
    }
    char buffer[4096];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t got = ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
    DnsRequest request;
    if (got <= 0 ||
        parseRequest(std::string_view(buffer, static_cast<size_t>(got)), request) == 0) {
      continue;
    }
    ++requests_;
    for (DnsDatagram& datagram : respond_(request)) {
      if (datagram.delayMs == 0) {
        send(datagram.bytes, from);
      } else {
        pending.push_back({Clock::now() + std::chrono::milliseconds(datagram.delayMs),
                           std::move(datagram.bytes), from});
      }
    }
  }
}

SilentUdpPort::SilentUdpPort() {
  socket_ = bindLoopbackUdp(port_);
  if (socket_ < 0) {
    ADD_FAILURE() << "cannot bind a loopback UDP port";
  }
}

SilentUdpPort::~SilentUdpPort() {
  if (socket_ >= 0) {
    ::close(socket_);
  }
}

} // namespace km::test
