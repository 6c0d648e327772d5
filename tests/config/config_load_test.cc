#include <sys/stat.h>
#include <sys/time.h>

#include "config/config_lines.h"
#include "config_fixture.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text_ids.h"
#include "platform/version.h"

namespace km {
namespace {

using test::ConfigTest;

TEST_F(ConfigTest, AFileWithOnlyFirstRunHasEveryOtherSettingAtItsAbsentValue) {
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  const Config fresh;
  EXPECT_TRUE(config->isFirstRun);
  EXPECT_FALSE(config->tagSubject);
  EXPECT_EQ(config->subjectTagString, "**SPAM**");
  EXPECT_TRUE(config->addReasonHeaders);
  EXPECT_TRUE(config->alwaysConfirmExit);
  EXPECT_TRUE(config->useAutoWlistFrom);
  EXPECT_EQ(config->autoWlistFromNumMails, 7);
  EXPECT_EQ(config->autoWlistIpNumMails, 12);
  EXPECT_EQ(config->loggingLevel, LogLevel::Standard);
  EXPECT_EQ(config->logMaxSize, 256);
  EXPECT_EQ(config->logFile, file("log.txt"));
  EXPECT_EQ(config->trayAction, TrayAction::None);
  EXPECT_TRUE(config->informAboutBetas);
  EXPECT_EQ(config->maxDnsblThreads, 25);
  EXPECT_EQ(config->dnsblTimeout, 30);
  EXPECT_EQ(config->dnsblPositivePeriod.a, 2);
  EXPECT_EQ(config->dnsblNegativePeriod.a, 3);
  EXPECT_EQ(config->listenIp, kLoopbackAddress);
  ASSERT_EQ(config->ipAllowList.size(), 1u);
  EXPECT_EQ(config->ipAllowList[0], (Netblock{kLoopbackAddress, kLoopbackAddress}));
  ASSERT_EQ(config->whitelistIp.size(), 3u);
  EXPECT_EQ(config->whitelistIp[1], (Netblock{{172, 16, 0, 0}, {172, 31, 255, 255}}));
  EXPECT_TRUE(config->enabledDnsbl.empty());
  EXPECT_TRUE(config->ports.empty());
  EXPECT_EQ(notifier().count(), 0u);
}

TEST_F(ConfigTest, EachBooleanKeyHasItsOwnRule) {
  ConfigRef config = load("TAG_SUBJECT NO\n"
                          "ALWAYS_CONFIRM_EXIT maybe\n"
                          "ALWAYS_SHOW_POP3_APOP_WARNING no\n"
                          "USE_AUTO_WLIST_FROM yes\n"
                          "USE_AUTO_WLIST_IP TRUE\n"
                          "LOGGING_ENABLED Yes\n"
                          "TAG_LOCATION suffix\n"
                          "ADD_BWLIST_REASON_HEADERS 1\n");
  EXPECT_TRUE(config->tagSubject) << "only FALSE switches tagging off";
  EXPECT_TRUE(config->alwaysConfirmExit) << "only NO switches confirmation off";
  EXPECT_FALSE(config->alwaysShowApopWarning);
  EXPECT_TRUE(config->useAutoWlistFrom);
  EXPECT_FALSE(config->useAutoWlistIp) << "only YES switches it on";
  EXPECT_TRUE(config->loggingEnabled);
  EXPECT_TRUE(config->tagAsSuffix);
  EXPECT_FALSE(config->addReasonHeaders);

  config = load("TAG_SUBJECT false\nALWAYS_CONFIRM_EXIT NO\n");
  EXPECT_FALSE(config->tagSubject);
  EXPECT_FALSE(config->alwaysConfirmExit);
}

TEST_F(ConfigTest, ValuesKeepTheirSpacesAndATabEndsTheLine) {
  ConfigRef config = load("SUBJECT_TAG_STRING [SPAM] \n"
                          "LOGGING_ENABLED\tYES\n"
                          "LOGFILE /var/log/with space/k.log\n");
  EXPECT_EQ(config->subjectTagString, "[SPAM] ");
  EXPECT_FALSE(config->loggingEnabled);
  EXPECT_EQ(config->logFile, "/var/log/with space/k.log");
  EXPECT_NE(read("config.dat").find("SUBJECT_TAG_STRING [SPAM] \n"), std::string::npos);
}

TEST_F(ConfigTest, NumbersAndKeywordsFollowTheirReadingRules) {
  ConfigRef config = load("LOG_MAX_SIZE many\n"
                          "DNSBL_POSITIVE_CACHE_PERIOD 5\n"
                          "DNSBL_NEGATIVE_CACHE_PERIOD 4,7\n"
                          "Kestrelmail_UPDATES_LAST_CHECK 4294967295\n"
                          "LOGGING_LEVEL verbose\n"
                          "LOGGING_LEVEL LOUD\n"
                          "FILTERING_STATS_DAYS 30 days\n");
  EXPECT_EQ(config->logMaxSize, 1) << "no digits: 0, kept within the range";
  EXPECT_EQ(config->dnsblPositivePeriod.a, 5);
  EXPECT_EQ(config->dnsblPositivePeriod.b, 0);
  EXPECT_EQ(config->dnsblNegativePeriod.b, 7);
  EXPECT_EQ(config->programUpdatesLastCheck, 4294967295u);
  EXPECT_EQ(config->loggingLevel, LogLevel::Verbose) << "an unknown level word changes nothing";
  EXPECT_EQ(config->filteringStatsDays, 30);
  std::string saved = read("config.dat");
  EXPECT_NE(saved.find("DNSBL_POSITIVE_CACHE_PERIOD 5,0\n"), std::string::npos);
  EXPECT_NE(saved.find("Kestrelmail_UPDATES_LAST_CHECK 4294967295\n"), std::string::npos);
  EXPECT_NE(saved.find("LOGGING_LEVEL VERBOSE\n"), std::string::npos);
}

TEST_F(ConfigTest, TrayActionFallsBackToTheStatusWindow) {
  EXPECT_EQ(load("TRAY_ACTION options\n")->trayAction, TrayAction::Options);
  EXPECT_EQ(load("TRAY_ACTION NONE\n")->trayAction, TrayAction::None);
  EXPECT_EQ(load("TRAY_ACTION sideways\n")->trayAction, TrayAction::Status);
  // A plug-in that is not enabled cannot be the tray action.
  EXPECT_EQ(load("TRAY_ACTION PLUGIN missing\n")->trayAction, TrayAction::Status);
  EXPECT_NE(read("config.dat").find("TRAY_ACTION STATUS\n"), std::string::npos);
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

// A file in the full format, with settings away from their defaults: loading and
// saving it gives it back byte for byte, in the fixed order of the keys.
const char* kWritten = "VERSION 1\n"
                       "Kestrelmail_COMPATIBILITY 1.52\n\n"
                       "LANGUAGE English\n"
                       "IS_FIRST_RUN NO\n\n"
                       "ALLOW_PORT_SHARING NO\n"
                       "ALWAYS_SHOW_POP3_APOP_WARNING YES\n"
                       "ALWAYS_SHOW_POP3_SASL_WARNING YES\n"
                       "ALWAYS_CONFIRM_EXIT YES\n"
                       "SHOWN_SCATTERER_WARNING NO\n"
                       "SHOWN_PORTAL_WLISTER_WARNING NO\n"
                       "CREATE_DEFAULT_IMAP4_PORT NO\n"
                       "DNSBL SPAMCOP SpamCop BL\n\n\n"
                       "ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n\n"
                       "TAG_SUBJECT TRUE\n"
                       "SUBJECT_TAG_STRING [junk]\n"
                       "X_Kestrelmail_IN_SUBJECT YES\n\n"
                       "TAG_LOCATION SUFFIX\n"
                       "ADD_BWLIST_REASON_HEADERS NO\n"
                       "USE_AUTO_WLIST_FROM YES\n"
                       "AUTO_WLIST_FROM_NUM_MAILS 7\n"
                       "USE_AUTO_WLIST_IP YES\n"
                       "AUTO_WLIST_IP_NUM_MAILS 12\n"
                       "USE_AUTO_WLIST_FROM_LOGGING NO\n"
                       "USE_AUTO_WLIST_IP_LOGGING NO\n\n"
                       "LOGGING_ENABLED NO\n"
                       "LOGFILE /nonexistent/k.log\n"
                       "LOGGING_LEVEL EXTREME\n"
                       "LOG_MAX_SIZE 1024\n\n"
                       "STATUS_WINDOW_AUTO_OPEN NO\n"
                       "STATUS_WINDOW_TOPMOST NO\n"
                       "FILTERING_STATS_DAYS 7\n\n"
                       "TRAY_ACTION NONE\n\n"
                       "SHOW_UPDATES_WINDOW NO\n"
                       "INFORM_ABOUT_NEW_BETAS YES\n"
                       "Kestrelmail_UPDATES_CHECK YES\n"
                       "Kestrelmail_UPDATES_CHECK_INTERVAL 14\n"
                       "Kestrelmail_UPDATES_LAST_CHECK 1760000000\n"
                       "DNSBL_UPDATES_CHECK YES\n"
                       "DNSBL_UPDATES_CHECK_INTERVAL 14\n"
                       "DNSBL_UPDATES_LAST_CHECK 0\n"
                       "KNOWN_PLUGIN_CODE ABC\n"
                       "KNOWN_PLUGIN_CODE def\n"
                       "MAX_DNSBL_THREADS 25\n"
                       "DNSBL_TIME_OUT 30\n"
                       "DNSBL_POSITIVE_CACHE_PERIOD 2,0\n"
                       "DNSBL_NEGATIVE_CACHE_PERIOD 3,0\n"
                       "IP_LISTEN 192.168.1.2\n"
                       "FILTERING_DISABLED YES\n"
                       "AWLIST_FILTERING_DISABLED YES\n\n"
                       "EXTRA_BLIST_IP /etc/kestrel/bl1\n"
                       "EXTRA_BLIST_IP /etc/kestrel/bl2\n\n"
                       "EXTRA_WLIST_FROM /etc/kestrel/friends\n\n"
                       "TLS_VERIFY NO\n"
                       "DNSBL_NAMESERVER 127.0.0.1:5353\n"
                       "DNSBL_UPDATES_SOURCE https://mirror.example/dnsbl.dat\n"
                       "MAX_SESSIONS 40\n"
                       "CLIENT_IDLE_TIME_OUT 120\n"
                       "TIME_OUT_PREVENTION_INTERVAL 10\n";

TEST_F(ConfigTest, AWrittenFileLoadsAndSavesBackByteForByteInItsFixedOrder) {
  ConfigRef config = load(kWritten);
  EXPECT_EQ(read("config.dat"), kWritten);
  ASSERT_TRUE(loadConfigFile());
  EXPECT_EQ(read("config.dat"), kWritten);
  config = AcquireConfig();
  EXPECT_TRUE(config->filteringDisabled);
  EXPECT_EQ(config->extraBlistIpFiles.size(), 2u);
  EXPECT_FALSE(config->tlsVerify);
  EXPECT_EQ(config->dnsblNameserver, "127.0.0.1:5353");
  EXPECT_EQ(config->dnsblUpdatesSource, "https://mirror.example/dnsbl.dat");
  EXPECT_EQ(config->maxSessions, 40);
  EXPECT_EQ(config->clientIdleTimeout, 120);
  EXPECT_EQ(config->preventionInterval, 10);
  EXPECT_EQ(config->listenIp, (Ipv4Address{192, 168, 1, 2}));
  EXPECT_TRUE(isKnownPluginCode("abc"));
  EXPECT_FALSE(isKnownPluginCode("xyz"));
}

TEST_F(ConfigTest, AFailedSaveKeepsTheOldFileAndEndsTheProgram) {
  load("LOG_MAX_SIZE 11\n");
  std::string before = read("config.dat");
  // Something that is not a file stands where the new file would be written.
  ASSERT_TRUE(createDirectory(file("config.dat.new")));
  size_t shown = notifier().count();
  EXPECT_FALSE(saveConfigFile());
  EXPECT_EQ(read("config.dat"), before);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_GE(notifier().count(), shown + 2) << "the error report and the closing message";
}

} // namespace
} // namespace km
