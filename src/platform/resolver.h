// DNS address lookups for the DNSBL engine: A records of one exact name, asked of the
// system's resolvers or of one chosen name server, with a bounded wait. The outcome
// tells "no such name", "no address for the name" and "the name service failed"
// apart, because only the first two are answers worth remembering.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace km {

// An IPv4 address in network order (the same type as Ipv4Address of platform/ipv4.h).
using ResolvedAddress = std::array<uint8_t, 4>;

// One name server, IPv4 address and UDP port.
struct NameServer {
  ResolvedAddress address{};
  uint16_t port = 53;
  bool operator==(const NameServer&) const = default;
};

// Reads "ip" or "ip:port" (a dotted IPv4 address, a port from 1 to 65535);
// surrounding blanks are ignored. Nothing for anything else.
std::optional<NameServer> parseNameServer(std::string_view text);

struct LookupOptions {
  // Ask only this server; the system's resolvers when absent.
  std::optional<NameServer> server;
  // Seconds to wait for one answer (at least 1), and how many times to ask.
  int timeoutSeconds = 5;
  int attempts = 2;
};

// What a lookup found. `error` is 0 exactly when at least one address was found;
// otherwise one of the socket error codes of errors.h:
//   wsa::kHostNotFound (11001)  the name does not exist (NXDOMAIN)
//   wsa::kNoData       (11004)  the name exists but has no A record
//   wsa::kTryAgain     (11002)  server failure, refusal to answer, or no answer in time
//   wsa::kNoRecovery   (11003)  an answer that could not be understood, a bad name
struct AddressLookup {
  int error = 0;
  // Every A record of the answer that belongs to the name (directly or through its
  // aliases), in answer order.
  std::vector<ResolvedAddress> addresses;
};

// Looks up the A records of exactly `name` (no search domains are appended). Blocks
// for at most timeoutSeconds × attempts. Each thread keeps its own resolver state,
// so threads look up in parallel. Safe against any reply a server may send.
AddressLookup lookupDnsblName(std::string_view name, const LookupOptions& options);

// Resolves a host name to its IPv4 addresses. With a server in the options this is
// lookupDnsblName; without one the system's host rules apply as for any program
// (the hosts file, search domains), and a dotted address stands for itself.
AddressLookup lookupHostName(std::string_view name, const LookupOptions& options);

} // namespace km
