// What the IMAP4 proxy remembers between connections, since mail stays on the
// server: per account and mailbox the UIDs it has filtered already (a UID file),
// and per account the digests of the message headers it has seen (a header digest
// file), which recognise a message that comes back under a new UID, such as the
// tagged copy the proxy appended itself. Both live in imap4_state in the data
// directory; every access to them happens under the configuration lock, so a
// file is never read half written, and saving merges what other sessions added.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "imap4/imap_line.h"
#include "platform/md5.h"

namespace km {

struct Message;
struct SessionLog;

// UIDs in the order they were added, with a quick membership test.
class UidList {
public:
  void add(std::string_view uid);
  bool contains(std::string_view uid) const;
  void clear();
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::vector<std::string>& items() const { return items_; }
  // The UIDs joined with `separator`.
  std::string joined(char separator) const;

private:
  std::vector<std::string> items_;
  std::unordered_set<std::string> members_;
};

// One mailbox the client selected in this session.
struct MailboxState {
  std::string name; // as the client gave it in SELECT or EXAMINE
  // The client's last SELECT or EXAMINE of this mailbox.
  std::optional<ImapLine> selectCommand;
  // UIDs shown to the client as \Recent; emptied when it selects another mailbox.
  UidList recentUids;
  // UIDs filtered already, never filtered again; the first savedUidCount of them
  // are in the UID file.
  UidList filteredUids;
  size_t savedUidCount = 0;
  // UIDs the proxy itself marked \Deleted.
  UidList deletedUids;
  int64_t lastPruneTime = 0;
  // The proxy marked a message deleted and has not expunged yet.
  bool expungePending = false;
  int64_t lastExists = 0;
};

struct HeaderDigest {
  Md5Digest digest{};
  uint32_t lastSeen = 0;
  bool seenThisRun = false;
  bool isNew = false;
};

// The state of the account a session serves.
struct Imap4Account {
  std::string userName;
  std::string serverName; // with any ":port", as the session connected to it
  std::vector<std::unique_ptr<MailboxState>> mailboxes;
  std::vector<HeaderDigest> digests;
  // Where failures of the state files are reported (the main log when null).
  SessionLog* log = nullptr;
};

// UIDs leave the UID file within this long of activity once they leave the mailbox;
// header digests are forgotten this long after they were last seen.
inline constexpr int64_t kUidPruneIntervalSec = 1209600;     // 14 days
inline constexpr int64_t kHeaderDigestLifetimeSec = 2419200; // 28 days
// The longest path a state file gets; a longer file name is cut.
inline constexpr size_t kLongestStatePath = 259;

// Makes a made-up name safe as a file name: letters, digits and "-_.@" stay; any
// other byte becomes 'A' plus its remainder modulo 26 (the byte taken as signed, so
// bytes from 128 up give characters below 'A'), except that a result of "/" is
// written as "_".
std::string stateFileName(std::string_view madeName);
// The folder of the state files (ends in "/").
std::string stateDirectory();
// "user@server-headers.dat" and "user@server-mailbox-uids.dat", made safe, in the
// state folder; a name that would make the path longer than kLongestStatePath is cut.
std::string headerDigestPath(const Imap4Account& account);
std::string uidFilePath(const Imap4Account& account, std::string_view mailbox);

// The state of a mailbox (names compared ignoring case), new or known; either way
// its UID file is (re)loaded, so a second session of the account sees what the
// first one filtered at its next SELECT.
MailboxState& findMailbox(Imap4Account& account, std::string_view name);

// Loads the UID file, unless UIDs filtered here are not saved yet. A missing file
// means nothing was filtered: the prune time becomes now.
void loadUidFile(Imap4Account& account, MailboxState& mailbox);
// Appends the UIDs not saved yet (a new file starts with the prune time).
void saveUidFile(Imap4Account& account, MailboxState& mailbox);
// Replaces the UID file by the prune time and the UIDs the mailbox holds now.
bool rewriteUidFile(Imap4Account& account, MailboxState& mailbox);

// Loads the digests of the file that were seen in the last 28 days (and not in the
// future) into the account, replacing its cache; the count loaded.
size_t loadHeaderDigests(const std::string& path, Imap4Account& account);
// Merges the digests seen in this run into the file as it is now (records added by
// other sessions are kept, expired ones dropped) and makes the result the cache.
void saveHeaderDigests(Imap4Account& account);

// The digest of header lines concatenated as held, each with its own line end.
Md5Digest headerDigest(const std::vector<std::string>& lines);
// Whether the digest of the lines is in the cache (it is then seen again now).
bool headerSeenBefore(Imap4Account& account, const std::vector<std::string>& lines);
// Notes the message's working and original header as seen now.
void rememberHeaders(Imap4Account& account, const Message& message);

} // namespace km
