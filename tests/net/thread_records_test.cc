#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/thread_records.h"
#include "platform/sync.h"

namespace km {
namespace {

class ThreadRecordTest : public ::testing::Test {
protected:
  void SetUp() override { initThreadRecords(); }
  void TearDown() override { freeThreadRecords(); }
};

TEST_F(ThreadRecordTest, RegisteringTwiceKeepsOneRecordWithTheNewType) {
  registerThread("POP3");
  registerThread("POP3 pre-fetching");
  EXPECT_EQ(threadRecordCount(), 1u);
  std::optional<ThreadRecord> record = currentThreadRecord();
  ASSERT_TRUE(record);
  EXPECT_STREQ(record->threadType, "POP3 pre-fetching");
  EXPECT_EQ(record->threadId, currentThreadId());
  unregisterThread();
  EXPECT_FALSE(currentThreadRecord());
}

TEST_F(ThreadRecordTest, TextsAreCutToTheirFieldsAndAlwaysTerminated) {
  registerThread(std::string(100, 't'));
  setThreadCommand(std::string(200, 'c'));
  setThreadStatus("Calling gethostbyname");
  setSessionHandle(12);
  ThreadRecord record = *currentThreadRecord();
  EXPECT_EQ(std::string(record.threadType).size(), 31u);
  EXPECT_EQ(std::string(record.command).size(), 63u);
  EXPECT_STREQ(record.status, "Calling gethostbyname");
  EXPECT_EQ(record.sessionHandle, 12);
}

TEST_F(ThreadRecordTest, ChangesWithoutARecordAreIgnored) {
  setThreadCommand("nobody");
  enterPluginCall("p", "f");
  EXPECT_EQ(threadRecordCount(), 0u);
}

TEST_F(ThreadRecordTest, NestedPluginCallsKeepTheOutermostNames) {
  registerThread("SMTP");
  enterPluginCall("outer", "filterOnMessageHeaders");
  enterPluginCall("inner", "getPluginName");
  ThreadRecord record = *currentThreadRecord();
  EXPECT_EQ(record.pluginDepth, 2);
  EXPECT_STREQ(record.pluginName, "outer");
  leavePluginCall("inner", "getPluginName");
  EXPECT_STREQ(currentThreadRecord()->pluginName, "outer");
  leavePluginCall("outer", "filterOnMessageHeaders");
  record = *currentThreadRecord();
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

TEST(RunningSessions, CountsStartsAndEnds) {
  int before = runningSessionCount();
  sessionThreadStarted();
  sessionThreadStarted();
  EXPECT_EQ(runningSessionCount(), before + 2);
  sessionThreadEnded();
  sessionThreadEnded();
  EXPECT_EQ(runningSessionCount(), before);
}

} // namespace
} // namespace km
