#include "config_fixture.h"
#include "platform/files.h"

namespace km {
namespace {

using test::ConfigTest;

TEST_F(ConfigTest, TheFileIsWrittenInItsFixedOrder) {
  Config config;
  config.logFile = "/home/u/.config/Kestrelmail/log.txt";
  config.isFirstRun = true;
  config.tagSubject = true;
  config.programUpdatesLastCheck = 1760000000;
  config.knownPluginCodes = {"K1"};
  config.extraWlistIpFiles = {"/a"};
  config.extraBlistFromFiles = {"/b", "/c"};
  config.filteringDisabled = true;
  config.listenIp = {192, 168, 1, 2};
  config.loggingLevel = 9;
  EXPECT_EQ(formatConfigFile(config), "VERSION 1\n"
                                      "Kestrelmail_COMPATIBILITY 1.52\n"
                                      "\n"
                                      "LANGUAGE English\n"
                                      "IS_FIRST_RUN YES\n"
                                      "\n"
                                      "ALLOW_PORT_SHARING NO\n"
                                      "ALWAYS_SHOW_POP3_APOP_WARNING YES\n"
                                      "ALWAYS_SHOW_POP3_SASL_WARNING YES\n"
                                      "ALWAYS_CONFIRM_EXIT YES\n"
                                      "SHOWN_SCATTERER_WARNING NO\n"
                                      "SHOWN_PORTAL_WLISTER_WARNING NO\n"
                                      "CREATE_DEFAULT_IMAP4_PORT NO\n"
                                      "\n"
                                      "\n"
                                      "ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n"
                                      "\n"
                                      "TAG_SUBJECT TRUE\n"
                                      "SUBJECT_TAG_STRING **SPAM**\n"
                                      "X_Kestrelmail_IN_SUBJECT NO\n"
                                      "\n"
                                      "TAG_LOCATION PREFIX\n"
                                      "ADD_BWLIST_REASON_HEADERS YES\n"
                                      "USE_AUTO_WLIST_FROM YES\n"
                                      "AUTO_WLIST_FROM_NUM_MAILS 7\n"
                                      "USE_AUTO_WLIST_IP YES\n"
                                      "AUTO_WLIST_IP_NUM_MAILS 12\n"
                                      "USE_AUTO_WLIST_FROM_LOGGING NO\n"
                                      "USE_AUTO_WLIST_IP_LOGGING NO\n"
                                      "\n"
                                      "LOGGING_ENABLED NO\n"
                                      "LOGFILE /home/u/.config/Kestrelmail/log.txt\n"
                                      "LOGGING_LEVEL UNKNOWN\n"
                                      "LOG_MAX_SIZE 256\n"
                                      "\n"
                                      "STATUS_WINDOW_AUTO_OPEN NO\n"
                                      "STATUS_WINDOW_TOPMOST NO\n"
                                      "FILTERING_STATS_DAYS 7\n"
                                      "\n"
                                      "TRAY_ACTION NONE\n"
                                      "\n"
                                      "SHOW_UPDATES_WINDOW NO\n"
                                      "INFORM_ABOUT_NEW_BETAS YES\n"
                                      "Kestrelmail_UPDATES_CHECK YES\n"
                                      "Kestrelmail_UPDATES_CHECK_INTERVAL 14\n"
                                      "Kestrelmail_UPDATES_LAST_CHECK 1760000000\n"
                                      "DNSBL_UPDATES_CHECK YES\n"
                                      "DNSBL_UPDATES_CHECK_INTERVAL 14\n"
                                      "DNSBL_UPDATES_LAST_CHECK 0\n"
                                      "KNOWN_PLUGIN_CODE K1\n"
                                      "MAX_DNSBL_THREADS 25\n"
                                      "DNSBL_TIME_OUT 30\n"
                                      "DNSBL_POSITIVE_CACHE_PERIOD 2,0\n"
                                      "DNSBL_NEGATIVE_CACHE_PERIOD 3,0\n"
                                      "IP_LISTEN 192.168.1.2\n"
                                      "FILTERING_DISABLED YES\n"
                                      "\n"
                                      "EXTRA_WLIST_IP /a\n"
                                      "\n"
                                      "EXTRA_BLIST_FROM /b\n"
                                      "EXTRA_BLIST_FROM /c\n"
                                      "\n");
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
