#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include "config/data_dir.h"
#include "diag/activity_log.h"
#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "diag/repeated_notices.h"
#include "log_fixture.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/sync.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::LogTest;

bool stamped(const std::string& line) {
  static const std::regex kStamped(R"(^\d\d:\d\d:\d\d \d\d/\d\d/\d\d )");
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

// One session that logs through `body` and ends.
void session(const Config& config, const std::function<void(SessionLog&, DeferredLog&)>& body) {
  SessionLog log;
  DeferredLog deferred;
  startSessionLog(log, logSettingsOf(config));
  body(log, deferred);
  endSessionLog(log);
}

TEST_F(LogTest, WithLoggingOffSessionsTouchNoFile) {
  session(*configure("LOGGING_ENABLED NO\n"), [](SessionLog& log, DeferredLog& deferred) {
    EXPECT_FALSE(log.active());
    logMessageLine(log, deferred, LogLevel::Minimal, "ignored %d", {1});
    logSessionText(log, LogLevel::Minimal, kTextReportTitle);
  });
  EXPECT_TRUE(listDirectory(data_.file("activity-logs"), "").empty());
  EXPECT_FALSE(fileExists(data_.file("log.txt")));
}

TEST_F(LogTest, ASessionIsAppendedInOnePieceAtItsEndAndItsFileRemoved) {
  session(*AcquireConfig(), [&](SessionLog& log, DeferredLog& deferred) {
    ASSERT_TRUE(log.active());
    EXPECT_EQ(listDirectory(data_.file("activity-logs"), "log").size(), 1u);
    logMessageLine(log, deferred, LogLevel::Standard, "RETR %d: %s", {3, "clean"});
    logMessageLine(log, deferred, LogLevel::Verbose, "too detailed");
    logMessageLine(log, deferred, LogLevel::Minimal, "\r\nraw block");
    logMessageLine(log, deferred, LogLevel::Minimal, "%s", {std::string(5000, 'x')});
    EXPECT_FALSE(fileExists(data_.file("log.txt")))
        << "nothing reaches the main log before the end";
  });
  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 5u) << mainLog();
  EXPECT_TRUE(stamped(lines[0]));
  EXPECT_NE(lines[0].find("RETR 3: clean"), std::string::npos);
  EXPECT_EQ(lines[1], "") << "a literal line starting with CR LF has no time stamp";
  EXPECT_EQ(lines[2], "raw block");
  EXPECT_EQ(lines[3].size(), logTimeStamp().size() + kMaxLogText) << "cut at the line limit";
  EXPECT_EQ(lines[4], "") << "each session ends with an empty line";
  EXPECT_TRUE(listDirectory(data_.file("activity-logs"), "log").empty());
}

TEST_F(LogTest, FormatsFromTheStringTableAreAlwaysTimeStampedAndDeferredLinesComeFirst) {
  loadLanguageTableText("20004\t\\r\\n%s: %s\n");
  session(*AcquireConfig(), [](SessionLog& log, DeferredLog& deferred) {
    logMessageText(log, deferred, LogLevel::Minimal, kTextLogTitleAndMessage, {"A", "B"});
    logMessageLine(log, deferred, LogLevel::Minimal, "\r\n%s: %s", {"C", "D"});
    deferred.deferLines = true;
    logMessageLine(log, deferred, LogLevel::Minimal, "first");
    logMessageLine(log, deferred, LogLevel::Minimal, "second");
    EXPECT_EQ(deferred.lines.size(), 2u);
    deferred.deferLines = false;
    logMessageLine(log, deferred, LogLevel::Minimal, "third");
    EXPECT_TRUE(deferred.lines.empty());
  });
  test::loadShippedLanguageTable();
  std::string text = mainLog();
  EXPECT_TRUE(stamped(text)) << text;
  EXPECT_NE(text.find(" \r\nA: B\r\n\r\nC: D\r\n"), std::string::npos) << text;
  EXPECT_LT(text.find("first"), text.find("second"));
  EXPECT_LT(text.find("second"), text.find("third"));
}

TEST_F(LogTest, ConcurrentSessionsAppearAsUnbrokenBlocks) {
  ConfigRef config = configure("LOGGING_ENABLED YES\nLOG_MAX_SIZE 4096\n");
  auto run = [&](const std::string& name) {
    session(*config, [&](SessionLog& log, DeferredLog& deferred) {
      for (int i = 0; i < 300; ++i) {
        logMessageLine(log, deferred, LogLevel::Minimal, "%s line %d", {name, i});
      }
    });
  };
  std::thread a(run, "alpha");
  std::thread b(run, "bravo");
  a.join();
  b.join();
  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 602u);
  // Each block: 300 lines of one session in order, then an empty line.
  for (size_t block = 0; block < 2; ++block) {
    std::string name = lines[block * 301].find("alpha") != std::string::npos ? "alpha" : "bravo";
    for (size_t i = 0; i < 300; ++i) {
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
  session(*config, [](SessionLog& log, DeferredLog& deferred) {
    logMessageLine(log, deferred, LogLevel::Minimal, "newest");
  });
  std::string text = mainLog();
  EXPECT_LE(text.size(), 1024u);
  EXPECT_NE(text.find("newest"), std::string::npos);
  EXPECT_EQ(text.rfind("old line", 0), 0u) << "the kept part starts at a line";
}

TEST(TrimLogFile, KeepsTheLastBytesFromALineStartAcrossChunks) {
  std::string lines;
  for (int i = 0; i < 5000; ++i) {
    lines += "line " + std::to_string(i) + " of the activity log\r\n";
  }
  const std::string noLineFeed = "short\n" + std::string(5000, 'x');
  for (const auto& [original, limit] :
       std::initializer_list<std::pair<std::string, int64_t>>{{lines, 1024},
                                                              {lines, 70000},
                                                              {lines.substr(0, 90), 1024},
                                                              {lines.substr(0, 90), 90},
                                                              {lines.substr(0, 90), 0},
                                                              {noLineFeed, 1024}}) {
    test::TempDir dir;
    test::writeFile(dir.file("log"), original);
    int fd = ::open(dir.file("log").c_str(), O_RDWR);
    EXPECT_TRUE(trimLogFile(fd, limit));
    ::close(fd);
    std::string kept = test::readFile(dir.file("log"));
    if (static_cast<int64_t>(original.size()) <= limit || original == noLineFeed) {
      EXPECT_EQ(kept, original == noLineFeed ? "" : original)
          << "within the limit: untouched; a tail without a line feed: cut to nothing";
      continue;
    }
    EXPECT_LE(static_cast<int64_t>(kept.size()), limit);
    EXPECT_GT(static_cast<int64_t>(kept.size()), limit - 100);
    EXPECT_EQ(original.substr(original.size() - kept.size()), kept);
    if (!kept.empty()) {
      EXPECT_EQ(original[original.size() - kept.size() - 1], '\n');
    }
  }
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

TEST_F(LogTest, GlobalLinesGoStraightToTheMainLogAndAnUnwritableOneIsShown) {
  logGlobalText(LogLevel::Minimal, kTextReportTitle);
  logGlobalText(LogLevel::Extreme, kTextNoticeTitle);
  std::vector<std::string> lines = splitLines(mainLog());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(stamped(lines[0]));
  EXPECT_NE(lines[0].find(languageText(kTextReportTitle)), std::string::npos);

  configure("LOGGING_ENABLED YES\nLOGFILE " + data_.file("activity-logs") + "\n");
  size_t before = notifier_.notifier().count();
  logGlobalText(LogLevel::Minimal, kTextReportTitle);
  ASSERT_EQ(notifier_.notifier().count(), before + 1) << "not fatal: shown";
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_NE(shown.text.find(data_.file("activity-logs")), std::string::npos);
  EXPECT_EQ(shown.icon, NoticeIcon::Exclamation);
}

TEST_F(LogTest, ASessionWhoseMergeFailsKeepsItsFileForTheNextStart) {
  ConfigRef config =
      configure("LOGGING_ENABLED YES\nLOGFILE " + data_.file("nodir/log.txt") + "\n");
  session(*config, [](SessionLog& log, DeferredLog& deferred) {
    logMessageLine(log, deferred, LogLevel::Minimal, "kept for later");
  });
  std::vector<std::string> left = listDirectory(data_.file("activity-logs"), "log");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(test::readFile(data_.file("activity-logs/" + left[0])).find("kept for later"),
            std::string::npos);
}

TEST_F(LogTest, SystemErrorsAreShownAndLoggedWithNumberPathAndText) {
  errno = ECONNREFUSED;
  reportSystemError("", nullptr);
  Notice shown = notifier_.notifier().notices().back();
  EXPECT_EQ(shown.text, errorText(ECONNREFUSED));
  EXPECT_EQ(shown.title, languageText(kTextReportTitle));
  EXPECT_EQ(shown.icon, NoticeIcon::Exclamation);
  EXPECT_NE(mainLog().find(shown.title + ": " + shown.text), std::string::npos);

  errno = ENOENT;
  reportSystemError("/data/blist_ip.dat", nullptr);
  EXPECT_EQ(notifier_.notifier().notices().back().text,
            "Error " + std::to_string(ENOENT) +
                " with file \"/data/blist_ip.dat\": " + errorText(ENOENT));

  errno = ENOSPC;
  reportRuntimeError("", nullptr);
  shown = notifier_.notifier().notices().back();
  EXPECT_EQ(shown.icon, NoticeIcon::Stop);
  EXPECT_EQ(shown.text, errorText(ENOSPC) + " (file: \"unknown\")");
  EXPECT_NE(mainLog().find(shown.text), std::string::npos);

  // A report for a session goes to that session's log, which comes whole at its end.
  session(*AcquireConfig(), [&](SessionLog& log, DeferredLog&) {
    errno = EACCES;
    reportSystemError("/x", &log);
    EXPECT_EQ(mainLog().find("\"/x\""), std::string::npos);
  });
  EXPECT_NE(mainLog().find("\"/x\""), std::string::npos);
}

ThreadRecord recordWith(const char* type, const char* command, const char* status) {
  ThreadRecord record;
  record.threadId = 4242;
  record.sessionHandle = 7;
  record.errorCode = 0xb;
  std::snprintf(record.threadType, sizeof record.threadType, "%s", type);
  std::snprintf(record.command, sizeof record.command, "%s", command);
  std::snprintf(record.status, sizeof record.status, "%s", status);
  return record;
}

std::string report(const ThreadRecord* record) {
  char text[2048];
  formatCrashReport(text, sizeof text, record);
  return text;
}

TEST(RepeatedNotices, TheFirstOfAKindIsGivenTheRestCountedAndSummedUpWhenTheWindowPasses) {
  setRepeatWindowForTests(100);
  std::vector<std::pair<std::string, int64_t>> summaries;
  auto give = [&](const std::string& kind) {
    return giveOnceThenCount(
        kind, [&summaries, kind](int64_t repeats) { summaries.emplace_back(kind, repeats); });
  };
  EXPECT_TRUE(give("refused:110"));
  EXPECT_TRUE(give("refused:143")) << "another kind has a window of its own";
  EXPECT_FALSE(give("refused:110"));
  EXPECT_FALSE(give("refused:110"));
  flushRepeatedNotices();
  EXPECT_TRUE(summaries.empty()) << "the window is still open";
  sleepMs(120);
  EXPECT_TRUE(give("refused:110")) << "a new window, after the summary";
  ASSERT_EQ(summaries.size(), 1u) << "a kind that never repeated needs no summary";
  EXPECT_EQ(summaries[0], std::make_pair(std::string("refused:110"), int64_t{2}));
  EXPECT_FALSE(give("refused:110"));
  flushRepeatedNotices(true);
  EXPECT_EQ(summaries.size(), 2u);
  setRepeatWindowForTests(0);
}

TEST(CrashReport, DetailsComeFromTheThreadsRecordInTheCallersBuffer) {
  ThreadRecord record = recordWith("POP3", "RETR 1", "Filtering");
  EXPECT_EQ(report(&record), " Error code: 0xb\r\n\r\n Thread Type: POP3\r\n Command: RETR 1\r\n"
                             " Status: Filtering\r\n\r\n Session handle: 7\r\n"
                             " Thread Handle: 4242\r\n");
  EXPECT_EQ(report(nullptr), "Nothing recorded");
  EXPECT_EQ(crashReportFor(999999), "Nothing recorded");
  // The report fits the caller's buffer.
  char small[16];
  EXPECT_EQ(formatCrashReport(small, sizeof small, &record), 15u);
  EXPECT_EQ(small[15], '\0');
}

TEST(CrashReport, APluginCallIsNamedOutermostFirst) {
  ThreadRecord record = recordWith("IMAP4", "FETCH", "Filtering");
  std::snprintf(record.pluginName, sizeof record.pluginName, "bayes");
  std::snprintf(record.pluginFunction, sizeof record.pluginFunction, "filterOnMessageBody");
  record.pluginDepth = 1;
  EXPECT_EQ(report(&record).rfind(" Plugin: bayes (filterOnMessageBody)\r\n\r\n Error code:", 0),
            0u);
  record.pluginDepth = 3;
  EXPECT_EQ(report(&record).rfind(" Plugin: unknown (3 plugin calls below a call to bayes "
                                  "(filterOnMessageBody))\r\n\r\n Error code:",
                                  0),
            0u);
}

// The fault guard ends the whole process, so these run in a forked child; the
// session thread starts only in the child, so the fork copies a single thread.
class FaultGuardDeathTest : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }

  // Starts a guarded session thread that runs `fault` and waits for the end.
  static void runGuardedSession(const std::string& dataDir, bool registered,
                                std::function<void()> fault) {
    test::loadShippedLanguageTable();
    chooseDataDirectory(dataDir, true);
    installFaultHandlers();
    std::thread session([&] {
      runWithFaultGuard([&] {
        if (registered) {
          registerThread("POP3");
          setThreadCommand("RETR 2");
          setThreadStatus("Filtering message");
        }
        fault();
      });
    });
    session.join();
    std::exit(0); // not reached when the guard works
  }
};

TEST_F(FaultGuardDeathTest, AFaultInASessionShowsTheReportAndEndsWithCodeOne) {
  test::TempDir dir;
  EXPECT_EXIT(runGuardedSession(dir.path(), true, [] { std::raise(SIGSEGV); }),
              ::testing::ExitedWithCode(1),
              "Error code: 0xb.*Thread Type: POP3.*Command: RETR 2.*Status: Filtering message");
  std::string saved = test::readFile(dir.file("crash-report.txt"));
  EXPECT_NE(saved.find("Thread Type: POP3"), std::string::npos) << saved;
  // An escaping exception is a fault too; a thread without a record has nothing to say.
  EXPECT_EXIT(runGuardedSession(dir.path(), true, [] { throw std::runtime_error("escaped"); }),
              ::testing::ExitedWithCode(1), "Error code: 0xe0000001");
  EXPECT_EXIT(runGuardedSession(dir.path(), false, [] { std::raise(SIGFPE); }),
              ::testing::ExitedWithCode(1), "Nothing recorded");
}

// A DNSBL query thread shows its own fatal message, not the session crash report.
TEST_F(FaultGuardDeathTest, ADnsblQueryThreadFaultShowsItsOwnFatalMessage) {
  test::TempDir dir;
  auto runGuardedWorker = [&dir](std::function<void()> fault) {
    chooseDataDirectory(dir.path(), true);
    installFaultHandlers();
    std::thread worker([&] {
      runWithDnsblFaultGuard([&] {
        registerThread("DNSBL query thread");
        fault();
      });
    });
    worker.join();
    std::exit(0);
  };
  EXPECT_EXIT(runGuardedWorker([] { std::raise(SIGSEGV); }), ::testing::ExitedWithCode(1),
              "Fatal Error from Kestrelmail: Oh dear; Kestrelmail seems to have crashed \\(error "
              "0xb\\) during a DNSBL query thread\\.  Please contact the Kestrelmail developers");
  EXPECT_EXIT(runGuardedWorker([] { throw std::runtime_error("escaped"); }),
              ::testing::ExitedWithCode(1), "\\(error 0xe0000001\\).*Kestrelmail must now exit\\.");
  EXPECT_FALSE(std::filesystem::exists(dir.file("crash-report.txt")));
}

TEST(FaultGuard, ABodyThatEndsNormallyLeavesTheThreadAsItWas) {
  stack_t before{};
  ASSERT_EQ(::sigaltstack(nullptr, &before), 0);
  bool ran = false;
  stack_t during{};
  runWithFaultGuard([&] {
    ran = true;
    ::sigaltstack(nullptr, &during);
  });
  EXPECT_TRUE(ran);
  EXPECT_NE(during.ss_sp, before.ss_sp) << "the body runs with the guard's own stack";
  stack_t after{};
  ASSERT_EQ(::sigaltstack(nullptr, &after), 0);
  EXPECT_EQ(after.ss_sp, before.ss_sp) << "the guard's alternate stack is gone";
  EXPECT_EQ(after.ss_flags & SS_DISABLE, before.ss_flags & SS_DISABLE);
}

} // namespace
} // namespace km
