// The DNSBL engine's records and the rules that work on them alone: which query a
// worker takes next, and when one query's answer makes another unnecessary. The
// engine (dnsbl.cc) keeps the records in its query table under the DNSBL lock.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "platform/ipv4.h"

namespace km {

struct Message;

// What a positive answer means.
enum class DnsblQueryKind : int32_t {
  Listing = 0,      // the message is spam
  Whitelisting = 1, // the message is white
  Provider = 2,     // the address is a provider's; its listings do not count
  HostName = 3,     // a host name to resolve
};

// What is looked up.
enum class DnsblQueryType : int32_t {
  DnsblName = 0,    // an address in a list's zone
  HostName = 1,     // the addresses of a host name
  HostCheck = 2,    // a host name expected to resolve to given addresses
  BlacklistHit = 3, // an address on the IP black list: no lookup
};

enum class DnsblQueryState : int32_t {
  Queued = 0,
  Resolving = 1,
  Positive = 2,
  Negative = 3,
};

// One message waiting for one query, with the verdict evidence a hit records.
struct DnsblWaiter {
  Message* message = nullptr;
  // Source, reason, texts and relay address, ready to be copied whole into the
  // message's verdict (the fields before `source` are unused).
  Verdict evidence{};
  const DnsblList* list = nullptr; // type 0: the list whose zone was asked
  Ipv4Address ip{};
  bool delivered = false;
  bool gather = false; // host names: passed on with each resolved address
};

// One distinct lookup, shared by every message that needs it.
struct DnsblQuery {
  DnsblQueryKind kind = DnsblQueryKind::Listing;
  DnsblQueryType type = DnsblQueryType::DnsblName;
  std::string name; // empty for black-list hits
  uint32_t hash = 0;
  Ipv4Address ip{};                   // types 0 and 3
  std::vector<Ipv4Address> addresses; // type 1: resolved; type 2: expected
  std::string listKey;                // type 0: the list's key; type 3: "BLIST"
  std::vector<DnsblWaiter> waiters;
  DnsblQueryState state = DnsblQueryState::Queued;
  uint64_t startTick = 0;
  uint32_t weight = 1;

  bool open() const {
    return state == DnsblQueryState::Queued || state == DnsblQueryState::Resolving;
  }
};

using DnsblQueryTable = std::vector<std::unique_ptr<DnsblQuery>>;

// type + kind + the sum of the lower-cased bytes of the name: equal queries have
// equal hashes, so most unequal ones are passed over without comparing names.
uint32_t dnsblQueryHash(DnsblQueryType type, DnsblQueryKind kind, std::string_view name);

// The name of an address in a zone: its octets reversed, then the zone
// (192.0.2.10 in z is "10.2.0.192.z").
std::string dnsblQueryName(const Ipv4Address& ip, std::string_view zone);

// Whether two queries ask the same thing and can share one lookup.
bool sameQuery(const DnsblQuery& a, const DnsblQuery& b);

// Whether query A's outcome makes query B unnecessary for a message that waits for
// both. Unfinished A counts only with countUnfinished; A of B's own type only with
// sameTypeAllowed.
bool answers(const DnsblQuery& a, const DnsblQuery& b, bool countUnfinished, bool sameTypeAllowed);

// Chooses the next queued query for a worker and marks it being resolved; null
// when none is queued. Only the most urgent queries (highest waiter source) take
// part; host names come first, then plug-in host checks that whitelist, provider
// lists, other whitelisting queries, and the rest; among equals the draw
// `random` favours lists that often answer "listed" (weight).
DnsblQuery* pickQuery(const DnsblQueryTable& table, uint32_t random);

// Plug-in capability bits (fourth word) that ask for every answer of a message,
// even once its verdict is known: all of them keep host-name lookups going, and
// 0x20 keeps them going for a white message too.
inline constexpr uint32_t kCapabilitiesWantingAllAnswers = 0x02 | 0x08 | 0x10 | 0x20;
inline constexpr uint32_t kCapabilityWantsAnswersWhenWhite = 0x20;

} // namespace km
