// Received-line tracking: some mail accounts deliver messages without any Received
// line, and then no relay of theirs can be checked. Per mail account (user name
// and server of the session), messages in a row without a Received line are
// counted; when an account reaches 75 in a row the user is warned, once for the
// account, also across restarts. The counts are kept in recv-track.dat:
//
//   LACKING_RECEIVED_LINES_ACCOUNT user@server
//   LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 12
//   LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN NO
//
// three lines per account with a count or a warning shown (others are not kept).
//
// State: the account table, in first-seen order, under the configuration lock.
// Any thread; POP3 and IMAP4 sessions count their messages, SMTP sessions never.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace km {

struct Message;

// Messages in a row without a Received line after which the user is warned.
inline constexpr uint32_t kMissingReceivedWarningCount = 75;

// Counts a message of a POP3 or IMAP4 session for its account: without a Received
// line the account's run grows (until it has been warned), with one it starts
// again. The session thread that makes the run 75 shows the warning, outside the
// lock, after the warned flag was saved.
void TrackReceivedLines(const Message& message);

// The same for an account given as text, as TrackReceivedLines builds it
// ("user@server", at most 1,024 characters).
void trackReceivedLinesOf(const std::string& account, bool hasReceivedLines);

// Reads recv-track.dat at start-up; a missing or unreadable file leaves the table
// empty.
void LoadReceivedTracking();

// Writes recv-track.dat when the table changed since the last save (sessions call
// it when they end). A file that cannot be written is reported and the table stays
// changed; false then.
bool SaveReceivedTracking();

struct ReceivedTrackingAccount {
  std::string account;
  uint32_t missingCount = 0;
  bool warningShown = false;
};
// The table as it stands.
std::vector<ReceivedTrackingAccount> receivedTrackingAccounts();
// Empties the table without touching the file (tests).
void forgetReceivedTracking();

} // namespace km
