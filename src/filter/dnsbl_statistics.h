// The DNSBL table of the status window as a model: one row per DNSBL list with its
// answers, listings, hit rate and mean answer time. The counters live only in
// memory, under the DNSBL lock; the DNSBL engine counts every finished lookup and
// reads the counters for its pick weights. The shown texts are refreshed at most
// every 4 seconds, so that a burst of answers does not redraw the table each time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct Config;

struct DnsblCounts {
  uint32_t queries = 0; // answers received
  uint32_t listed = 0;
  uint32_t notListed = 0;
  uint64_t totalMs = 0; // sum of the answer times
};

// Columns of a row: the list's key, then the counters as the window shows them.
enum DnsblColumn : int {
  kDnsblColumnName = 0,
  kDnsblColumnQueries = 1,
  kDnsblColumnListed = 2,
  kDnsblColumnNotListed = 3,
  kDnsblColumnHitRate = 4,  // "%.1f%%", empty while there is no answer
  kDnsblColumnMeanTime = 5, // "%.3fs", empty while there is no answer
};

struct DnsblStatisticsRow {
  std::string name; // the list's key
  DnsblCounts counts;
  bool changed = false; // counted since the texts were last refreshed
  std::array<std::string, 6> cells;
};

// Makes the table hold one row per DNSBL list of the snapshot, in definition order.
// A list that keeps its key (ignoring case) keeps its counters; rows of lists that
// are no longer defined go. Called after each configuration load.
void syncDnsblStatisticsLists(const Config& config);

// Counts one answer of a list's lookup: listed or not, and how long it took. The
// texts are refreshed when 4 seconds have passed since the last refresh. A key
// without a row changes nothing. `nowMs` is the tick count (tickCountMs when not
// given).
void countDnsblAnswer(std::string_view listKey, bool listed, uint64_t answerMs);
void countDnsblAnswer(std::string_view listKey, bool listed, uint64_t answerMs, uint64_t nowMs);

// Refreshes the texts of every changed row now.
void refreshDnsblStatistics();
void refreshDnsblStatistics(uint64_t nowMs);

// The counters of a list (key ignoring case); nothing for a list without a row.
std::optional<DnsblCounts> dnsblListCounts(std::string_view listKey);

// A copy of the rows as the window shows them, in table order.
std::vector<DnsblStatisticsRow> dnsblStatisticsRows();

} // namespace km
