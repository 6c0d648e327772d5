// The filter pipeline: every message a session fetches is judged by the same
// stages, and the result is the Verdict in the message.
//
// The sessions call, for one message and in this order:
//   1. CreateMessage (the plug-ins hear that a fetch starts)
//   2. FilterHeaders
//   3. BodyFilteringFlags, then BodyBytesRequired(message, KM_PHASE_BODY_FILTERING,
//      flags): how much of the body to fetch first
//   4. FilterBody once that much has arrived
//   5. waitForDnsblResults, then withdrawMessage (filter/dnsbl.h)
//   6. the final decision: spam exactly when isSpam is set and isWhitelisted is not
//   7. RewriteBody and RewriteHeaders (filter/tagging.h)
//   8. SendMessage
//   9. FinishMessage
//  10. auto-whitelisting of the collected addresses, only when the message is
//      neither spam nor whitelisted and was not judged after a DNSBL time-out
//  11. the end of the MessagePtr (the plug-ins hear that the fetch ends)
//
// State: the recent-address list, under the configuration lock. Every function
// here runs on the session thread that owns the message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filter/plugin_calls.h"
#include "message/message.h"
#include "platform/ipv4.h"

namespace km {

// Checks the sender addresses (From, Sender, Reply-To, Mailing-List, Return-Path)
// against the e-mail lists and every dotted address of every Received line as a
// relay, applies DNSBL answers that are known already, then asks the plug-ins
// about the header block.
void FilterHeaders(Message& message, ProgressDisplay* progress);

// One flag per enabled plug-in: whether it wants to see the body.
PluginFlags BodyFilteringFlags(Message& message);

// How many body bytes the plug-ins (those with a set flag, or all without flags)
// want in the given phase (KM_PHASE_...); -1 for the whole body, also when the
// answer is more than three quarters of the announced size.
int64_t BodyBytesRequired(Message& message, int32_t phase, const PluginFlags* flags);

// Lets the plug-ins with a set flag read the working body.
void FilterBody(Message& message, ProgressDisplay* progress, const PluginFlags& flags);

// After the message was sent on: the plug-ins see it as received, it is counted in
// the statistics and the session, its verdict is logged and, for POP3 and IMAP4,
// its Received lines are accounted.
void FinishMessage(Message& message);

// --- Checks, also offered to plug-ins (source is KM_SOURCE_..., kind KM_ADDRESS_...) ---

// Judges a sender address by the white list, the auto-white list and the black
// list, asks the plug-ins, gathers it for auto-whitelisting when asked to, and
// remembers it among the recent addresses.
void CheckEmailAddress(Message& message, std::string_view address, bool gather, int32_t source,
                       std::string_view sourceText, int32_t kind);

// A dotted address goes on as CheckIpAddress; a host name is looked up and its
// addresses checked in turn.
void CheckHost(Message& message, std::string_view host, bool gather, int32_t source,
               std::string_view sourceText);

// Judges a relay address: white and auto-white relays (and those a plug-in ignores)
// are left out; a black-listed one is an immediate DNSBL hit; the others are looked
// up in the DNS blacklists.
void CheckIpAddress(Message& message, const Ipv4Address& ip, bool gather, int32_t source,
                    std::string_view sourceText);

// The name of the first plug-in that asks to treat the address as white.
std::optional<std::string> IpIgnoredByPlugins(Message& message, const Ipv4Address& ip);

// Whether a relay address counts as white: the white IP list, the auto-white relays
// (unless their filtering is off) or a plug-in that ignores it.
bool IsIpWhite(Message& message, const Ipv4Address& ip);

// The last distinct sender addresses seen (at most 250, oldest first), for the
// add-to-list window.
std::vector<std::string> recentAddresses();
inline constexpr size_t kRecentAddressLimit = 250;

// Periodic work run by the session threads: at most once per hour (more often when
// a DNSBL cache period is shorter), expires the DNSBL cache, runs the plug-ins'
// housekeeping and lets the update check decide whether one is due.
void Housekeeping();

} // namespace km
