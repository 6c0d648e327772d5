#include "filter/filtering_statistics.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "config/config_lines.h"
#include "diag/error_report.h"
#include "platform/calendar.h"
#include "platform/data_path.h"
#include "platform/files.h"
#include "platform/text.h"

namespace km {

namespace {

constexpr const char* kStatisticsFile = "statistics.dat";
constexpr size_t kLinePiece = 63; // the longest piece a line is read in
constexpr std::string_view kBlockStart = "DAY_SUMMARY";
constexpr size_t kCountersPerDay = 4;

// The table in the order entries were made (the file's order); `row` is the place
// of each in the shown list, 0 at the top.
struct DayEntry {
  DayStatistics day;
  size_t row = 0;
};

struct DayTable {
  std::mutex lock;
  std::vector<DayEntry> entries;
  bool changed = false; // since the file was last written
};

DayTable& dayTable() {
  static DayTable table;
  return table;
}

// The entry of the day of time t, made when the table has none: its row goes just
// below every day made from a later time. The caller holds the lock.
DayEntry& findOrMakeDay(std::vector<DayEntry>& entries, int64_t t) {
  std::string date = localDateText(t);
  for (DayEntry& entry : entries) {
    if (equalsIgnoreCase(entry.day.dateText, date)) {
      return entry;
    }
  }
  size_t row = 0;
  for (const DayEntry& entry : entries) {
    row += entry.day.dayTime > t ? 1 : 0;
  }
  for (DayEntry& entry : entries) {
    entry.row += entry.row >= row ? 1 : 0;
  }
  DayEntry made;
  made.day.dayTime = t;
  made.day.dateText = std::move(date);
  made.row = row;
  entries.push_back(std::move(made));
  return entries.back();
}

void addOne(uint32_t& counter) {
  if (counter < std::numeric_limits<uint32_t>::max()) {
    ++counter;
  }
}

uint32_t readCounter(std::string_view line) {
  return static_cast<uint32_t>(std::max(readConfigNumber(line), 0));
}

std::string formatStatistics(const std::vector<DayEntry>& entries) {
  std::string text;
  for (const DayEntry& entry : entries) {
    const DayStatistics& day = entry.day;
    text += formatText("DAY_SUMMARY\n%s\n%u\n%u\n%u\n%u\n",
                       {day.dateText, day.filtered, day.spam, day.passed, day.whitelisted});
  }
  return text;
}

} // namespace

void countFilteredMessage(bool isSpam, bool isWhitelisted) {
  countFilteredMessage(isSpam, isWhitelisted, currentUnixTime());
}

void countFilteredMessage(bool isSpam, bool isWhitelisted, int64_t now) {
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  table.changed = true;
  DayStatistics& day = findOrMakeDay(table.entries, now).day;
  addOne(day.filtered);
  if (isSpam && !isWhitelisted) {
    addOne(day.spam);
    return;
  }
  addOne(day.passed);
  if (isWhitelisted) {
    addOne(day.whitelisted);
  }
}

void rebuildFilteringStatistics(int days) {
  rebuildFilteringStatistics(days, currentUnixTime());
}

void rebuildFilteringStatistics(int days, int64_t now) {
  size_t wanted = static_cast<size_t>(std::max(days, 1));
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  std::vector<DayEntry>& entries = table.entries;
  size_t before = entries.size();
  // Days are made going back from today until the table is full. A day the table
  // holds already (it counted messages after the last rebuild) is passed over, and
  // days that cannot be told apart (no date at all) end the search.
  size_t daysBack = 0;
  for (size_t attempts = 0; entries.size() < wanted && attempts < 2 * wanted + 2; ++attempts) {
    findOrMakeDay(entries, localNoonDaysBefore(now, static_cast<int>(daysBack++)));
  }
  while (entries.size() > wanted) {
    auto oldest =
        std::max_element(entries.begin(), entries.end(),
                         [](const DayEntry& a, const DayEntry& b) { return a.row < b.row; });
    if (oldest != entries.end() - 1) {
      *oldest = std::move(entries.back());
    }
    entries.pop_back();
  }
  table.changed = table.changed || entries.size() != before;
}

void loadFilteringStatistics() {
  std::optional<std::string> text = readWholeFile(dataPath(kStatisticsFile));
  if (!text) {
    return;
  }
  std::vector<SavedDayStatistics> saved = parseFilteringStatistics(*text);
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  table.changed = true;
  for (const SavedDayStatistics& block : saved) {
    for (DayEntry& entry : table.entries) {
      DayStatistics& day = entry.day;
      if (!equalsIgnoreCase(day.dateText, block.dateText)) {
        continue;
      }
      uint32_t* counters[] = {&day.filtered, &day.spam, &day.passed, &day.whitelisted};
      for (size_t i = 0; i < block.counters.size(); ++i) {
        *counters[i] = block.counters[i];
      }
    }
  }
}

bool saveFilteringStatistics() {
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  if (!table.changed) {
    return true;
  }
  std::string path = dataPath(kStatisticsFile);
  if (replaceFileContents(path, formatStatistics(table.entries))) {
    table.changed = false;
    return true;
  }
  reportRuntimeError(path, nullptr);
  return false;
}

std::vector<DayStatistics> dayStatisticsRows() {
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  std::vector<const DayEntry*> sorted;
  for (const DayEntry& entry : table.entries) {
    sorted.push_back(&entry);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const DayEntry* a, const DayEntry* b) { return a->row < b->row; });
  std::vector<DayStatistics> rows;
  for (const DayEntry* entry : sorted) {
    rows.push_back(entry->day);
  }
  return rows;
}

std::vector<SavedDayStatistics> parseFilteringStatistics(std::string_view text) {
  // The file's lines as the reader sees them.
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = std::min({text.find('\n'), kLinePiece, text.size()});
    bool endsLine = end < text.size() && text[end] == '\n';
    lines.push_back(cutAtControl(text.substr(0, end)));
    text.remove_prefix(end + (endsLine ? 1 : 0));
  }
  std::vector<SavedDayStatistics> days;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view first = lines[i].substr(0, lines[i].find(' '));
    if (!equalsIgnoreCase(first, kBlockStart)) {
      continue;
    }
    SavedDayStatistics day;
    if (i + 1 < lines.size()) {
      day.dateText = std::string(lines[++i]);
    }
    while (day.counters.size() < kCountersPerDay && i + 1 < lines.size()) {
      day.counters.push_back(readCounter(lines[++i]));
    }
    days.push_back(std::move(day));
  }
  return days;
}

void forgetFilteringStatistics() {
  DayTable& table = dayTable();
  std::lock_guard guard(table.lock);
  table.entries.clear();
  table.changed = false;
}

} // namespace km
