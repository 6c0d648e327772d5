#include "filter/dnsbl_statistics.h"

#include "config/config.h"
#include "filter/dnsbl_lock.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr uint64_t kRefreshIntervalMs = 4000;

// The process-wide table, guarded by the DNSBL lock.
struct StatisticsTable {
  std::vector<DnsblStatisticsRow> rows;
  std::optional<uint64_t> lastRefreshMs;
};

StatisticsTable& table() {
  static StatisticsTable statistics;
  return statistics;
}

DnsblStatisticsRow* findRow(std::string_view key) {
  for (DnsblStatisticsRow& row : table().rows) {
    if (equalsIgnoreCase(row.name, key)) {
      return &row;
    }
  }
  return nullptr;
}

void fillCells(DnsblStatisticsRow& row) {
  const DnsblCounts& counts = row.counts;
  row.cells[kDnsblColumnName] = row.name;
  row.cells[kDnsblColumnQueries] = std::to_string(counts.queries);
  row.cells[kDnsblColumnListed] = std::to_string(counts.listed);
  row.cells[kDnsblColumnNotListed] = std::to_string(counts.notListed);
  if (counts.queries == 0) {
    row.cells[kDnsblColumnHitRate].clear();
    row.cells[kDnsblColumnMeanTime].clear();
    return;
  }
  double queries = counts.queries;
  row.cells[kDnsblColumnHitRate] = formatText("%.1f%%", {counts.listed * 100.0 / queries});
  row.cells[kDnsblColumnMeanTime] =
      formatText("%.3fs", {static_cast<double>(counts.totalMs) / queries / 1000.0});
}

} // namespace

void syncDnsblStatisticsLists(const Config& config) {
  RecursiveGuard guard(dnsblLock());
  std::vector<DnsblStatisticsRow> rows;
  rows.reserve(config.dnsblLists.size());
  for (const DnsblList& list : config.dnsblLists) {
    DnsblStatisticsRow row;
    if (const DnsblStatisticsRow* known = findRow(list.key)) {
      row = *known;
    }
    row.name = list.key;
    fillCells(row);
    row.changed = false;
    rows.push_back(std::move(row));
  }
  table().rows = std::move(rows);
}

void countDnsblAnswer(std::string_view listKey, bool listed, uint64_t answerMs) {
  countDnsblAnswer(listKey, listed, answerMs, tickCountMs());
}

void countDnsblAnswer(std::string_view listKey, bool listed, uint64_t answerMs, uint64_t nowMs) {
  RecursiveGuard guard(dnsblLock());
  DnsblStatisticsRow* row = findRow(listKey);
  if (row == nullptr) {
    return;
  }
  ++row->counts.queries;
  ++(listed ? row->counts.listed : row->counts.notListed);
  row->counts.totalMs += answerMs;
  row->changed = true;
  const std::optional<uint64_t>& last = table().lastRefreshMs;
  if (!last || nowMs - *last >= kRefreshIntervalMs) {
    refreshDnsblStatistics(nowMs);
  }
}

void refreshDnsblStatistics() {
  refreshDnsblStatistics(tickCountMs());
}

void refreshDnsblStatistics(uint64_t nowMs) {
  RecursiveGuard guard(dnsblLock());
  for (DnsblStatisticsRow& row : table().rows) {
    if (row.changed) {
      fillCells(row);
      row.changed = false;
    }
  }
  table().lastRefreshMs = nowMs;
}

std::optional<DnsblCounts> dnsblListCounts(std::string_view listKey) {
  RecursiveGuard guard(dnsblLock());
  const DnsblStatisticsRow* row = findRow(listKey);
  return row ? std::optional<DnsblCounts>(row->counts) : std::nullopt;
}

std::vector<DnsblStatisticsRow> dnsblStatisticsRows() {
  RecursiveGuard guard(dnsblLock());
  return table().rows;
}

} // namespace km
