#include <regex>
#include <thread>

#include "diag/activity_log.h"
#include "log_fixture.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {
namespace {

using test::LogTest;

const std::regex kStamped(R"(^\d\d:\d\d:\d\d \d\d/\d\d/\d\d )");

bool stamped(const std::string& line) {
  return std::regex_search(line, kStamped);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST_F(LogTest, WithLoggingOffSessionsTouchNoFile) {
  ConfigRef config = configure("LOGGING_ENABLED NO\n");
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *config);
  EXPECT_FALSE(log.active());
  logMessageLine(log, deferred, 0, "ignored %d", {1});
  logSessionText(log, 0, kTextReportTitle);
  endSessionLog(log);
  EXPECT_TRUE(listDirectory(data_.file("activity-logs"), "").empty());
  EXPECT_FALSE(fileExists(data_.file("log.txt")));
}

TEST_F(LogTest, ASessionIsAppendedInOnePieceAndItsFileRemoved) {
  ConfigRef config = AcquireConfig();
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *config);
  ASSERT_TRUE(log.active());
  EXPECT_EQ(listDirectory(data_.file("activity-logs"), "log").size(), 1u);

  logMessageLine(log, deferred, LOG_STANDARD, "RETR %d: %s", {3, "clean"});
  logMessageLine(log, deferred, LOG_VERBOSE, "too detailed");
  logMessageLine(log, deferred, LOG_MINIMAL, "\r\nraw block");
  EXPECT_FALSE(fileExists(data_.file("log.txt"))) << "nothing reaches the main log before the end";
  endSessionLog(log);

  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 4u) << mainLog();
  EXPECT_TRUE(stamped(lines[0]));
  EXPECT_NE(lines[0].find("RETR 3: clean"), std::string::npos);
  EXPECT_EQ(lines[1], "") << "a literal line starting with CR LF has no time stamp";
  EXPECT_EQ(lines[2], "raw block");
  EXPECT_EQ(lines[3], "") << "each session ends with an empty line";
  EXPECT_TRUE(listDirectory(data_.file("activity-logs"), "log").empty());
  EXPECT_FALSE(log.active());
}

TEST_F(LogTest, FormatsFromTheStringTableAreAlwaysTimeStamped) {
  loadLanguageTableText("20004\t\\r\\n%s: %s\n");
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *AcquireConfig());
  logMessageText(log, deferred, 0, kTextLogTitleAndMessage, {"A", "B"});
  logMessageLine(log, deferred, 0, "\r\n%s: %s", {"C", "D"});
  endSessionLog(log);
  test::loadShippedLanguageTable();
  std::string text = mainLog();
  EXPECT_TRUE(stamped(text)) << text;
  EXPECT_NE(text.find(" \r\nA: B\r\n\r\nC: D\r\n"), std::string::npos) << text;
}

TEST_F(LogTest, DeferredLinesPrecedeTheNextDirectLine) {
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *AcquireConfig());
  deferred.deferLines = true;
  logMessageLine(log, deferred, 0, "first");
  logMessageLine(log, deferred, 0, "second");
  EXPECT_EQ(deferred.lines.size(), 2u);
  deferred.deferLines = false;
  logMessageLine(log, deferred, 0, "third");
  EXPECT_TRUE(deferred.lines.empty());
  endSessionLog(log);
  std::string text = mainLog();
  size_t first = text.find("first");
  size_t second = text.find("second");
  size_t third = text.find("third");
  ASSERT_NE(third, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
}

TEST_F(LogTest, LongTextsAreCutAtTheLineLimit) {
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *AcquireConfig());
  logMessageLine(log, deferred, 0, "%s", {std::string(5000, 'x')});
  endSessionLog(log);
  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), logTimeStamp().size() + kMaxLogText);
}

TEST_F(LogTest, ConcurrentSessionsAppearAsUnbrokenBlocks) {
  ConfigRef config = configure("LOGGING_ENABLED YES\nLOG_MAX_SIZE 4096\n");
  auto session = [&](const std::string& name) {
    SessionLog log;
    DeferredLog deferred;
    startSessionLog(log, *config);
    for (int i = 0; i < 300; ++i) {
      logMessageLine(log, deferred, 0, "%s line %d", {name, i});
    }
    endSessionLog(log);
  };
  std::thread a(session, "alpha");
  std::thread b(session, "bravo");
  a.join();
  b.join();

  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 602u);
  // Each block: 300 lines of one session in order, then an empty line.
  for (size_t block = 0; block < 2; ++block) {
    std::string name = lines[block * 301].find("alpha") != std::string::npos ? "alpha" : "bravo";
    for (int i = 0; i < 300; ++i) {
      EXPECT_NE(lines[block * 301 + i].find(name + " line " + std::to_string(i)),
                std::string::npos);
    }
    EXPECT_EQ(lines[block * 301 + 300], "");
  }
}

TEST_F(LogTest, TheMainLogIsTrimmedWhenASessionEnds) {
  ConfigRef config = configure("LOGGING_ENABLED YES\nLOG_MAX_SIZE 1\n");
  std::string old;
  for (int i = 0; i < 400; ++i) {
    old += "old line " + std::to_string(i) + "\r\n";
  }
  test::writeFile(data_.file("log.txt"), old);
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *config);
  logMessageLine(log, deferred, 0, "newest");
  endSessionLog(log);
  std::string text = mainLog();
  EXPECT_LE(text.size(), 1024u);
  EXPECT_NE(text.find("newest"), std::string::npos);
  EXPECT_EQ(text.rfind("old line", 0), 0u) << "the kept part starts at a line";
}

TEST_F(LogTest, OrphanedSessionFilesAreMergedWithANote) {
  test::writeFile(data_.file("activity-logs/logAAAAAA"), "from a crashed session\r\n");
  test::writeFile(data_.file("activity-logs/logBBBBBB"), "another one\r\n");
  test::writeFile(data_.file("activity-logs/unrelated"), "keep me");
  mergeOrphanedSessionLogs();
  std::string text = mainLog();
  const std::string& note = languageText(kTextLogRecoveredNote);
  EXPECT_NE(text.find("from a crashed session\r\n" + note), std::string::npos);
  EXPECT_NE(text.find("another one\r\n" + note), std::string::npos);
  EXPECT_FALSE(fileExists(data_.file("activity-logs/logAAAAAA")));
  EXPECT_TRUE(fileExists(data_.file("activity-logs/unrelated")));
}

TEST_F(LogTest, GlobalLinesGoStraightToTheMainLog) {
  logGlobalText(LOG_MINIMAL, kTextReportTitle);
  logGlobalText(LOG_EXTREME, kTextNoticeTitle);
  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(stamped(lines[0]));
  EXPECT_NE(lines[0].find(languageText(kTextReportTitle)), std::string::npos);

  configure("LOGGING_ENABLED NO\n");
  logGlobalText(LOG_MINIMAL, kTextReportTitle);
  EXPECT_EQ(splitLines(mainLog()).size(), 1u);
}

TEST_F(LogTest, AMainLogThatCannotBeWrittenIsShownNotFatal) {
  configure("LOGGING_ENABLED YES\nLOGFILE " + data_.file("activity-logs") + "\n");
  size_t before = notifier_.notifier().count();
  logGlobalText(LOG_MINIMAL, kTextReportTitle);
  ASSERT_EQ(notifier_.notifier().count(), before + 1);
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_NE(shown.text.find(data_.file("activity-logs")), std::string::npos);
  EXPECT_EQ(shown.icon, NoticeIcon::Exclamation);
}

TEST_F(LogTest, ASessionWhoseMergeFailsKeepsItsFileForTheNextStart) {
  ConfigRef config =
      configure("LOGGING_ENABLED YES\nLOGFILE " + data_.file("nodir/log.txt") + "\n");
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, *config);
  logMessageLine(log, deferred, 0, "kept for later");
  endSessionLog(log);
  std::vector<std::string> left = listDirectory(data_.file("activity-logs"), "log");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(test::readFile(data_.file("activity-logs/" + left[0])).find("kept for later"),
            std::string::npos);
}

} // namespace
} // namespace km
