#include <gtest/gtest.h>

#include "filter/pipeline.h"
#include "filter/received_tracking.h"
#include "message/message_fixture.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::writeFile;

constexpr std::string_view kWithoutReceived = "From: a@example.org\r\nSubject: x\r\n\r\nBody\r\n";
constexpr std::string_view kWithReceived =
    "received: from relay (relay [192.0.2.1])\r\nFrom: a@example.org\r\n\r\nBody\r\n";

class ReceivedTrackingTest : public ::testing::Test {
protected:
  ReceivedTrackingTest() { forgetReceivedTracking(); }
  ~ReceivedTrackingTest() override { forgetReceivedTracking(); }

  // Finishes messages of a session of that port type, as the proxies do.
  void finish(PortType type, std::string_view raw, int times = 1) {
    test::MessageFixture fixture(type);
    fixture.session.userName = "alice";
    fixture.session.serverName = "pop.example.org";
    for (int i = 0; i < times; ++i) {
      MessagePtr message = fixture.create();
      test::feedMessage(*message, raw);
      FinishMessage(*message);
    }
  }

  ReceivedTrackingAccount account(std::string_view name) {
    for (const ReceivedTrackingAccount& entry : receivedTrackingAccounts()) {
      if (entry.account == name) {
        return entry;
      }
    }
    ADD_FAILURE() << "no account " << name;
    return {};
  }

  std::string trackingFile() { return readFile(data_.file("recv-track.dat")); }

  test::DataDirScope data_;
  test::NotifierScope notices_;
};

TEST_F(ReceivedTrackingTest, TheSeventyFifthMessageInARowWarnsOnceAndTheWarningIsKept) {
  finish(PortType::Pop3Generic, kWithoutReceived, 74);
  EXPECT_EQ(account("alice@pop.example.org").missingCount, 74u);
  EXPECT_EQ(notices_.notifier().count(), 0u);

  finish(PortType::Pop3Generic, kWithoutReceived);
  ASSERT_EQ(notices_.notifier().count(), 1u);
  Notice warning = notices_.notifier().notices()[0];
  EXPECT_NE(warning.text.find("75"), std::string::npos) << warning.text;
  EXPECT_NE(warning.text.find("alice@pop.example.org"), std::string::npos) << warning.text;
  EXPECT_EQ(warning.icon, NoticeIcon::Exclamation);
  EXPECT_EQ(trackingFile(), "LACKING_RECEIVED_LINES_ACCOUNT alice@pop.example.org\n"
                            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 75\n"
                            "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN YES\n")
      << "saved before the user is told";

  // A Received line starts the run again; the warning stays given.
  finish(PortType::Imap4Generic, kWithoutReceived, 3);
  EXPECT_EQ(account("alice@pop.example.org").missingCount, 75u) << "a warned account stops";
  finish(PortType::Pop3Generic, kWithReceived);
  EXPECT_EQ(account("alice@pop.example.org").missingCount, 0u);
  EXPECT_TRUE(account("alice@pop.example.org").warningShown);
  finish(PortType::Pop3Generic, kWithoutReceived, 80);
  EXPECT_EQ(notices_.notifier().count(), 1u);

  // After a restart too.
  ASSERT_TRUE(SaveReceivedTracking());
  forgetReceivedTracking();
  LoadReceivedTracking();
  finish(PortType::Pop3Generic, kWithoutReceived, 80);
  EXPECT_EQ(notices_.notifier().count(), 1u);
}

TEST_F(ReceivedTrackingTest, SmtpSessionsLeaveTheTableAlone) {
  finish(PortType::SmtpSpecific, kWithoutReceived, 80);
  EXPECT_TRUE(receivedTrackingAccounts().empty());
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(ReceivedTrackingTest, TheFileHoldsOnlyAccountsWithACountOrAWarning) {
  trackReceivedLinesOf("quiet@one", false);
  trackReceivedLinesOf("quiet@one", true);
  trackReceivedLinesOf("Busy@Two", false);
  trackReceivedLinesOf("busy@two", false);
  ASSERT_TRUE(SaveReceivedTracking());
  EXPECT_EQ(trackingFile(), "LACKING_RECEIVED_LINES_ACCOUNT Busy@Two\n"
                            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 2\n"
                            "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN NO\n");

  // Unchanged: the file is not written again.
  ASSERT_TRUE(removeFile(data_.file("recv-track.dat")));
  ASSERT_TRUE(SaveReceivedTracking());
  EXPECT_FALSE(fileExists(data_.file("recv-track.dat")));
}

TEST_F(ReceivedTrackingTest, LoadingReadsTheKeyValueLinesItCanAndSkipsTheRest) {
  writeFile(data_.file("recv-track.dat"),
            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 9\n" // before any account: ignored
            "  lacking_received_lines_account   first@one  \r\n"
            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS = 12\n"
            "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN yes\x01 trailing\n"
            "SOMETHING_ELSE 1\n"
            "LACKING_RECEIVED_LINES_ACCOUNT second@two\n"
            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS many\n"
            "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN NO\n"
            "LACKING_RECEIVED_LINES_ACCOUNT third@three\n"
            "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS 7"); // cut short
  LoadReceivedTracking();
  std::vector<ReceivedTrackingAccount> accounts = receivedTrackingAccounts();
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0].account, "first@one");
  EXPECT_EQ(accounts[0].missingCount, 12u);
  EXPECT_TRUE(accounts[0].warningShown);
  EXPECT_EQ(accounts[1].missingCount, 0u);
  EXPECT_FALSE(accounts[1].warningShown);
  EXPECT_EQ(accounts[2].account, "third@three");
  EXPECT_EQ(accounts[2].missingCount, 7u);
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(ReceivedTrackingTest, AFileThatCannotBeWrittenIsReportedAndTriedAgain) {
  std::string path = data_.file("recv-track.dat");
  writeFile(path, "");
  ASSERT_TRUE(setFileMode(path, 0444));
  trackReceivedLinesOf("a@b", false);
  EXPECT_FALSE(SaveReceivedTracking());
  EXPECT_EQ(notices_.notifier().count(), 1u);
  ASSERT_TRUE(setFileMode(path, 0644));
  EXPECT_TRUE(SaveReceivedTracking());
  EXPECT_NE(trackingFile().find("a@b"), std::string::npos);
}

} // namespace
} // namespace km
