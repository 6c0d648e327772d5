#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/lang.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::TempDir;

TEST(OpenFileRetrying, OpensExistingFilesAndKeepsTheErrorOfAFailure) {
  TempDir dir;
  test::writeFile(dir.file("present.txt"), "hello\n");
  File file = openFileRetrying(dir.file("present.txt"), "r");
  ASSERT_TRUE(file);
  char buffer[16] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file.get()), 6u);
  errno = 0;
  EXPECT_FALSE(openFileRetrying(dir.file("missing.txt"), "r"));
  EXPECT_EQ(errno, ENOENT);
  // A directory cannot be opened for writing: no second attempt, the error stays.
  errno = 0;
  EXPECT_FALSE(openFileRetrying(dir.path(), "w"));
  EXPECT_EQ(errno, EISDIR);
}

TEST(CloseFile, ReportsDataThatNeverReachedTheDisk) {
  File full = openFileRetrying("/dev/full", "w");
  ASSERT_TRUE(full);
  std::fputs("this cannot be written", full.get());
  EXPECT_FALSE(closeFile(full));
  EXPECT_FALSE(full);
}

// Replacing a file tells a refused read-only file, a temporary file that could not
// be made and one that could not be written apart; each leaves the file as it was.
TEST(ReplaceFileContents, TellsWhyAFileWasLeftAsItWas) {
  TempDir dir;
  const std::string path = dir.file("settings");
  test::writeFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(replaceFileContents(path, "new", ReadOnlyFiles::LeaveAlone), ReplaceOutcome::ReadOnly);
  EXPECT_EQ(test::readFile(path), "old");
  EXPECT_EQ(replaceFileContents(path, "new", ReadOnlyFiles::Replace), ReplaceOutcome::Replaced);
  EXPECT_EQ(test::readFile(path), "new");
  EXPECT_EQ(fileMode(path).value_or(0), 0444u) << "it stays read-only";

  EXPECT_EQ(replaceFileContents(dir.file("missing/settings"), "x", ReadOnlyFiles::Replace),
            ReplaceOutcome::CannotCreate);

  // Files may not grow past a few bytes, as on a full disk.
  void (*previousSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit tiny = previous;
  tiny.rlim_cur = 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  ReplaceOutcome outcome = replaceFileContents(path, "newer", ReadOnlyFiles::Replace);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &previous), 0);
  std::signal(SIGXFSZ, previousSignal);
  EXPECT_EQ(outcome, ReplaceOutcome::CannotWrite);
  EXPECT_EQ(test::readFile(path), "new");
  EXPECT_EQ(listDirectory(dir.path(), ""), std::vector<std::string>{"settings"})
      << "no temporary file is left";
}

TEST(TemporaryFiles, DeleteOnCloseLeavesNoTraceAndUniqueNamesDiffer) {
  TempDir dir;
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  {
    UniqueFd fd = createDeleteOnCloseFile("kmb");
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(::write(fd.get(), "body", 4), 4);
    EXPECT_TRUE(listDirectory(dir.path(), "kmb").empty());
  }
  ::unsetenv("TMPDIR");
  std::string first;
  std::string second;
  UniqueFd a = createUniqueFile(dir.path(), "log", first);
  UniqueFd b = createUniqueFile(dir.path(), "log", second);
  ASSERT_TRUE(a.valid() && b.valid());
  EXPECT_NE(first, second);
  EXPECT_EQ(listDirectory(dir.path(), "log").size(), 2u);
}

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(instanceLockPath("KestrelmailMutex"), dir.file("KestrelmailMutex"));
  InstanceLock first = InstanceLock::acquire("KestrelmailMutex");
  ASSERT_EQ(first.state(), InstanceLock::State::Owned);
  EXPECT_TRUE(isInstanceLockHeld("KestrelmailMutex"));
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::HeldElsewhere);
  first.release();
  EXPECT_FALSE(isInstanceLockHeld("KestrelmailMutex"));
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::Owned);

  // Without a runtime folder the lock lives in a private temporary folder.
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  std::string path = instanceLockPath("KestrelmailMutex");
  EXPECT_EQ(path.rfind(dir.path() + "kestrelmail-", 0), 0u) << path;
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::Owned);
  ::unsetenv("TMPDIR");
}

using namespace std::chrono_literals;

// Sessions ending together ask for one trim, which waits for the program to be
// idle (or for a long wait while it stays busy) and never follows the last one
// too closely.
TEST(MemoryTrim, RequestsFromManyThreadsMakeOneTrimWhenIdleAndTrimsAreSpacedOut) {
  uint64_t base = tickCountMs();
  uint64_t before = memoryTrimCount();
  EXPECT_FALSE(trimMemoryIfDue(true, base)) << "nothing asked for";
  std::vector<std::thread> sessions;
  for (int i = 0; i < 16; ++i) {
    sessions.emplace_back([] {
      for (int j = 0; j < 100; ++j) {
        requestMemoryTrim();
      }
    });
  }
  for (std::thread& session : sessions) {
    session.join();
  }
  EXPECT_FALSE(trimMemoryIfDue(false, base)) << "sessions still run";
  EXPECT_FALSE(trimMemoryIfDue(true, base)) << "the last threads may still be freeing";
  EXPECT_TRUE(trimMemoryIfDue(true, base + kIdleSettleMs));
  EXPECT_EQ(memoryTrimCount(), before + 1);
  requestMemoryTrim();
  EXPECT_FALSE(trimMemoryIfDue(true, base + kTrimIntervalMs)) << "too soon after the last";
  EXPECT_TRUE(trimMemoryIfDue(true, base + kIdleSettleMs + kTrimIntervalMs));
  EXPECT_FALSE(trimMemoryIfDue(false, base + 2 * kTrimIntervalMs));
  requestMemoryTrim();
  uint64_t asked = tickCountMs();
  uint64_t later = std::max(base + 3 * kTrimIntervalMs, asked + kTrimPatienceMs);
  EXPECT_TRUE(trimMemoryIfDue(false, later)) << "a busy program trims after a long wait";
  EXPECT_EQ(memoryTrimCount(), before + 3);
}

TEST(Event, AutoResetLetsOneWaitThroughManualResetStaysSignalled) {
  Event automatic;
  EXPECT_FALSE(automatic.wait(0ms));
  automatic.set();
  EXPECT_TRUE(automatic.wait(0ms));
  EXPECT_FALSE(automatic.wait(0ms));
  Event manual(Event::Reset::Manual);
  manual.set();
  EXPECT_TRUE(manual.wait(0ms));
  EXPECT_TRUE(manual.wait(0ms));
  manual.reset();
  EXPECT_FALSE(manual.wait(10ms));
}

TEST(StopFlag, RaisingItWakesWaitersOfTheShutdownEvent) {
  ASSERT_FALSE(stopRequested());
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = shutdownEvent().wait(10s); });
  sleepMs(20);
  raiseStopFlag();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(stopRequested());
  EXPECT_TRUE(shutdownEvent().wait(0ms)) << "manual reset: every later waiter sees it";
  lowerStopFlagForTests();
  EXPECT_FALSE(stopRequested());
}

TEST(FormatText, FillsPlaceholdersWithFlagsWidthsAndHex) {
  EXPECT_EQ(formatText("Error %d with file \"%s\": %s", {2, "/tmp/x", "No such file"}),
            "Error 2 with file \"/tmp/x\": No such file");
  EXPECT_EQ(formatText("%u 100%%", {4294967295u}), "4294967295 100%");
  EXPECT_EQ(formatText(" Error code: %#x", {0xc0000005u}), " Error code: 0xc0000005");
  EXPECT_EQ(formatText("[%5d|%-4s|%03d]", {42, "ab", 7}), "[   42|ab  |007]");
  EXPECT_EQ(formatText("%ld and %lu %.2s", {-5L, 6UL, "abcdef"}), "-5 and 6 ab");
}

TEST(FormatText, SurvivesTemplatesThatDoNotMatchTheirArguments) {
  // A template from the string table may ask for more or other arguments than
  // the caller gives: it must never read past them.
  EXPECT_EQ(formatText("%s and %s and %d", {"one"}), "one and  and 0");
  EXPECT_EQ(formatText("%d", {"42abc"}), "42");
  EXPECT_EQ(formatText("%s", {17}), "17");
  EXPECT_EQ(formatText("%n%p", {1, 2}), "%n%p");
  EXPECT_EQ(formatText("trailing %", {}), "trailing %");
  // Widths are capped so a hostile template cannot ask for huge padding.
  EXPECT_LE(formatText("%99999999d", {1}).size(), 1000u);
}

TEST(ReadNumbers, LeadingDigitsClampedAsTheDataFilesNeed) {
  EXPECT_EQ(readInt("  12abc"), 12);
  EXPECT_EQ(readInt("-3"), -3);
  EXPECT_EQ(readInt("abc"), 0);
  EXPECT_EQ(readInt("99999999999999"), 2147483647);
  EXPECT_EQ(readInt("-99999999999999"), -2147483647 - 1);
  EXPECT_EQ(readLong("4294967295"), 4294967295LL);
  EXPECT_DOUBLE_EQ(readDouble("1.6 beta"), 1.6);
  EXPECT_DOUBLE_EQ(readDouble("new"), 0.0);
}

TEST(CaseRules, CompareAsciiIgnoringCaseButNotEightBitBytes) {
  EXPECT_TRUE(equalsIgnoreCase("Kestrelmail_COMPATIBILITY", "KESTRELMAIL_compatibility"));
  EXPECT_FALSE(equalsIgnoreCase("YES", "YES "));
  EXPECT_TRUE(startsWithIgnoreCase("plugin name", "PLUGIN"));
  EXPECT_FALSE(startsWithIgnoreCase("PLUG", "PLUGIN"));
  EXPECT_FALSE(equalsIgnoreCase("\xc4", "\xe4"));
}

TEST(LanguageTable, ReadsIdsTextsAndEscapes) {
  size_t count = loadLanguageTableText("# a comment\n\n10000\tError title\r\n"
                                       "10011\tLine one\\nLine two\\tTabbed \\\\ back\n"
                                       "not a number\tignored\n10150\tEnglish");
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(languageText(10000), "Error title");
  EXPECT_EQ(languageText(10011), "Line one\nLine two\tTabbed \\ back");
  EXPECT_EQ(languageText(10150), "English");
  EXPECT_FALSE(hasLanguageText(12345));
  EXPECT_EQ(languageText(12345), "[text 12345]");
}

TEST(LanguageTable, ShippedTableHasEveryTextTheProgramAsksFor) {
  test::loadShippedLanguageTable();
#define KM_EXPECT_TEXT(name, id) EXPECT_TRUE(hasLanguageText(id)) << #name " (" #id ")";
  KM_TEXT_IDS(KM_EXPECT_TEXT)
#undef KM_EXPECT_TEXT
  EXPECT_EQ(languageText(kTextLanguageName), "English");
}

} // namespace
} // namespace km
