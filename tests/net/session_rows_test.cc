#include <gtest/gtest.h>

#include "net/session_rows.h"
#include "net/thread_records.h"

namespace km {
namespace {

TEST(SessionRows, RowsAreReusedAndTheirCommandAndStatusReachTheThreadRecord) {
  initThreadRecords();
  registerThread("POP3");
  int first = addSessionRow({127, 0, 0, 1});
  int second = addSessionRow({10, 0, 0, 2});
  EXPECT_NE(first, second);
  setRowText(second, COLUMN_PROTOCOL, "POP3");
  setRowText(second, COLUMN_COMMAND, "RETR 1");
  setRowText(second, COLUMN_STATUS, "Filtering");
  setRowText(second, 7, "ignored"); // no such column
  setRowText(99, COLUMN_USER, "ignored");

  std::vector<SessionRow> rows = sessionRows();
  ASSERT_GT(rows.size(), static_cast<size_t>(second));
  const SessionRow& row = rows[static_cast<size_t>(second)];
  EXPECT_EQ(row.columns[COLUMN_CONNECTION], "10.0.0.2");
  EXPECT_EQ(row.columns[COLUMN_COMMAND], "RETR 1");
  std::optional<ThreadRecord> record = currentThreadRecord();
  ASSERT_TRUE(record);
  EXPECT_STREQ(record->command, "RETR 1");
  EXPECT_STREQ(record->status, "Filtering");

  removeSessionRow(first);
  EXPECT_FALSE(sessionRows()[static_cast<size_t>(first)].inUse);
  EXPECT_EQ(addSessionRow({192, 0, 2, 1}), first) << "a free row is taken first";
  EXPECT_EQ(sessionRows()[static_cast<size_t>(first)].columns[COLUMN_COMMAND], "");
  removeSessionRow(first);
  removeSessionRow(second);
  unregisterThread();
}

} // namespace
} // namespace km
