// Name servers for tests of DNS lookups, all on loopback and started by the test:
//   Rbldnsd        a real DNSBL server (rbldnsd) serving zones the test writes;
//   FakeDnsServer  a UDP responder whose replies the test builds byte by byte
//                  (server failures, truncated or malformed replies, late replies);
//   SilentUdpPort  a bound UDP port that never reads: queries to it time out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/resolver.h"
#include "support/test_support.h"

namespace km::test {

// One zone of an rbldnsd: its name and the lines of its ip4set data file, e.g.
//   ":127.0.0.2:Listed"            the answer of the following entries
//   "192.0.2.10"                   a single address
//   "198.51.100.0/24 :127.0.0.4:"  a range with its own answer
struct DnsblZone {
  std::string name;
  std::string lines;
};

// rbldnsd on a free loopback port, stopped when the object goes. It refuses to run
// as root and switches to its own user, so its folder and zone files are made
// readable for everybody.
class Rbldnsd {
public:
  explicit Rbldnsd(std::initializer_list<DnsblZone> zones);
  ~Rbldnsd();
  Rbldnsd(const Rbldnsd&) = delete;
  Rbldnsd& operator=(const Rbldnsd&) = delete;

  // False when the server could not be started (the reason went to the test log).
  bool running() const { return pid_ > 0; }
  uint16_t port() const { return port_; }
  NameServer server() const { return {{127, 0, 0, 1}, port_}; }

private:
  bool start(const std::vector<DnsblZone>& zones);
  void stop();

  TempDir dir_;
  int pid_ = -1;
  uint16_t port_ = 0;
};

// A DNS query as the fake server received it.
struct DnsRequest {
  uint16_t id = 0;
  std::string name; // dotted, without a final dot
  uint16_t type = 0;
  std::string bytes; // the whole message
};

// One datagram to send back, after a pause.
struct DnsDatagram {
  std::string bytes;
  unsigned delayMs = 0;
};

// A standard reply to the request: its id and question, the response code, and one
// A record per address (owner = the question name through a compression pointer).
std::string dnsReply(const DnsRequest& request, int rcode,
                     const std::vector<ResolvedAddress>& addresses = {});
// Header fields of a built reply, for bending it into a hostile one.
void setDnsId(std::string& message, uint16_t id);
void setDnsAnswerCount(std::string& message, uint16_t count);
void setDnsTruncatedFlag(std::string& message);

// A UDP responder on a free loopback port; `respond` decides the datagrams sent back
// for each query it can parse (requests it cannot parse are dropped).
class FakeDnsServer {
public:
  using Responder = std::function<std::vector<DnsDatagram>(const DnsRequest&)>;

  explicit FakeDnsServer(Responder respond);
  ~FakeDnsServer();
  FakeDnsServer(const FakeDnsServer&) = delete;
  FakeDnsServer& operator=(const FakeDnsServer&) = delete;

  NameServer server() const { return {{127, 0, 0, 1}, port_}; }
  int requestCount() const { return requests_.load(); }

private:
  void serve();

  Responder respond_;
  int socket_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A loopback UDP port that is bound but never read.
class SilentUdpPort {
public:
  SilentUdpPort();
  ~SilentUdpPort();
  SilentUdpPort(const SilentUdpPort&) = delete;
  SilentUdpPort& operator=(const SilentUdpPort&) = delete;

  NameServer server() const { return {{127, 0, 0, 1}, port_}; }

private:
  int socket_ = -1;
  uint16_t port_ = 0;
};

} // namespace km::test
