// The activity log. Each session writes into a private file in activity-logs and
// appends it to the main log in one piece when it ends, so the main log holds
// sessions one after another; events outside any session go straight to the main
// log. Lines carry a time stamp and end in CR LF; a line is written only when the
// configured level is at least the line's level.
//
// State: the main log's settings and its appends, under the main log's re-entrant
// lock (taken after the configuration lock), and the lines of session files under
// the write lock (taken last). Any thread; a SessionLog belongs to its session's
// thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace km {

// How much the log holds: a line is written when the configured level is at least
// the line's. The numbers are those plug-ins use.
enum class LogLevel : int32_t { Minimal = 0, Basic = 1, Standard = 2, Verbose = 3, Extreme = 4 };

// What the configuration says about logging: whether it is on, the level lines must
// not exceed, the main log's path and its size limit.
struct LogSettings {
  bool enabled = false;
  LogLevel level = LogLevel::Minimal;
  std::string mainLogPath;
  int64_t maxBytes = 0;
};

// The settings of the current configuration, for the lines outside any session and
// the merge of orphaned session logs. The configuration layer sets them whenever
// a snapshot becomes current, and nothing when none is (nothing is logged then).
// Any thread.
void setMainLogSettings(const std::optional<LogSettings>& settings);

// A session's log: its private file (none when logging is off or the file could not
// be made) and the settings of the session's configuration.
struct SessionLog {
  File file;
  std::string path;
  LogLevel level = LogLevel::Minimal;
  std::string mainLogPath;
  int64_t maxBytes = 0;
  bool active() const { return file != nullptr; }
};

// Lines of one message while it is being fetched: kept back while `deferLines` is
// set, then written ahead of the next direct line.
struct DeferredLog {
  bool deferLines = false;
  std::vector<std::string> lines; // finished text with line end, no time stamp
};

// Longest text of one line, before its line end.
inline constexpr size_t kMaxLogText = 999;

// Opens the session's file when logging is on; a failure is reported and the
// session runs without a log.
void startSessionLog(SessionLog& log, const LogSettings& settings);

// A line for a message with a literal format; no time stamp when the text starts
// with a carriage return or its second character is a line feed.
void logMessageLine(SessionLog& log, DeferredLog& deferred, LogLevel level, std::string_view format,
                    std::initializer_list<FormatArg> args = {});
// A line for a message with a format from the string table; always time-stamped.
void logMessageText(SessionLog& log, DeferredLog& deferred, LogLevel level, int textId,
                    std::initializer_list<FormatArg> args = {});
// A session-level line with a format from the string table.
void logSessionText(SessionLog& log, LogLevel level, int textId,
                    std::initializer_list<FormatArg> args = {});

// A line outside any session, appended to the main log of the current
// configuration; failures are shown to the user and change nothing.
void logGlobalText(LogLevel level, int textId, std::initializer_list<FormatArg> args = {});

// Appends the session's file to the main log, trims the main log to its limit and
// deletes the file; a file that could not be merged stays for the next start.
void endSessionLog(SessionLog& log);

// Appends files left in activity-logs by an earlier run that ended abnormally,
// each followed by a recovery note.
void mergeOrphanedSessionLogs();

// Keeps only the last `limitBytes` bytes of the open file, starting after a line
// feed. False when a read, write or resize failed (errno tells why).
bool trimLogFile(int fd, int64_t limitBytes);

// The time stamp that begins a line: "HH:MM:SS mm/dd/yy ", or empty.
std::string logTimeStamp();

} // namespace km
