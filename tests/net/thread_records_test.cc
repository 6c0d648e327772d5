#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/session_rows.h"
#include "platform/sync.h"
#include "platform/thread_records.h"

namespace km {
namespace {

class ThreadRecordTest : public ::testing::Test {
protected:
  void SetUp() override { initThreadRecords(); }
  void TearDown() override { freeThreadRecords(); }
};

TEST_F(ThreadRecordTest, OneRecordPerThreadWithTextsCutToTheirFields) {
  setThreadCommand("nobody"); // without a record: ignored
  enterPluginCall("p", "f");
  EXPECT_EQ(threadRecordCount(), 0u);
  registerThread("POP3");
  registerThread(std::string(100, 't'));
  EXPECT_EQ(threadRecordCount(), 1u) << "registering twice keeps one record with the new type";
  setThreadCommand(std::string(200, 'c'));
  setThreadStatus("Calling gethostbyname");
  setSessionHandle(12);
  ThreadRecord record = *currentThreadRecord();
  EXPECT_EQ(std::string(record.threadType), std::string(31, 't'));
  EXPECT_EQ(std::string(record.command).size(), 63u);
  EXPECT_STREQ(record.status, "Calling gethostbyname");
  EXPECT_EQ(record.sessionHandle, 12);
  EXPECT_EQ(record.threadId, currentThreadId());
  unregisterThread();
  EXPECT_FALSE(currentThreadRecord());
}

TEST_F(ThreadRecordTest, NestedPluginCallsKeepTheOutermostNames) {
  registerThread("SMTP");
  enterPluginCall("outer", "filterOnMessageHeaders");
  enterPluginCall("inner", "getPluginName");
  EXPECT_EQ(currentThreadRecord()->pluginDepth, 2);
  EXPECT_STREQ(currentThreadRecord()->pluginName, "outer");
  leavePluginCall("inner", "getPluginName");
  EXPECT_STREQ(currentThreadRecord()->pluginName, "outer");
  leavePluginCall("outer", "filterOnMessageHeaders");
  ThreadRecord record = *currentThreadRecord();
  EXPECT_EQ(record.pluginDepth, 0);
  EXPECT_STREQ(record.pluginName, "");
  EXPECT_STREQ(record.pluginFunction, "");
}

TEST_F(ThreadRecordTest, EachThreadHasItsOwnRecord) {
  registerThread("main");
  Event registered(Event::Reset::Manual);
  Event release(Event::Reset::Manual);
  ThreadId other = 0;
  std::thread worker([&] {
    registerThread("DNSBL query thread");
    setThreadStatus("Picking query");
    other = currentThreadId();
    registered.set();
    release.wait();
    unregisterThread();
  });
  registered.wait();
  EXPECT_EQ(threadRecordCount(), 2u);
  EXPECT_STREQ(findThreadRecord(other)->status, "Picking query");
  EXPECT_STREQ(currentThreadRecord()->status, "");
  ThreadRecord copy;
  EXPECT_TRUE(copyThreadRecordForCrash(other, copy));
  EXPECT_STREQ(copy.threadType, "DNSBL query thread");
  release.set();
  worker.join();
  EXPECT_EQ(threadRecordCount(), 1u);
}

TEST_F(ThreadRecordTest, SessionRowsAreReusedAndTheirCommandAndStatusReachTheRecord) {
  registerThread("POP3");
  int first = addSessionRow({127, 0, 0, 1});
  int second = addSessionRow({10, 0, 0, 2});
  EXPECT_NE(first, second);
  setRowText(second, kColumnCommand, "RETR 1");
  setRowText(second, kColumnStatus, "Filtering");
  setRowText(second, 7, "ignored"); // no such column
  setRowText(99, kColumnUser, "ignored");
  const SessionRow row = sessionRows()[static_cast<size_t>(second)];
  EXPECT_EQ(row.columns[kColumnConnection], "10.0.0.2");
  EXPECT_EQ(row.columns[kColumnCommand], "RETR 1");
  EXPECT_STREQ(currentThreadRecord()->command, "RETR 1");
  EXPECT_STREQ(currentThreadRecord()->status, "Filtering");
  removeSessionRow(first);
  EXPECT_FALSE(sessionRows()[static_cast<size_t>(first)].inUse);
  EXPECT_EQ(addSessionRow({192, 0, 2, 1}), first) << "a free row is taken first";
  EXPECT_EQ(sessionRows()[static_cast<size_t>(first)].columns[kColumnCommand], "");
  removeSessionRow(first);
  removeSessionRow(second);
}

} // namespace
} // namespace km
