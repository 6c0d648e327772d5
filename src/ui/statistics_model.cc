#include "ui/statistics_model.h"

#include <algorithm>
#include <limits>

#include "filter/dnsbl_statistics.h"
#include "filter/filtering_statistics.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {

namespace {

void addTo(uint32_t& sum, uint32_t value) {
  sum = value > std::numeric_limits<uint32_t>::max() - sum ? std::numeric_limits<uint32_t>::max()
                                                           : sum + value;
}

// The columns a text takes on a terminal: one per character of UTF-8 text (the
// names of days and months in the user's language may have accents).
size_t columnsOf(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Columns of text: the first aligned left, the others right, two spaces apart.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], columnsOf(row[i]));
    }
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      std::string pad(widths[i] - columnsOf(row[i]), ' ');
      line += i == 0 ? row[i] + pad : "  " + pad + row[i];
    }
    text += line + "\n";
  }
  return text;
}

std::vector<std::string> dayCells(const StatisticsDay& day) {
  return {day.date, std::to_string(day.filtered), std::to_string(day.spam),
          std::to_string(day.passed), std::to_string(day.whitelisted)};
}

} // namespace

StatisticsModel statisticsModel() {
  StatisticsModel model;
  for (int id : {kTextStatsDay, kTextStatsFiltered, kTextStatsSpam, kTextStatsPassed,
                 kTextStatsWhitelisted}) {
    model.dayHeadings.push_back(languageText(id));
  }
  for (int id : {kTextStatsDnsblList, kTextStatsDnsblQueries, kTextStatsDnsblListed,
                 kTextStatsDnsblNotListed, kTextStatsDnsblHitRate, kTextStatsDnsblMeanTime}) {
    model.dnsblHeadings.push_back(languageText(id));
  }
  model.total.date = languageText(kTextStatsTotal);
  for (const DayStatistics& day : dayStatisticsRows()) {
    model.days.push_back({day.dateText, day.filtered, day.spam, day.passed, day.whitelisted});
    addTo(model.total.filtered, day.filtered);
    addTo(model.total.spam, day.spam);
    addTo(model.total.passed, day.passed);
    addTo(model.total.whitelisted, day.whitelisted);
  }
  refreshDnsblStatistics();
  for (const DnsblStatisticsRow& row : dnsblStatisticsRows()) {
    model.dnsbls.push_back({row.name, row.counts.queries, row.counts.listed, row.counts.notListed,
                            row.cells[kDnsblColumnHitRate], row.cells[kDnsblColumnMeanTime]});
  }
  return model;
}

std::string statisticsText(const StatisticsModel& model) {
  std::vector<std::vector<std::string>> days = {model.dayHeadings};
  for (const StatisticsDay& day : model.days) {
    days.push_back(dayCells(day));
  }
  days.push_back(dayCells(model.total));
  std::string text = alignedTable(days);
  if (model.dnsbls.empty()) {
    return text;
  }
  std::vector<std::vector<std::string>> lists = {model.dnsblHeadings};
  for (const StatisticsDnsbl& list : model.dnsbls) {
    lists.push_back({list.list, std::to_string(list.queries), std::to_string(list.listed),
                     std::to_string(list.notListed), list.hitRate, list.meanTime});
  }
  return text + "\n" + alignedTable(lists);
}

} // namespace km
