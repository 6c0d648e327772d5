#include "net/session_rows.h"

#include <mutex>

#include "platform/thread_records.h"
#include "platform/threads.h"

namespace km {

namespace {

struct RowTable {
  std::mutex lock;
  std::vector<SessionRow> rows;
};

RowTable& table() {
  static RowTable instance;
  return instance;
}

// Frees the rows whose time to stay visible has passed.
void removeExpiredRows(std::vector<SessionRow>& rows) {
  uint64_t now = tickCountMs();
  for (SessionRow& row : rows) {
    if (row.inUse && row.removeAtMs != 0 && now >= row.removeAtMs) {
      row = SessionRow{};
    }
  }
}

SessionRow* rowAt(int row) {
  auto& rows = table().rows;
  if (row < 0 || static_cast<size_t>(row) >= rows.size() || !rows[static_cast<size_t>(row)].inUse) {
    return nullptr;
  }
  return &rows[static_cast<size_t>(row)];
}

} // namespace

int addSessionRow(const Ipv4Address& clientAddress) {
  std::lock_guard guard(table().lock);
  auto& rows = table().rows;
  removeExpiredRows(rows);
  size_t index = 0;
  while (index < rows.size() && rows[index].inUse) {
    ++index;
  }
  if (index == rows.size()) {
    rows.emplace_back();
  }
  rows[index] = SessionRow{};
  rows[index].inUse = true;
  rows[index].columns[kColumnConnection] = ipToString(clientAddress);
  return static_cast<int>(index);
}

void setRowSockets(int row, LineSocket* client, LineSocket* upstream) {
  std::lock_guard guard(table().lock);
  if (SessionRow* entry = rowAt(row)) {
    entry->client = client;
    entry->upstream = upstream;
  }
}

void setRowText(int row, int column, std::string_view text) {
  if (column == kColumnCommand) {
    setThreadCommand(text);
  } else if (column == kColumnStatus) {
    setThreadStatus(text);
  }
  std::lock_guard guard(table().lock);
  if (SessionRow* entry = rowAt(row);
      entry && column >= 0 && static_cast<size_t>(column) < kSessionColumns) {
    entry->columns[static_cast<size_t>(column)] = text;
  }
}

void removeSessionRow(int row) {
  std::lock_guard guard(table().lock);
  if (SessionRow* entry = rowAt(row)) {
    *entry = SessionRow{};
  }
}

void removeSessionRowAfter(int row, unsigned delayMs) {
  if (delayMs == 0) {
    removeSessionRow(row);
    return;
  }
  std::lock_guard guard(table().lock);
  if (SessionRow* entry = rowAt(row)) {
    entry->client = nullptr;
    entry->upstream = nullptr;
    entry->removeAtMs = tickCountMs() + delayMs;
  }
}

std::vector<SessionRow> sessionRows() {
  std::lock_guard guard(table().lock);
  removeExpiredRows(table().rows);
  return table().rows;
}

} // namespace km
