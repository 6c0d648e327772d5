#include "support/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace km::test {

namespace {

constexpr int kPollMs = 20;

int listenOnLoopback(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    done += static_cast<size_t>(sent);
  }
  return true;
}

} // namespace

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = listenOnLoopback(port_);
  EXPECT_GE(listener_, 0) << "no loopback port for the web server";
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  stopping_ = true;
  thread_.join();
  if (listener_ >= 0) {
    ::close(listener_);
  }
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::serve() {
  while (!stopping_ && listener_ >= 0) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, kPollMs) <= 0) {
      continue;
    }
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection >= 0) {
      answer(connection);
      ::close(connection);
    }
  }
}

void LoopbackHttpServer::answer(int connection) {
  std::string request;
  char piece[4096];
  while (request.find("\r\n\r\n") == std::string::npos && !stopping_) {
    pollfd waiting{connection, POLLIN, 0};
    if (::poll(&waiting, 1, kPollMs) <= 0) {
      continue;
    }
    ssize_t got = ::recv(connection, piece, sizeof piece, 0);
    if (got <= 0) {
      return;
    }
    request.append(piece, static_cast<size_t>(got));
  }
  ++requests_;
  size_t pathStart = request.find(' ') + 1;
  std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
  HttpAnswer reply = handler_(path);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.delayMs);
  while (!stopping_ && std::chrono::steady_clock::now() < until) {
    pollfd waiting{connection, POLLIN, 0};
    char peek;
    if (::poll(&waiting, 1, kPollMs) > 0 && ::recv(connection, &peek, 1, MSG_PEEK) <= 0) {
      return; // the client gave up
    }
  }
  std::string head =
      "HTTP/1.1 " + std::to_string(reply.status) + " Answer\r\nConnection: close\r\n";
  if (reply.claimedLength > 0) {
    head += "Content-Length: " + std::to_string(reply.claimedLength) + "\r\n";
  } else if (reply.announceLength && reply.endlessPiece.empty()) {
    head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  }
  if (!sendAll(connection, head + "\r\n" + reply.body)) {
    return;
  }
  while (!reply.endlessPiece.empty() && !stopping_ && sendAll(connection, reply.endlessPiece)) {
  }
}

uint16_t closedLoopbackPort() {
  uint16_t port = 0;
  int fd = listenOnLoopback(port);
  ::close(fd);
  return port;
}

OpensslHttpsServer::OpensslHttpsServer(const std::string& folder) {
  std::string certificate = dir_.file("cert.pem");
  std::string key = dir_.file("key.pem");
  std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                     "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                     key + " -out " + certificate + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    ADD_FAILURE() << "openssl could not make a certificate";
    return;
  }
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    port_ = closedLoopbackPort();
    std::string accept = "127.0.0.1:" + std::to_string(port_);
    pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(folder.c_str()) != 0) {
        ::_exit(126);
      }
      int nothing = ::open("/dev/null", O_RDWR);
      ::dup2(nothing, 0);
      ::dup2(nothing, 1);
      ::dup2(nothing, 2);
      ::execlp("openssl", "openssl", "s_server", "-quiet", "-HTTP", "-accept", accept.c_str(),
               "-cert", certificate.c_str(), "-key", key.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pid_ = child;
    // Ready once it accepts a connection.
    for (int probe = 0; probe < 200; ++probe) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port_);
      bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      ::close(fd);
      if (up) {
        return;
      }
      ::usleep(25000);
    }
  }
}

OpensslHttpsServer::~OpensslHttpsServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string OpensslHttpsServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

} // namespace km::test
