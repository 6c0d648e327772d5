// The DNSBL query engine as the filter pipeline uses it: relay addresses and host
// names found in a message are handed over while the message is filtered, and the
// session collects the outcome into the message's verdict when it waits at the end.
// A black-listed relay is handed over as an immediate hit, so that whitelisting and
// provider answers can still overrule it. The pipeline holds the DNSBL lock
// (dnsbl_lock.h) over the whole Received-line pass of a message, so that all of its
// queries are queued together.
#pragma once

#include <kestrelmail/plugin.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "config/config.h"
#include "filter/dnsbl_queries.h"
#include "platform/ipv4.h"

namespace km {

struct Message;
class ProgressDisplay;

// Starts the lookups of an address in every enabled list of the configuration.
void queueDnsblQueries(const Ipv4Address& ip, int32_t source, std::string_view sourceText,
                       Message& message, const Config& config);

// Resolves a host name; each address it resolves to is checked as a relay address.
void queueHostLookup(std::string_view hostName, int32_t source, std::string_view sourceText,
                     Message& message, bool gather);

// Looks a host name up for a plug-in and judges the message by whether it resolves
// to one of the expected addresses (any address when none are expected): `kind`
// tells what a match means (0 spam, 1 white, 2 a provider's relay), and on a hit the
// evidence part of `evidence` (from `source` on) is copied into the verdict.
void queueHostCheck(Message& message, std::string_view hostName,
                    std::span<const Ipv4Address> addresses, DnsblQueryKind kind,
                    const Verdict& evidence);

// A relay address on the IP black list: a positive answer at once, applied to the
// verdict (spam, black list IP) when the session collects the outcome.
void queueBlacklistHit(const Ipv4Address& ip, int32_t source, std::string_view sourceText,
                       Message& message);

// Whether a lookup for the message is still queued or running; false at once for a
// whitelisted message.
bool hasOpenQueries(const Message& message);

// Waits (up to the configuration's DNSBL time-out) for the lookups that can still
// change the verdict, then applies what was answered. Nothing happens for a
// whitelisted message.
void waitForDnsblResults(Message& message, ProgressDisplay* progress);

// Removes the message from every query; called before the message goes.
void withdrawMessage(Message& message);

// What the engine holds now, for the status view.
struct DnsblEngineCounts {
  size_t queries = 0;
  size_t waiters = 0;
  int queued = 0;
  int workers = 0;
  int idleWorkers = 0;
};
DnsblEngineCounts dnsblEngineCounts();

} // namespace km
