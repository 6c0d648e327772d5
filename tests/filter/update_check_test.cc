#include <dlfcn.h>
#include <gtest/gtest.h>
#include <kestrelmail/updates.h>

#include "config/config.h"
#include "filter/update_check.h"
#include "platform/calendar.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "platform/version.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::writeFile;

constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1796644800;

// The probe library's controls, found in the same loaded copy the program uses.
struct ProbeControls {
  void (*script)(uint32_t, uint32_t, const char*, const char*, const char*);
  void (*hold)(int);
  int (*waitInside)();
  int (*calls)();
  void (*seen)(KmUpdateCheckRequest*, const char**);
  void (*answers)(int32_t*, double*);
};

class UpdateCheckTest : public ::testing::Test {
protected:
  UpdateCheckTest() {
    handle_ = ::dlopen(KESTREL_UPDATE_PROBE, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle_, nullptr) << ::dlerror();
    find(probe_.script, "probeScript");
    find(probe_.hold, "probeHold");
    find(probe_.waitInside, "probeWaitInside");
    find(probe_.calls, "probeCalls");
    find(probe_.seen, "probeSeen");
    find(probe_.answers, "probeAnswers");
    probe_.script(0, 0, nullptr, nullptr, nullptr);
  }
  ~UpdateCheckTest() override {
    waitUntilDone();
    ::dlclose(handle_);
  }

  template <typename Function> void find(Function& function, const char* name) {
    function = reinterpret_cast<Function>(::dlsym(handle_, name));
    ASSERT_NE(function, nullptr) << name;
  }

  ConfigRef load(const std::string& settings) {
    return data_.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n" + settings);
  }

  // Waits until the update thread has ended.
  static void waitUntilDone() {
    ASSERT_TRUE(test::waitUntil([] { return !updateCheckRunning(); }));
  }

  bool checkWithProbe(bool interactive, bool forced, int64_t now = kNow) {
    bool started = startUpdateCheck(interactive, forced, KESTREL_UPDATE_PROBE, now);
    waitUntilDone();
    return started;
  }

  void* handle_ = nullptr;
  ProbeControls probe_{};
  test::DataDirScope data_;
  test::NotifierScope notices_;
};

TEST_F(UpdateCheckTest, AutomaticChecksStartOnlyWhenACheckIsDue) {
  struct Case {
    std::string settings;
    bool forced;
    bool starts;
  };
  const std::string fifteenDaysAgo = std::to_string(kNow - 15 * kDay);
  const std::string fourteenDaysAgo = std::to_string(kNow - 14 * kDay);
  const std::vector<Case> cases = {
      {"Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_CHECK NO\n", false, false},
      {"Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_CHECK NO\n", true, true},
      {"Kestrelmail_UPDATES_CHECK NO\n", false, true}, // never checked before
      {"Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_LAST_CHECK " + fourteenDaysAgo + "\n", false,
       false},
      {"Kestrelmail_UPDATES_CHECK NO\nDNSBL_UPDATES_LAST_CHECK " + fifteenDaysAgo + "\n", false,
       true},
      {"DNSBL_UPDATES_CHECK NO\nKestrelmail_UPDATES_LAST_CHECK " + fourteenDaysAgo +
           "\nKestrelmail_UPDATES_CHECK_INTERVAL 13\n",
       false, true},
  };
  load("");
  EXPECT_FALSE(startUpdateCheck(true, true)) << "no library named by start-up";
  for (const Case& c : cases) {
    load(c.settings);
    int calls = probe_.calls();
    EXPECT_EQ(checkWithProbe(c.forced, c.forced), c.starts) << c.settings << c.forced;
    EXPECT_EQ(probe_.calls(), calls + (c.starts ? 1 : 0))
        << "the library is loaded for a check only";
  }
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(UpdateCheckTest, TheLibraryGetsTheSettingsAndItsTimesAreSaved) {
  ConfigRef config = load("SHOW_UPDATES_WINDOW YES\nINFORM_ABOUT_NEW_BETAS NO\n"
                          "DNSBL_UPDATES_CHECK_INTERVAL 3\nDNSBL_UPDATES_LAST_CHECK 1000\n"
                          "DNSBL_UPDATES_SOURCE http://127.0.0.1:1/defs.dat\n"
                          "TLS_CA_FILE /etc/private-ca.pem\n");
  probe_.script(1796000000, 1796000001, nullptr, nullptr, "CODE-7");
  ASSERT_TRUE(checkWithProbe(true, true));

  KmUpdateCheckRequest seen{};
  const char* texts[4] = {};
  probe_.seen(&seen, texts);
  EXPECT_EQ(seen.interactive, 1);
  EXPECT_EQ(seen.forced, 1);
  EXPECT_STREQ(texts[0], kProgramVersion);
  EXPECT_EQ(texts[1], config->dnsblLastUpdated);
  EXPECT_FALSE(config->dnsblLastUpdated.empty()) << "the shipped definitions have a date";
  EXPECT_STREQ(texts[2], "http://127.0.0.1:1/defs.dat");
  EXPECT_STREQ(texts[3], "/etc/private-ca.pem");
  EXPECT_EQ(seen.showWindow, 1);
  EXPECT_EQ(seen.reportBetas, 0);
  EXPECT_EQ(seen.programCheckOn, 1);
  EXPECT_EQ(seen.dnsblInterval, 3);
  EXPECT_EQ(seen.dnsblLastCheck, 1000u);
  EXPECT_EQ(seen.tlsVerify, 1);
  EXPECT_EQ(seen.timeoutSeconds, 60);
  EXPECT_EQ(seen.languageLibrary, nullptr);

  int32_t answers[4];
  double version = 0;
  probe_.answers(answers, &version);
  EXPECT_EQ(answers[1], 0) << "not known before";
  EXPECT_EQ(answers[2], 1) << "known once added";
  EXPECT_EQ(answers[3], 0) << "not shutting down";
  EXPECT_EQ(version, -1) << "not installed";

  ConfigRef after = AcquireConfig();
  EXPECT_EQ(after->programUpdatesLastCheck, 1796000000u);
  EXPECT_EQ(after->dnsblUpdatesLastCheck, 1796000001u);
  EXPECT_EQ(after->knownPluginCodes, (std::vector<std::string>{"CODE-7"}));
  std::string saved = readFile(data_.file("config.dat"));
  EXPECT_NE(saved.find("DNSBL_UPDATES_LAST_CHECK 1796000001\n"), std::string::npos);
  EXPECT_NE(saved.find("Kestrelmail_UPDATES_LAST_CHECK 1796000000\n"), std::string::npos);
  EXPECT_NE(saved.find("KNOWN_PLUGIN_CODE CODE-7\n"), std::string::npos);
  EXPECT_EQ(config->dnsblUpdatesLastCheck, 1000u) << "held snapshots stay as they were";
}

TEST_F(UpdateCheckTest, ACheckThatLearntNothingLeavesConfigDatAlone) {
  load("DNSBL_UPDATES_LAST_CHECK 5\nKestrelmail_UPDATES_LAST_CHECK 6\n");
  const std::string handEdited = "CREATE_DEFAULT_IMAP4_PORT NO\nMAX_SESSIONS 7\n";
  writeFile(data_.file("config.dat"), handEdited);
  probe_.script(6, 5, nullptr, nullptr, nullptr);
  ASSERT_TRUE(checkWithProbe(true, true));
  // The edit is read after the check, and kept.
  EXPECT_NE(readFile(data_.file("config.dat")).find("\nMAX_SESSIONS 7\n"), std::string::npos);
  EXPECT_EQ(AcquireConfig()->maxSessions, 7);
}

TEST_F(UpdateCheckTest, OneCheckRunsAtATime) {
  load("");
  int calls = probe_.calls();
  // Sessions of earlier tests may still be ending.
  test::waitUntil([] { return runningSessionCount() == 0; });
  probe_.hold(1);
  ASSERT_TRUE(startUpdateCheck(false, false, KESTREL_UPDATE_PROBE, kNow));
  ASSERT_TRUE(probe_.waitInside());
  EXPECT_TRUE(updateCheckRunning());
  EXPECT_EQ(runningSessionCount(), 0) << "a check is no session: it takes no session's place";
  EXPECT_FALSE(startUpdateCheck(true, true, KESTREL_UPDATE_PROBE, kNow));
  probe_.hold(0);
  waitUntilDone();
  EXPECT_EQ(probe_.calls(), calls + 1);
}

TEST_F(UpdateCheckTest, DefinitionsStoredByTheLibraryAreInTheNextSnapshot) {
  load("");
  ConfigRef before = AcquireConfig();
  ASSERT_LT(before->dnsblLastUpdated, "2099-01-01");
  std::string definitions = "REVISION 99991231\n\nLIST NEWLIST\nNAME New list\nZONE new.example\n";
  probe_.script(1, 2, "2099-01-01", definitions.c_str(), nullptr);
  ASSERT_TRUE(checkWithProbe(false, true));
  int32_t answers[4];
  double version;
  probe_.answers(answers, &version);
  EXPECT_EQ(answers[0], 1);
  EXPECT_EQ(readFile(data_.file("dnsbl.dat")), "LAST_UPDATED 2099-01-01\n\n" + definitions);

  ConfigRef after = AcquireConfig();
  EXPECT_EQ(after->dnsblLastUpdated, "2099-01-01");
  ASSERT_EQ(after->dnsblLists.size(), 1u);
  EXPECT_EQ(after->dnsblLists[0].key, "NEWLIST");
  EXPECT_NE(before->dnsblLists.size(), 1u);
}

// Older offers and the times of checks are covered by the library's own tests and
// the probe's; this is the real library storing through the program.
TEST_F(UpdateCheckTest, OurLibraryStoresNewerDefinitionsFromAFileInTheNextSnapshot) {
  load("DNSBL_UPDATES_SOURCE " + data_.file("offered.dat") + "\n");
  writeFile(data_.file("offered.dat"),
            "LAST_UPDATED 2099-01-01\nREVISION 99991231\nLIST NEWER\nZONE newer.example\n");
  ASSERT_TRUE(startUpdateCheck(false, true, KESTREL_UPDATES_LIBRARY, currentUnixTime()));
  waitUntilDone();
  ConfigRef after = AcquireConfig();
  EXPECT_EQ(after->dnsblLastUpdated, "2099-01-01");
  ASSERT_EQ(after->dnsblLists.size(), 1u);
  EXPECT_EQ(after->dnsblLists[0].key, "NEWER");
}

TEST_F(UpdateCheckTest, AMissingLibraryOrEntryPointIsToldAndNothingIsSaved) {
  load("DNSBL_UPDATES_LAST_CHECK 5\n");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {data_.file("no-such-library.so"), "Unable to load updates.so!"},
      {"libc.so.6", "Cannot find checkForUpdates!"},
  };
  for (const auto& [library, text] : cases) {
    ASSERT_TRUE(startUpdateCheck(true, true, library, kNow));
    waitUntilDone();
    std::vector<Notice> shown = notices_.notifier().notices();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().title, "Error from Kestrelmail");
    EXPECT_EQ(shown.back().text, text);
    EXPECT_EQ(shown.back().icon, NoticeIcon::Stop);
    EXPECT_EQ(AcquireConfig()->dnsblUpdatesLastCheck, 5u);
  }
}

} // namespace
} // namespace km
