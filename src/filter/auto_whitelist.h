// Auto-whitelisting: senders and relays that keep sending clean mail become white.
//
// A clean message (neither spam nor whitelisted, and not judged after a DNSBL
// time-out) counts for every sender address and relay address the filter gathered
// from it, at most once per address and day (days in UTC). An address counted on
// enough days (AUTO_WLIST_FROM_NUM_MAILS, AUTO_WLIST_IP_NUM_MAILS) moves from its
// pending list onto its auto-white list, which the filter then treats like a white
// list. The ids of counted messages are remembered, so that a message fetched
// again (POP3 mail left on the server, a mailbox filtered twice) counts once.
//
// Where the lists live. The auto-white lists belong to the snapshot, like every
// list the filter matches against: a promotion makes a new current snapshot that
// holds the address (updateConfigWithoutSaving) and rewrites the list's file. A
// snapshot never changes once it is current, so a session reads its lists without
// a lock and sees the same lists from its start to its end (the sizes a POP3 LIST
// announced allow for exactly the entries a reason header may then name), and no
// promotion is ever written into a snapshot that is about to be dropped. The
// pending lists and the message ids are the run-time state beside the snapshot:
// process-wide, under the configuration lock, kept in three files.
//
// Files in the data directory (binary ones little-endian, times in seconds since
// 1970 UTC), each written to a temporary file that then takes the old one's place:
//   auto_wlist_from.dat, auto_wlist_ip.dat  the auto-white lists (config/lists.h)
//   auto_wlist_from_pending.dat  32-bit record count, then per record: the address
//                                with its NUL, 32-bit count, 32-bit last counted
//   auto_wlist_ip_pending.dat    32-bit record count, then 12-byte records: the 4
//                                octets, 32-bit count, 32-bit last counted
//   auto_wlist_msgids.dat        32-bit record count, then per record: the id with
//                                its NUL, 32-bit time last seen
//   auto_wlist_from_logs/, auto_wlist_ip_logs/  with logging on, one file per
//                                address holding the header lines of every message
//                                that counted for it
//
// The lookups read the snapshot they are given, without a lock; every other
// function here takes the configuration lock. Any thread may call them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipv4.h"

namespace km {

struct Config;
struct Message;

// The auto-white address equal to `address` ignoring case, as stored.
std::optional<std::string> IsAutoWhiteAddress(const Config& config, std::string_view address);
// Whether the relay address is auto-white.
bool IsAutoWhiteIp(const Config& config, const Ipv4Address& ip);

// A pending address is dropped when it was not counted for this long, a
// remembered message id when it was not seen for this long (checked at start-up).
inline constexpr int64_t kPendingLifetimeSeconds = 16070400;  // 186 days
inline constexpr int64_t kMessageIdLifetimeSeconds = 2678400; // 31 days

// The id a message is remembered by: its last "Message-ID:" line, else its first
// "Date:" line, else "**NO MSG ID**"; the whole line, every byte below 32 (its line
// end too) made a space.
std::string autoWhitelistMessageId(const std::vector<std::string>& headerLines);

// What counting one message did.
struct CountOutcome {
  bool countedBefore = false; // its id was remembered: nothing was counted
  std::vector<std::string> promotedSenders;
  std::vector<Ipv4Address> promotedRelays;
};

// Counts a clean message for auto-whitelisting: its gathered sender addresses and
// relay addresses, its header lines (for the per-address logs and its id) and the
// snapshot it was judged with (which says what is counted, logged and when an
// address is promoted). Promotions go into the current snapshot. `now` is the
// time of the count.
CountOutcome CountCleanMessage(const std::vector<std::string>& addresses,
                               const std::vector<Ipv4Address>& relays,
                               const std::vector<std::string>& headerLines, const Config& config,
                               int64_t now);

// What the sessions call for a message they passed on: counts it (now) with the
// addresses and relays it collected and its header lines as they arrived. The
// caller has checked that it is clean.
void feedAutoWhitelisting(const Message& message);

// Makes one address auto-white at once (the SMTP proxy does so for recipients of
// outgoing mail): unless it is auto-white already it joins the current snapshot's
// list, leaves the pending list and the list's file is rewritten; with sender
// logging on, `note` goes to its log file.
void WhitelistAddressNow(std::string_view address, std::string_view note, const Config& config);

// Start-up: reads the three state files (a damaged file gives what could be read,
// is reported and kept beside as "<name>.damaged"), drops message ids and pending
// addresses that lived too long (with their log files), and takes over the older
// folder layout when one is there. `now` is the time of the start.
void LoadAutoWhitelistState();
void LoadAutoWhitelistState(int64_t now);

// Writes each state file whose list changed since it was last saved; a file that
// cannot be written is reported and its list stays changed. False then. Sessions
// call it when they end, and shutdown.
bool SaveAutoWhitelistState();

// The run-time lists as they stand, in the order addresses were first seen.
struct PendingSender {
  std::string address;
  uint32_t count = 0;
  uint32_t lastCounted = 0;
};
struct PendingRelay {
  Ipv4Address address{};
  uint32_t count = 0;
  uint32_t lastCounted = 0;
};
struct CountedMessageId {
  std::string id;
  uint32_t lastSeen = 0;
};
std::vector<PendingSender> pendingSenders();
std::vector<PendingRelay> pendingRelays();
std::vector<CountedMessageId> countedMessageIds();

// Empties the run-time lists without touching their files (a new data directory;
// tests).
void forgetAutoWhitelistState();

// The per-address log files.
enum class AutoWhiteKind { Sender, Relay };

// A log file's name for an address: the address with each of % \ / : * ? " < > |
// and space written as "%" and the character's decimal code, then ".txt".
std::string encodeLogFileName(std::string_view address);
// The address a log file or an older pending file stands for: the name cut at its
// last dot, with every "%" and code turned back into its character.
std::string decodeLogFileName(std::string_view fileName);

// The path of an address's log file (relays by their dotted address).
std::string autoWhitelistLogPath(std::string_view address, AutoWhiteKind kind);
// For the user interface: whether an address has a log file, and opening it with
// the desktop's viewer for text files.
bool LogFileExists(std::string_view address, AutoWhiteKind kind);
bool OpenLogFile(std::string_view address, AutoWhiteKind kind);

} // namespace km
