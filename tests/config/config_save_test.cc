#include "config_fixture.h"
#include "platform/files.h"

namespace km {
namespace {

using test::ConfigTest;

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
                       "DNSBL_NAMESERVER 127.0.0.1:5353\n";

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
