// The day statistics of filtering: per day, the messages judged, judged spam,
// passed, and of the passed those with a white-list match. The table holds the last
// FILTERING_STATS_DAYS days; a day is known by its local date in the user's
// language ("Mon 7 Dec 2026"), which is also how statistics.dat names it:
//
//   DAY_SUMMARY
//   Mon 7 Dec 2026
//   12          filtered
//   3           spam
//   9           passed
//   2           whitelisted
//
// six lines per day, in table order. A change of the user's language renames the
// days, so saved days no longer match and start again from zero.
//
// State: the day table, process-wide under the statistics lock of its own, which is
// taken alone. Any thread: sessions count their messages and save the table as
// they end, the main thread rebuilds it after each configuration load.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct DayStatistics {
  int64_t dayTime = 0;  // the time the day was made from
  std::string dateText; // "ddd d MMM yyyy" in the user's language, or "unknown"
  uint32_t filtered = 0;
  uint32_t spam = 0;
  uint32_t passed = 0;
  uint32_t whitelisted = 0; // counted in passed too
};

// Counts a judged message on today's entry: spam when isSpam is set and
// isWhitelisted is not; otherwise passed, and whitelisted too when it is set.
void countFilteredMessage(bool isSpam, bool isWhitelisted);
void countFilteredMessage(bool isSpam, bool isWhitelisted, int64_t now);

// Makes the table hold `days` entries: missing days are made, going back from
// today; beyond that number the oldest entries go. After each configuration load.
void rebuildFilteringStatistics(int days);
void rebuildFilteringStatistics(int days, int64_t now);

// Start-up, after the first rebuild: sets the counters of every day of the table
// that statistics.dat holds (a block cut short sets those it has); its other days
// are skipped. A missing file is no error.
void loadFilteringStatistics();

// Writes the table to statistics.dat, replacing it whole, when it changed since
// the last write (at the end of each session and at shutdown). A file that cannot
// be written is reported and tried again at the next save; false then.
bool saveFilteringStatistics();

// The days as the status window lists them: the newest first.
std::vector<DayStatistics> dayStatisticsRows();

// A day as statistics.dat holds it: its date text and the counters its block has
// (filtered, spam, passed, whitelisted; fewer when the file ends inside the block).
struct SavedDayStatistics {
  std::string dateText;
  std::vector<uint32_t> counters;
};

// The blocks of statistics.dat text in file order, read as the program reads them:
// lines in pieces of at most 63 bytes, each cut at its first control byte; a
// block starts at a line that is "DAY_SUMMARY" up to its first blank (ignoring
// case). Numbers that are no numbers read as 0.
std::vector<SavedDayStatistics> parseFilteringStatistics(std::string_view text);

// Empties the table (tests; a new data directory).
void forgetFilteringStatistics();

} // namespace km
