// The statistics the status window shows, as a model any user interface can draw:
// the day table (newest day first, with a total over its days) and the DNSBL
// table (one row per defined list). The figures come from the filter's tables
// (filter/filtering_statistics.h, filter/dnsbl_statistics.h); the model is a copy
// taken at one moment, so it may be read on any thread without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace km {

struct StatisticsDay {
  std::string date; // the day's local date text, or the total's heading
  uint32_t filtered = 0;
  uint32_t spam = 0;
  uint32_t passed = 0;
  uint32_t whitelisted = 0;
};

struct StatisticsDnsbl {
  std::string list; // the list's key
  uint32_t queries = 0;
  uint32_t listed = 0;
  uint32_t notListed = 0;
  std::string hitRate;  // "33.3%"; empty while the list has no answer
  std::string meanTime; // "0.120s"; empty while the list has no answer
};

struct StatisticsModel {
  std::vector<std::string> dayHeadings;   // Day, Filtered, Spam, Passed, Whitelisted
  std::vector<StatisticsDay> days;        // newest first
  StatisticsDay total;                    // the sums of `days`, dated "Total"
  std::vector<std::string> dnsblHeadings; // DNS blacklist, Queries, ..., Mean time
  std::vector<StatisticsDnsbl> dnsbls;    // in definition order
};

// The figures as they stand now. Headings come from the language table.
StatisticsModel statisticsModel();

// The model as aligned plain-text tables for a terminal: the day table with its
// total line, then the DNSBL table when the model has lists.
std::string statisticsText(const StatisticsModel& model);

} // namespace km
