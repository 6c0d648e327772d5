#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "config/data_dir.h"
#include "diag/crash_report.h"
#include "net/thread_records.h"
#include "platform/sync.h"
#include "support/test_support.h"

namespace km {
namespace {

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

TEST_F(FaultGuardDeathTest, AHardwareFaultShowsTheReportAndEndsWithCodeOne) {
  test::TempDir dir;
  EXPECT_EXIT(runGuardedSession(dir.path(), true, [] { std::raise(SIGSEGV); }),
              ::testing::ExitedWithCode(1),
              "Error code: 0xb.*Thread Type: POP3.*Command: RETR 2.*Status: Filtering message");
  std::string saved = test::readFile(dir.file("crash-report.txt"));
  EXPECT_NE(saved.find("Thread Type: POP3"), std::string::npos) << saved;
}

TEST_F(FaultGuardDeathTest, AnEscapingExceptionIsAFaultToo) {
  test::TempDir dir;
  EXPECT_EXIT(runGuardedSession(dir.path(), true, [] { throw std::runtime_error("escaped"); }),
              ::testing::ExitedWithCode(1), "Error code: 0xe0000001");
}

TEST_F(FaultGuardDeathTest, AThreadThatNeverRegisteredReportsNothingRecorded) {
  test::TempDir dir;
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
