// Web servers on loopback for tests of fetching over HTTP, started by the test:
//   LoopbackHttpServer  answers each request with what the test decides: a body,
//                       an error status, an answer that comes late, or an endless
//                       body;
//   OpensslHttpsServer  openssl s_server serving the files of a folder over TLS
//                       with a certificate made for 127.0.0.1.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace km::test {

struct HttpAnswer {
  int status = 200;
  std::string body;
  // Sent after the body, over and over until the client hangs up (a huge file).
  std::string endlessPiece;
  // Announce the length (Content-Length), or end the body by closing.
  bool announceLength = true;
  // Wait this long before answering (the server stops waiting when it is stopped
  // or the client hangs up).
  unsigned delayMs = 0;
  // A Content-Length to claim instead of the true one (0: the true one).
  uint64_t claimedLength = 0;
};

class LoopbackHttpServer {
public:
  using Handler = std::function<HttpAnswer(const std::string& path)>;
  explicit LoopbackHttpServer(Handler handler);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const;
  int requests() const { return requests_.load(); }

private:
  void serve();
  void answer(int connection);

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A loopback port on which nothing listens: connections to it are refused.
uint16_t closedLoopbackPort();

class OpensslHttpsServer {
public:
  // Serves the files of `folder` (paths relative to it).
  explicit OpensslHttpsServer(const std::string& folder);
  ~OpensslHttpsServer();
  OpensslHttpsServer(const OpensslHttpsServer&) = delete;
  OpensslHttpsServer& operator=(const OpensslHttpsServer&) = delete;

  bool running() const { return pid_ > 0; }
  std::string url(const std::string& path) const;
  // The server's self-signed certificate, to be trusted explicitly.
  std::string certificatePath() const { return dir_.file("cert.pem"); }

private:
  TempDir dir_;
  int pid_ = -1;
  uint16_t port_ = 0;
};

} // namespace km::test
