#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "config/data_dir.h"
#include "filter/auto_whitelist.h"
#include "filter_fixture.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::ip;
using test::readFile;
using test::writeFile;

constexpr int64_t kDay = 86400;
// Noon of a day in UTC; the days of a test count from it.
constexpr int64_t kFirstNoon = int64_t{20000} * kDay + kDay / 2;

int64_t noonOfDay(int day) {
  return kFirstNoon + day * kDay;
}

std::string word(uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<char>(value >> shift & 0xFF));
  }
  return bytes;
}

std::string text(std::string_view value) {
  return std::string(value) + '\0';
}

void setModified(const std::string& path, int64_t unixTime) {
  struct timespec times[2] = {{unixTime, 0}, {unixTime, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::vector<std::string> headers(std::string_view messageId) {
  return {"From: Friend <friend@example.org>\r\n", "Subject: Lunch\r\n",
          std::string(messageId) + "\r\n"};
}

class AutoWhitelistTest : public ::testing::Test {
protected:
  AutoWhitelistTest() {
    prepareDataDirectory();
    forgetAutoWhitelistState();
  }
  ~AutoWhitelistTest() override { forgetAutoWhitelistState(); }

  ConfigRef load(const std::string& settings = "") {
    return data_.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n" + settings);
  }

  // One clean message with a Message-ID of its own on the given day.
  CountOutcome countOn(int day, std::vector<std::string> senders,
                       std::vector<Ipv4Address> relays = {}) {
    ConfigRef config = AcquireConfig();
    std::string id = "Message-ID: <" + std::to_string(++messages_) + "@example.org>";
    return CountCleanMessage(senders, relays, headers(id), *config, noonOfDay(day));
  }

  std::optional<PendingSender> pending(std::string_view address) {
    for (const PendingSender& sender : pendingSenders()) {
      if (sender.address == address) {
        return sender;
      }
    }
    return std::nullopt;
  }

  std::string read(const std::string& name) { return readFile(data_.file(name)); }

  test::NotifierScope notices_;
  test::DataDirScope data_;
  int messages_ = 0;
};

TEST_F(AutoWhitelistTest, ASenderIsCountedOncePerDayAndBecomesWhiteOnTheSeventhDay) {
  ConfigRef first = load();
  for (int i = 0; i < 7; ++i) {
    countOn(0, {"friend@example.org"});
  }
  ASSERT_TRUE(pending("friend@example.org"));
  EXPECT_EQ(pending("friend@example.org")->count, 1u) << "seven messages on one day count once";

  // Late on the day of the first count is still that day; just after midnight UTC
  // is the next one.
  CountCleanMessage({"Friend@Example.org"}, {}, headers("Message-ID: <late>"), *first,
                    kFirstNoon + kDay / 2 - 1);
  EXPECT_EQ(pending("friend@example.org")->count, 1u) << "case and time of day do not matter";
  for (int day = 1; day <= 5; ++day) {
    EXPECT_TRUE(countOn(day, {"friend@example.org"}).promotedSenders.empty());
  }
  EXPECT_EQ(pending("friend@example.org")->count, 6u);
  EXPECT_EQ(pending("friend@example.org")->lastCounted, noonOfDay(5));

  CountOutcome seventh = countOn(6, {"friend@example.org"});
  EXPECT_EQ(seventh.promotedSenders, (std::vector<std::string>{"friend@example.org"}));
  EXPECT_FALSE(pending("friend@example.org"));
  ConfigRef now = AcquireConfig();
  EXPECT_EQ(IsAutoWhiteAddress(*now, "FRIEND@example.org"), "friend@example.org");
  EXPECT_FALSE(IsAutoWhiteAddress(*first, "friend@example.org"))
      << "held snapshots stay as they were";
  EXPECT_EQ(read("auto_wlist_from.dat"), "friend@example.org\n");

  // Auto-white now: further mail counts for nothing.
  EXPECT_FALSE(countOn(7, {"friend@example.org"}).countedBefore);
  EXPECT_FALSE(pending("friend@example.org"));
}

TEST_F(AutoWhitelistTest, RelaysCountTowardsTheirOwnThresholdAndFile) {
  load("AUTO_WLIST_IP_NUM_MAILS 3\nAUTO_WLIST_FROM_NUM_MAILS 2\n");
  Ipv4Address relay = ip("192.0.2.10");
  countOn(0, {"a@example.org"}, {relay, relay});
  countOn(1, {}, {relay});
  EXPECT_EQ(pendingRelays().size(), 1u);
  EXPECT_EQ(pendingRelays()[0].count, 2u);
  CountOutcome third = countOn(2, {}, {relay, ip("192.0.2.11")});
  EXPECT_EQ(third.promotedRelays, (std::vector<Ipv4Address>{relay}));
  EXPECT_TRUE(IsAutoWhiteIp(*AcquireConfig(), relay));
  EXPECT_FALSE(IsAutoWhiteIp(*AcquireConfig(), ip("192.0.2.11")));
  EXPECT_EQ(read("auto_wlist_ip.dat"), "192.0.2.10\n");
  EXPECT_EQ(pending("a@example.org")->count, 1u) << "a sender threshold of 2 is not reached";
}

TEST_F(AutoWhitelistTest, TheSameMessageCountsOnceAndMessagesWithoutIdsShareOne) {
  ConfigRef config = load();
  auto count = [&](const std::vector<std::string>& lines, int day, const char* sender) {
    return CountCleanMessage({sender}, {}, lines, *config, noonOfDay(day));
  };
  std::vector<std::string> message = headers("Message-ID: <same@example.org>");
  EXPECT_FALSE(count(message, 0, "a@example.org").countedBefore);
  std::vector<std::string> again = headers("message-id: <SAME@example.org>");
  EXPECT_TRUE(count(again, 1, "a@example.org").countedBefore);
  EXPECT_EQ(pending("a@example.org")->count, 1u);
  ASSERT_EQ(countedMessageIds().size(), 1u);
  EXPECT_EQ(countedMessageIds()[0].id, "Message-ID: <same@example.org>  ");
  EXPECT_EQ(countedMessageIds()[0].lastSeen, noonOfDay(1)) << "seeing it again renews it";

  std::vector<std::string> bare = {"From: b@example.org\r\n", "Subject: no id\r\n"};
  EXPECT_FALSE(count(bare, 0, "b@example.org").countedBefore);
  EXPECT_TRUE(count(bare, 1, "c@example.org").countedBefore);
  EXPECT_FALSE(pending("c@example.org")) << "\"**NO MSG ID**\" was counted before";

  // A message that brings nothing new is not remembered.
  ConfigRef senderless = load("USE_AUTO_WLIST_FROM NO\n");
  std::vector<std::string> quiet = headers("Message-ID: <quiet@example.org>");
  CountCleanMessage({"d@example.org"}, {}, quiet, *senderless, noonOfDay(0));
  EXPECT_FALSE(pending("d@example.org"));
  EXPECT_EQ(countedMessageIds().size(), 2u);
}

TEST(AutoWhitelistMessageId, IsTheLastMessageIdLineElseTheFirstDateLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"Message-ID: <a>\r\n", "MESSAGE-ID: <b>\r\n", "Date: x\r\n"}, "MESSAGE-ID: <b>  "},
      {{"Date: Mon\r\n", "Date: Tue\r\n"}, "Date: Mon  "},
      {{"Subject: x\r\n", "message-id:<c>\n", "Message-IDs: <d>\r\n"}, "message-id:<c> "},
      {{"X-Message-ID: <d>\r\n"}, "**NO MSG ID**"},
      {{"Message-ID: <e>\x01\tf\r\n"}, "Message-ID: <e>  f  "},
      {{}, "**NO MSG ID**"},
  };
  for (const auto& [lines, id] : cases) {
    EXPECT_EQ(autoWhitelistMessageId(lines), id);
  }
}

TEST_F(AutoWhitelistTest, StateFilesHaveTheirByteLayoutsAndSurviveARestart) {
  load();
  countOn(0, {"one@example.org", "Two@Example.org"}, {ip("192.0.2.1")});
  countOn(1, {"two@example.org"});
  ASSERT_TRUE(SaveAutoWhitelistState());
  uint32_t day0 = static_cast<uint32_t>(noonOfDay(0));
  uint32_t day1 = static_cast<uint32_t>(noonOfDay(1));
  EXPECT_EQ(read("auto_wlist_from_pending.dat"), word(2) + text("one@example.org") + word(1) +
                                                     word(day0) + text("Two@Example.org") +
                                                     word(2) + word(day1));
  EXPECT_EQ(read("auto_wlist_ip_pending.dat"),
            word(1) + std::string("\xC0\x00\x02\x01", 4) + word(1) + word(day0));
  EXPECT_EQ(read("auto_wlist_msgids.dat"), word(2) + text("Message-ID: <1@example.org>  ") +
                                               word(day0) + text("Message-ID: <2@example.org>  ") +
                                               word(day1));

  forgetAutoWhitelistState();
  LoadAutoWhitelistState(noonOfDay(2));
  EXPECT_EQ(pending("Two@Example.org")->count, 2u);
  EXPECT_EQ(pendingRelays().size(), 1u);
  EXPECT_EQ(countedMessageIds().size(), 2u);
}

TEST_F(AutoWhitelistTest, StartUpDropsWhatLivedTooLongWithItsLogFile) {
  load();
  int64_t now = noonOfDay(400);
  uint32_t idLimit = static_cast<uint32_t>(now - kMessageIdLifetimeSeconds);
  uint32_t pendingLimit = static_cast<uint32_t>(now - kPendingLifetimeSeconds);
  writeFile(data_.file("auto_wlist_msgids.dat"),
            word(2) + text("old") + word(idLimit) + text("young") + word(idLimit + 1));
  writeFile(data_.file("auto_wlist_from_pending.dat"),
            word(2) + text("gone@example.org") + word(5) + word(pendingLimit) +
                text("kept@example.org") + word(5) + word(pendingLimit + 1));
  writeFile(data_.file("auto_wlist_ip_pending.dat"),
            word(1) + std::string("\x01\x02\x03\x04", 4) + word(1) + word(pendingLimit));
  std::string goneLog = autoWhitelistLogPath("gone@example.org", AutoWhiteKind::Sender);
  std::string keptLog = autoWhitelistLogPath("kept@example.org", AutoWhiteKind::Sender);
  std::string relayLog = autoWhitelistLogPath("1.2.3.4", AutoWhiteKind::Relay);
  for (const std::string& path : {goneLog, keptLog, relayLog}) {
    writeFile(path, "log");
  }
  // A log folder with a great many files costs nothing at start-up: only the logs
  // of dropped addresses are touched.
  std::string logs = data_.file("auto_wlist_from_logs/");
  for (int i = 0; i < 100000; ++i) {
    int fd = ::open((logs + "x" + std::to_string(i) + "%40example.org.txt").c_str(),
                    O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }

  LoadAutoWhitelistState(now);
  ASSERT_EQ(countedMessageIds().size(), 1u);
  EXPECT_EQ(countedMessageIds()[0].id, "young");
  ASSERT_EQ(pendingSenders().size(), 1u);
  EXPECT_EQ(pendingSenders()[0].address, "kept@example.org");
  EXPECT_TRUE(pendingRelays().empty());
  EXPECT_FALSE(fileExists(goneLog));
  EXPECT_FALSE(fileExists(relayLog));
  EXPECT_TRUE(fileExists(keptLog));
  EXPECT_EQ(listDirectory(logs, "x").size(), 100000u);

  ASSERT_TRUE(SaveAutoWhitelistState());
  EXPECT_EQ(read("auto_wlist_msgids.dat"), word(1) + text("young") + word(idLimit + 1));
  EXPECT_EQ(read("auto_wlist_ip_pending.dat"), word(0));
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(AutoWhitelistTest, ADamagedStateFileKeepsItsWholeRecordsAndIsKeptAside) {
  load("LOGGING_ENABLED YES\n");
  int64_t now = noonOfDay(10);
  uint32_t recent = static_cast<uint32_t>(noonOfDay(9));
  const std::string whole =
      word(3) + text("a@example.org") + word(4) + word(recent) + text("b@example.org") + word(2);
  writeFile(data_.file("auto_wlist_from_pending.dat"), whole); // cut inside the second record
  writeFile(data_.file("auto_wlist_msgids.dat"), word(1) + text("id") + word(recent) + "junk");
  writeFile(data_.file("auto_wlist_ip_pending.dat"), "\x05");

  LoadAutoWhitelistState(now);
  ASSERT_EQ(pendingSenders().size(), 1u);
  EXPECT_EQ(pendingSenders()[0].count, 4u);
  EXPECT_EQ(countedMessageIds().size(), 1u) << "bytes after the last record are damage too";
  EXPECT_EQ(read("auto_wlist_from_pending.dat.damaged"), whole);
  EXPECT_TRUE(fileExists(data_.file("auto_wlist_ip_pending.dat.damaged")));
  std::vector<Notice> shown = notices_.notifier().notices();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_NE(shown[1].text.find("auto_wlist_from_pending.dat"), std::string::npos);
  EXPECT_NE(shown[1].text.find(" 1 "), std::string::npos) << shown[1].text;
  std::string log = read("log.txt");
  EXPECT_NE(log.find("auto_wlist_msgids.dat.damaged"), std::string::npos) << log;

  ASSERT_TRUE(SaveAutoWhitelistState());
  EXPECT_EQ(read("auto_wlist_from_pending.dat"),
            word(1) + text("a@example.org") + word(4) + word(recent));
  EXPECT_EQ(read("auto_wlist_ip_pending.dat"), word(0));
}

TEST_F(AutoWhitelistTest, AStateFileThatCannotBeWrittenStaysDirtyUntilItCanBe) {
  load();
  countOn(0, {"a@example.org"});
  std::string path = data_.file("auto_wlist_from_pending.dat");
  writeFile(path, "");
  ASSERT_TRUE(setFileMode(path, 0444));
  EXPECT_FALSE(SaveAutoWhitelistState());
  EXPECT_EQ(notices_.notifier().count(), 1u);
  ASSERT_TRUE(setFileMode(path, 0644));
  EXPECT_TRUE(SaveAutoWhitelistState());
  EXPECT_EQ(read("auto_wlist_from_pending.dat").size(), 4u + 14u + 8u);
}

TEST(AutoWhitelistLogNames, EncodeTheCharactersNamesCannotHoldAndDecodeBack) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"friend@example.org", "friend@example.org.txt"},
      {"a 1@x", "a%321@x.txt"},
      {"100%/\\:*?\"<>|", "100%37%47%92%58%42%63%34%60%62%124.txt"},
      {"pipe|7", "pipe%1247.txt"},
      {"192.0.2.10", "192.0.2.10.txt"},
  };
  for (const auto& [address, name] : cases) {
    EXPECT_EQ(encodeLogFileName(address), name);
    EXPECT_EQ(decodeLogFileName(name), address) << name;
    EXPECT_EQ(decodeLogFileName("/some/folder/" + name), address);
  }
  EXPECT_EQ(decodeLogFileName("odd%99%9.dat"), "odd%99%9") << "other codes stay as they are";
}

TEST_F(AutoWhitelistTest, LogFilesStartWithAHeadingAndCollectTheHeadersOfEachCount) {
  load("USE_AUTO_WLIST_FROM_LOGGING YES\nUSE_AUTO_WLIST_IP_LOGGING YES\n");
  countOn(0, {"a b@example.org"}, {ip("192.0.2.7")});
  countOn(0, {"a b@example.org"}); // not counted again: not logged
  countOn(1, {"a b@example.org"});
  std::string path = data_.file("auto_wlist_from_logs/a%32b@example.org.txt");
  std::string log = readFile(path);
  const std::string separator =
      "\n\n--------------------------------------------------------------------------------\n\n\n";
  std::string firstHeaders = "From: Friend <friend@example.org>\r\nSubject: Lunch\r\n"
                             "Message-ID: <1@example.org>\r\n";
  size_t body = log.find(separator);
  ASSERT_NE(body, std::string::npos);
  EXPECT_NE(log.substr(0, body).find("a b@example.org"), std::string::npos) << "the heading";
  EXPECT_EQ(log.substr(body, separator.size() + firstHeaders.size()), separator + firstHeaders);
  EXPECT_NE(log.find("<3@example.org>"), std::string::npos);
  EXPECT_EQ(log.find("<2@example.org>"), std::string::npos);
  EXPECT_TRUE(LogFileExists("a b@example.org", AutoWhiteKind::Sender));
  EXPECT_TRUE(LogFileExists("192.0.2.7", AutoWhiteKind::Relay));
  EXPECT_FALSE(LogFileExists("192.0.2.8", AutoWhiteKind::Relay));
}

TEST_F(AutoWhitelistTest, WhitelistAddressNowPromotesAtOnceAndLeavesThePendingList) {
  load("USE_AUTO_WLIST_FROM_LOGGING YES\n");
  countOn(0, {"rcpt@example.org"});
  ConfigRef held = AcquireConfig();
  WhitelistAddressNow("RCPT@example.org", "To: rcpt@example.org\r\n", *held);
  EXPECT_FALSE(pending("rcpt@example.org"));
  EXPECT_EQ(IsAutoWhiteAddress(*AcquireConfig(), "rcpt@example.org"), "RCPT@example.org");
  EXPECT_EQ(read("auto_wlist_from.dat"), "RCPT@example.org\n");
  EXPECT_NE(readFile(autoWhitelistLogPath("rcpt@example.org", AutoWhiteKind::Sender))
                .find("--\n\n\nTo: rcpt@example.org\r\n"),
            std::string::npos);
  ConfigRef before = AcquireConfig();
  WhitelistAddressNow("rcpt@EXAMPLE.org", "", *held);
  EXPECT_EQ(AcquireConfig(), before) << "an auto-white address makes no new snapshot";
  ASSERT_TRUE(SaveAutoWhitelistState());
  EXPECT_EQ(read("auto_wlist_from_pending.dat"), word(0));
}

TEST_F(AutoWhitelistTest, TheOlderFolderLayoutIsTakenOverAndRemoved) {
  load();
  int64_t now = noonOfDay(30);
  std::string folder = data_.file("auto_wlist_from_pending/");
  ASSERT_TRUE(createDirectory(data_.file("auto_wlist_from_pending")));
  ASSERT_TRUE(createDirectory(data_.file("auto_wlist_ip_pending")));
  writeFile(folder + "old%32one@example.org.dat", "Message-ID: <x1>\r\nMessage-ID: <x2>\r\n");
  writeFile(folder + "old%32one@example.org.txt", "old log");
  writeFile(folder + "kept@example.org.txt", "a newer log is kept");
  writeFile(data_.file("auto_wlist_from_logs/kept@example.org.txt"), "newer");
  writeFile(data_.file("auto_wlist_ip_pending/192.0.2.5.dat"), "<y1>\n");
  writeFile(data_.file("auto_wlist_from_pending.dat"),
            word(1) + text("OLD ONE@example.org") + word(1) +
                word(static_cast<uint32_t>(noonOfDay(29) + 7200)));
  setModified(folder + "old%32one@example.org.dat", noonOfDay(20));
  setModified(data_.file("auto_wlist_ip_pending/192.0.2.5.dat"), noonOfDay(25));

  LoadAutoWhitelistState(now);
  std::optional<PendingSender> merged = pending("OLD ONE@example.org");
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->count, 3u) << "one count from the state file and one per line";
  EXPECT_EQ(merged->lastCounted, noonOfDay(29) + 7200) << "the later time wins";
  ASSERT_EQ(pendingRelays().size(), 1u);
  EXPECT_EQ(pendingRelays()[0].address, ip("192.0.2.5"));
  EXPECT_EQ(pendingRelays()[0].count, 1u);
  EXPECT_EQ(pendingRelays()[0].lastCounted, noonOfDay(25)) << "the file's time";
  for (const CountedMessageId& id : countedMessageIds()) {
    EXPECT_EQ(id.lastSeen, id.id == "<y1>" ? noonOfDay(25) : noonOfDay(20)) << id.id;
  }
  EXPECT_EQ(countedMessageIds().size(), 3u);
  EXPECT_EQ(readFile(data_.file("auto_wlist_from_logs/old%32one@example.org.txt")), "old log");
  EXPECT_EQ(readFile(data_.file("auto_wlist_from_logs/kept@example.org.txt")), "newer");
  EXPECT_FALSE(directoryExists(data_.file("auto_wlist_from_pending")));
  EXPECT_FALSE(directoryExists(data_.file("auto_wlist_ip_pending")));
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

} // namespace
} // namespace km
