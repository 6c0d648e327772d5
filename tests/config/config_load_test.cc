#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

#include "config/config_lines.h"
#include "config_fixture.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/text_ids.h"
#include "platform/version.h"

namespace km {
namespace {

using test::ConfigTest;

TEST_F(ConfigTest, AFileWithOnlyFirstRunHasEveryOtherSettingAtItsAbsentValue) {
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  Config absent;
  absent.isFirstRun = true;
  absent.logFile = file("log.txt");
  EXPECT_EQ(config->logFile, absent.logFile);
  EXPECT_EQ(formatConfigFile(*config), formatConfigFile(absent)) << "every written setting";
  ASSERT_EQ(config->ipAllowList.size(), 1u);
  EXPECT_EQ(config->ipAllowList[0], (Netblock{kLoopbackAddress, kLoopbackAddress}));
  ASSERT_EQ(config->whitelistIp.size(), 3u);
  EXPECT_EQ(config->whitelistIp[1], (Netblock{{172, 16, 0, 0}, {172, 31, 255, 255}}));
  EXPECT_TRUE(config->enabledDnsbl.empty());
  EXPECT_TRUE(config->ports.empty());
  EXPECT_EQ(notifier().count(), 0u);
}

// Each key's reading rule, seen in the line the load writes back: the words that
// switch each flag, values kept as they stand up to the first control byte,
// numbers as their leading digits kept within their ranges, keywords that fall
// back or change nothing.
TEST_F(ConfigTest, EachKeyIsReadByItsRuleAndKeptInItsRange) {
  struct Case {
    const char* read;
    const char* written;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"TAG_SUBJECT NO", "TAG_SUBJECT TRUE"}, // only FALSE switches tagging off
           {"TAG_SUBJECT false", "TAG_SUBJECT FALSE"},
           {"ALWAYS_CONFIRM_EXIT maybe", "ALWAYS_CONFIRM_EXIT YES"}, // only NO switches it off
           {"ALWAYS_CONFIRM_EXIT NO", "ALWAYS_CONFIRM_EXIT NO"},
           {"ALWAYS_SHOW_POP3_APOP_WARNING no", "ALWAYS_SHOW_POP3_APOP_WARNING NO"},
           {"USE_AUTO_WLIST_IP TRUE", "USE_AUTO_WLIST_IP NO"}, // only YES switches it on
           {"LOGGING_ENABLED Yes", "LOGGING_ENABLED YES"},
           {"LOGGING_ENABLED\tYES", "LOGGING_ENABLED NO"}, // a TAB ends the line
           {"TAG_LOCATION suffix", "TAG_LOCATION SUFFIX"},
           {"ADD_BWLIST_REASON_HEADERS 1", "ADD_BWLIST_REASON_HEADERS NO"},
           {"ALLOW_PORT_SHARING YES\nALLOW_PORT_SHARING NO", "ALLOW_PORT_SHARING YES"},
           {"SUBJECT_TAG_STRING [SPAM] ", "SUBJECT_TAG_STRING [SPAM] "},
           {"LOGFILE /var/log/with space/k.log", "LOGFILE /var/log/with space/k.log"},
           {"LOGGING_LEVEL verbose\nLOGGING_LEVEL LOUD", "LOGGING_LEVEL VERBOSE"},
           {"TRAY_ACTION options", "TRAY_ACTION OPTIONS"},
           {"TRAY_ACTION NONE", "TRAY_ACTION NONE"},
           {"TRAY_ACTION sideways", "TRAY_ACTION STATUS"},
           // A plug-in that is not enabled cannot be the tray action.
           {"TRAY_ACTION PLUGIN missing", "TRAY_ACTION STATUS"},
           {"LOG_MAX_SIZE many", "LOG_MAX_SIZE 1"},
           {"LOG_MAX_SIZE -1",
            "LOG_MAX_SIZE 1"},                   // read with its sign, it crashed every session end
           {"LOG_MAX_SIZE 0", "LOG_MAX_SIZE 1"}, // and this emptied the log
           {"LOG_MAX_SIZE 99999999999999999999", "LOG_MAX_SIZE 1048576"},
           {"LOG_MAX_SIZE 512 KB", "LOG_MAX_SIZE 512"},
           {"MAX_DNSBL_THREADS 0", "MAX_DNSBL_THREADS 1"}, // every lookup would time out
           {"MAX_DNSBL_THREADS 100000", "MAX_DNSBL_THREADS 200"},
           {"DNSBL_TIME_OUT -5", "DNSBL_TIME_OUT 1"},
           {"AUTO_WLIST_FROM_NUM_MAILS +3", "AUTO_WLIST_FROM_NUM_MAILS 1"},
           {"FILTERING_STATS_DAYS  30 days", "FILTERING_STATS_DAYS 30"},
           {"Kestrelmail_UPDATES_LAST_CHECK -1", "Kestrelmail_UPDATES_LAST_CHECK 0"},
           {"Kestrelmail_UPDATES_LAST_CHECK 4294967295",
            "Kestrelmail_UPDATES_LAST_CHECK 4294967295"},
           {"DNSBL_POSITIVE_CACHE_PERIOD 5", "DNSBL_POSITIVE_CACHE_PERIOD 5,0"},
           {"DNSBL_NEGATIVE_CACHE_PERIOD 4,7", "DNSBL_NEGATIVE_CACHE_PERIOD 4,7"},
           {"DNSBL_POSITIVE_CACHE_PERIOD -2,-3", "DNSBL_POSITIVE_CACHE_PERIOD 0,0"},
           {"DNSBL_POSITIVE_CACHE_PERIOD 9999,99999", "DNSBL_POSITIVE_CACHE_PERIOD 3650,8760"},
           {"PORT 21l0", "PORT 21"},
           {"PORT 99999", "PORT 65535"},
           {"PORT 2110\nPORT_POP3_DEFAULT_BODY_FILTERING_K_RETR -64",
            "PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR 0"},
           {"MAX_SESSIONS 99999999", "MAX_SESSIONS 100000"},
           {"CLIENT_IDLE_TIME_OUT 90000", "CLIENT_IDLE_TIME_OUT 86400"},
           {"TIME_OUT_PREVENTION_INTERVAL 0", "TIME_OUT_PREVENTION_INTERVAL 1"},
           {"WEB_INTERFACE_PORT 70000", "WEB_INTERFACE_PORT 65535"}}) {
    load(std::string("CREATE_DEFAULT_IMAP4_PORT NO\n") + c.read + "\n");
    EXPECT_NE(read("config.dat").find("\n" + std::string(c.written) + "\n"), std::string::npos)
        << c.read;
  }
}

TEST_F(ConfigTest, ANewerVersionAsksAndOnlyAnAcceptedOneIsRewritten) {
  load(std::string("Kestrelmail_COMPATIBILITY ") + kProgramVersion +
       "\nCREATE_DEFAULT_IMAP4_PORT NO\n");
  load("Kestrelmail_COMPATIBILITY not-a-number\nCREATE_DEFAULT_IMAP4_PORT NO\n");
  EXPECT_EQ(notifier().count(), 0u) << "compatible versions are accepted silently";

  notifier().answerNext(NoticeAnswer::Ok);
  EXPECT_EQ(load("Kestrelmail_COMPATIBILITY 1.6\nLOG_MAX_SIZE 9\nNEWER_KEY "
                 "dropped\nCREATE_DEFAULT_IMAP4_PORT NO\n")
                ->logMaxSize,
            9);
  EXPECT_FALSE(quitMessagePosted());
  EXPECT_NE(read("config.dat").find("Kestrelmail_COMPATIBILITY 1.52\n"), std::string::npos);
  EXPECT_EQ(read("config.dat").find("NEWER_KEY"), std::string::npos);

  const std::string newer =
      "Kestrelmail_COMPATIBILITY 1.6\nCREATE_DEFAULT_IMAP4_PORT NO\nNEWER_KEY kept\n";
  notifier().answerNext(NoticeAnswer::Cancel);
  load(newer);
  ASSERT_EQ(notifier().count(), 2u);
  Notice asked = notifier().notices()[1];
  EXPECT_EQ(asked.buttons, NoticeButtons::OkCancel);
  EXPECT_NE(asked.text.find("1.6"), std::string::npos);
  EXPECT_NE(asked.text.find(kProgramVersion), std::string::npos);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_EQ(read("config.dat"), newer) << "declining must not rewrite the newer file";
}

TEST_F(ConfigTest, OlderKeysMoveIntoTheirFilesAndTheFileIsRewritten) {
  write("wlist_ip.dat", "192.0.2.0/24\n");
  ConfigRef config = load("WLIST_IP 198.51.100.7\n"
                          "BLIST_FROM spam@example.net\n"
                          "STATUS_WINDOW_X 120\n"
                          "STATUS_COL_WIDTH_USER 80\n"
                          "AUTO_WLIST_IP 203.0.113.5\n"
                          "AUTO_WLIST_FROM friend@example.org\n"
                          "USE_AUTO_WLIST_LOGGING YES\n"
                          "TRAY_OPENS_STATUS NO\n");
  EXPECT_EQ(read("wlist_ip.dat"), "192.0.2.0/24\n198.51.100.7\n");
  EXPECT_EQ(read("blist_email.dat"), "spam@example.net\n");
  EXPECT_EQ(read("status_win_pos.dat"), "STATUS_WINDOW_X 120\nSTATUS_COL_WIDTH_USER 80\n");
  EXPECT_TRUE(config->autoWlistFromLogging);
  EXPECT_TRUE(config->autoWlistIpLogging);
  EXPECT_EQ(config->trayAction, TrayAction::Options);
  ASSERT_EQ(config->autoWlistIp.size(), 1u);
  EXPECT_EQ(config->autoWlistIp[0], (Ipv4Address{203, 0, 113, 5}));
  ASSERT_EQ(config->autoWlistFrom.size(), 1u);
  EXPECT_EQ(read("auto_wlist_ip.dat"), "203.0.113.5\n");
  EXPECT_EQ(read("auto_wlist_from.dat"), "friend@example.org\n");

  std::string saved = read("config.dat");
  EXPECT_EQ(saved.find("WLIST_IP 198"), std::string::npos);
  EXPECT_EQ(saved.find("STATUS_WINDOW_X"), std::string::npos);
  EXPECT_NE(saved.find("USE_AUTO_WLIST_FROM_LOGGING YES\n"), std::string::npos);
  EXPECT_NE(saved.find("TRAY_ACTION OPTIONS\n"), std::string::npos);
}

TEST_F(ConfigTest, AnUnknownDnsblKeyIsReportedOnceAndDropped) {
  ConfigRef config = load("DNSBL NOSUCH No Such List\nDNSBL BARE\nIS_FIRST_RUN YES\n");
  EXPECT_TRUE(config->enabledDnsbl.empty());
  std::vector<Notice> shown = notices();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_NE(shown[0].text.find("\"No Such List\""), std::string::npos);
  EXPECT_NE(shown[1].text.find("\"BARE\""), std::string::npos) << "no name: the whole value";
  EXPECT_EQ(read("config.dat").find("NOSUCH"), std::string::npos);

  // The rewritten file loads without a message.
  loadConfigFile();
  EXPECT_EQ(notifier().count(), 2u);
}

TEST_F(ConfigTest, APluginThatIsNotInstalledIsDroppedAfterOneMessage) {
  ConfigRef config =
      load("ENABLED_PLUGIN gone Gone Plugin 1.0\nKNOWN_INSTALLED_PLUGIN gone\nIS_FIRST_RUN YES\n"
           "ANNOUNCE_NEW_INSTALLED_PLUGINS NO\n");
  EXPECT_TRUE(config->enabledPlugins.empty());
  ASSERT_EQ(config->knownInstalled.size(), 1u);
  EXPECT_EQ(config->knownInstalled[0], -1);
  ASSERT_EQ(notifier().count(), 1u);
  EXPECT_NE(notices()[0].text.find("\"Gone Plugin 1.0\""), std::string::npos);
  EXPECT_EQ(read("config.dat").find("ENABLED_PLUGIN gone"), std::string::npos);
  EXPECT_NE(read("config.dat").find("ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n"), std::string::npos)
      << "announcements are always written back on";
}

TEST_F(ConfigTest, AFileWrittenUnderAnotherLanguageFetchesDefinitionsAgain) {
  ConfigRef config = load("LANGUAGE Deutsch\nDNSBL_UPDATES_LAST_CHECK 1700000000\n");
  EXPECT_EQ(config->dnsblUpdatesLastCheck, 0u);
  EXPECT_NE(read("config.dat").find("LANGUAGE English\n"), std::string::npos);

  config = load("language ENGLISH\nDNSBL_UPDATES_LAST_CHECK 1700000000\n");
  EXPECT_EQ(config->dnsblUpdatesLastCheck, 1700000000u);
}

TEST_F(ConfigTest, HostileFilesLoadEverySettingThatCanBeRead) {
  std::string hostile;
  hostile += "LOG_MAX_SIZE 77\n";
  hostile += std::string(10000, 'A') + "\n";
  for (int i = 0; i < 3000; ++i) {
    hostile += static_cast<char>((i * 37) % 256);
  }
  hostile += "\nSUBJECT_TAG_STRING ok\n";
  hostile += std::string("\0\0\0", 3) + "garbage" + std::string(500, '\xff') + "\n";
  hostile += "TAG_SUBJECT FALSE"; // truncated: no line end
  ConfigRef config = load(hostile);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->logMaxSize, 77);
  EXPECT_EQ(config->subjectTagString, "ok");
  EXPECT_FALSE(config->tagSubject);

  // Nothing but line ends, or nothing at all.
  EXPECT_TRUE(load(std::string(100000, '\n')));
  EXPECT_TRUE(load(""));
}

void setModified(const std::string& path, int64_t secondsFromNow) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  timeval times[2] = {now, now};
  times[0].tv_sec += secondsFromNow;
  times[1].tv_sec += secondsFromNow;
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

TEST_F(ConfigTest, HotReloadFollowsChangedFilesButNotItsOwnWrites) {
  write("blist_ip.dat", "192.0.2.1\n");
  setModified(file("blist_ip.dat"), -60);
  ConfigRef session = load("LOG_MAX_SIZE 5\nEXTRA_WLIST_FROM " + file("extra_friends") + "\n");
  write("extra_friends", "a@example.org\n");
  setModified(file("extra_friends"), -60);

  // The load saved config.dat itself: that write is no change.
  EXPECT_FALSE(reloadIfConfigChanged());
  EXPECT_EQ(AcquireConfig(), session);

  setModified(file("blist_ip.dat"), 5);
  EXPECT_TRUE(reloadIfConfigChanged());
  ConfigRef fresh = AcquireConfig();
  EXPECT_NE(fresh, session);
  // The session that held the old snapshot keeps it, intact, to its end.
  EXPECT_EQ(session->logMaxSize, 5);
  EXPECT_EQ(session.use_count(), 1);

  setModified(file("blist_ip.dat"), -60);
  EXPECT_FALSE(reloadIfConfigChanged());
  setModified(file("extra_friends"), 5);
  EXPECT_TRUE(reloadIfConfigChanged());

  // A hand edit of config.dat counts.
  write("config.dat", "LOG_MAX_SIZE 6\n");
  setModified(file("config.dat"), 5);
  EXPECT_TRUE(reloadIfConfigChanged());
  EXPECT_EQ(AcquireConfig()->logMaxSize, 6);

  // A file that cannot be opened counts as unchanged.
  ::unlink(file("extra_friends").c_str());
  EXPECT_FALSE(reloadIfConfigChanged());
}

TEST_F(ConfigTest, AConfigurationThatCannotBeReadOrCreatedEndsTheProgram) {
  chooseDataDirectory(file("no/such/dir"), true);
  EXPECT_FALSE(loadConfigFile());
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_FALSE(AcquireConfig());
  bool toldUser = false;
  for (const Notice& notice : notices()) {
    toldUser = toldUser || notice.text == languageText(kTextConfigUnreadable);
  }
  EXPECT_TRUE(toldUser);
}

TEST_F(ConfigTest, AChangeMakesANewSnapshotAndLeavesTheHeldOneAsItWas) {
  ConfigRef held = load("LOG_MAX_SIZE 11\n");
  ConfigStatus changed = updateConfig([](Config& config) {
    config.logMaxSize = 12;
    config.alwaysConfirmExit = false;
  });
  EXPECT_TRUE(changed);
  EXPECT_EQ(held->logMaxSize, 11) << "a session keeps the snapshot it holds";
  EXPECT_TRUE(held->alwaysConfirmExit);
  ConfigRef current = AcquireConfig();
  EXPECT_NE(current, held);
  EXPECT_EQ(current->logMaxSize, 12);
  EXPECT_NE(read("config.dat").find("LOG_MAX_SIZE 12\n"), std::string::npos);
  EXPECT_NE(read("config.dat").find("ALWAYS_CONFIRM_EXIT NO\n"), std::string::npos);
  EXPECT_FALSE(reloadIfConfigChanged()) << "its own write is no change to reload";

  releaseCurrentConfig();
  bool edited = false;
  EXPECT_EQ(updateConfig([&](Config&) { edited = true; }).trouble, ConfigTrouble::NotLoaded);
  EXPECT_FALSE(edited);
}

TEST_F(ConfigTest, TroubleIsTheApplicationsToDecideOn) {
  // Without the application's handlers nothing ends and the load tells nobody
  // (the file error itself still goes through the error report).
  setConfigHandlers({});
  chooseDataDirectory(file("no/such/dir"), true);
  EXPECT_EQ(loadConfigFile().trouble, ConfigTrouble::CannotCreate);
  EXPECT_FALSE(quitMessagePosted());
  for (const Notice& notice : notices()) {
    EXPECT_NE(notice.text, languageText(kTextConfigUnreadable));
  }

  std::vector<ConfigTrouble> told;
  setConfigHandlers({nullptr, [&](ConfigTrouble trouble) {
                       told.push_back(trouble);
                     }});
  EXPECT_FALSE(loadConfigFile());
  EXPECT_EQ(told, std::vector<ConfigTrouble>{ConfigTrouble::CannotCreate});
  EXPECT_FALSE(quitMessagePosted()) << "this handler chose to go on";
}

TEST(ReadConfigLine, LongLinesComeInPiecesAndAnyControlByteEndsTheText) {
  test::TempDir dir;
  static const char kText[] =
      "LOGGING_ENABLED\tYES\nKEY a\0b\nCR\r\nTAG \xab SPAM \xbb\nLAST no end";
  test::writeFile(dir.file("f"),
                  std::string(2000, 'a') + "\n" + std::string(kText, sizeof kText - 1));
  FILE* file = std::fopen(dir.file("f").c_str(), "r");
  std::vector<std::string> lines;
  for (std::string line; readConfigLine(file, line);) {
    lines.push_back(line);
  }
  std::fclose(file);
  EXPECT_EQ(lines, (std::vector<std::string>{std::string(1023, 'a'), std::string(977, 'a'),
                                             "LOGGING_ENABLED", "KEY a", "CR", "TAG \xab SPAM \xbb",
                                             "LAST no end"}));
  KeyValue entry = splitKeyValue("SUBJECT_TAG_STRING  [spam] ");
  EXPECT_EQ(entry.key, "SUBJECT_TAG_STRING");
  EXPECT_EQ(entry.value, " [spam] ");
}

// Blocks a save one way until the object goes.
class SaveBlocker {
public:
  virtual ~SaveBlocker() = default;
};

// The data folder takes no new file (as an ordinary user: root may write anywhere).
class FolderRefusesNewFiles : public SaveBlocker {
public:
  explicit FolderRefusesNewFiles(std::string folder) : folder_(std::move(folder)) {
    EXPECT_EQ(::chmod(folder_.c_str(), 0555), 0);
    if (asRoot_) {
      EXPECT_EQ(::seteuid(65534), 0);
    }
  }
  ~FolderRefusesNewFiles() override {
    if (asRoot_) {
      EXPECT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(::chmod(folder_.c_str(), 0700), 0);
  }

private:
  std::string folder_;
  bool asRoot_ = ::geteuid() == 0;
};

// Files may not grow past a few bytes, as on a full disk.
class DiskAlmostFull : public SaveBlocker {
public:
  DiskAlmostFull() : previousSignal_(std::signal(SIGXFSZ, SIG_IGN)) {
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &previous_), 0);
    rlimit tiny = previous_;
    tiny.rlim_cur = 16;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  }
  ~DiskAlmostFull() override {
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &previous_), 0);
    std::signal(SIGXFSZ, previousSignal_);
  }

private:
  void (*previousSignal_)(int);
  rlimit previous_{};
};

// A failed save leaves the old file as it was, byte for byte, and no new file
// beside it, and says how it failed: without a new file the program cannot keep
// its settings and ends (after the error report and the closing message); a new
// file that could not be written is reported and the program goes on.
TEST_F(ConfigTest, AFailedSaveKeepsTheOldFileAndEndsTheProgram) {
  struct Case {
    const char* what;
    std::function<std::unique_ptr<SaveBlocker>()> block;
    ConfigTrouble trouble;
    bool quits;
    size_t notices;
  };
  const std::string folder = file("");
  for (const Case& c : std::initializer_list<Case>{
           {"no new file", [&] { return std::make_unique<FolderRefusesNewFiles>(folder); },
            ConfigTrouble::CannotCreateNewFile, true, 2},
           {"disk full", [] { return std::make_unique<DiskAlmostFull>(); },
            ConfigTrouble::CannotWriteNewFile, false, 1}}) {
    load("LOG_MAX_SIZE 11\n");
    closeMainLoop();
    const std::string before = read("config.dat");
    size_t shown = notifier().count();
    ConfigStatus saved;
    {
      std::unique_ptr<SaveBlocker> blocked = c.block();
      saved = updateConfig([](Config& config) { config.logMaxSize = 12; });
    }
    EXPECT_EQ(saved.trouble, c.trouble) << c.what;
    EXPECT_EQ(read("config.dat"), before) << c.what;
    EXPECT_TRUE(listDirectory(folder, ".config.dat").empty()) << c.what;
    EXPECT_EQ(quitMessagePosted(), c.quits) << c.what;
    EXPECT_EQ(notifier().count(), shown + c.notices) << c.what;
  }
}

} // namespace
} // namespace km
