// The bytes config.dat is written with: every key in its fixed place, for a
// snapshot with every setting away from its default and for the defaults.
#include "config/plugin_table.h"
#include "config_fixture.h"

namespace km {
namespace {

using test::ConfigTest;

const char* goldenPluginName() {
  return "Golden Plug 2.0";
}

PortConfig port(int32_t listen, PortType type, std::string server) {
  PortConfig made;
  made.listenPort = listen;
  made.type = type;
  made.serverName = std::move(server);
  return made;
}

// Every global setting differs from the value of a file that names no key.
Config everySettingChanged(int plugin) {
  Config c;
  c.isFirstRun = true;
  c.filteringDisabled = true;
  c.extraWlistIpFiles = {"/w/ip1", "/w/ip2"};
  c.extraWlistFromFiles = {"/w/from"};
  c.extraBlistIpFiles = {"/b/ip"};
  c.extraBlistFromFiles = {"/b/from"};
  c.enabledPlugins = {enabledPlugin(plugin)};
  c.ports = {port(2110, PortType::Pop3Specific, "pop.example"),
             port(2525, PortType::SmtpSpecific, "smtp.example")};
  c.ports[1].smtp.localEmailFile = "port2525_permissions_email.txt";
  c.ports[1].smtp.localIpFile = "port2525_permissions_ip.txt";
  c.allowPortSharing = true;
  c.listenIp = {192, 0, 2, 9};
  c.dnsblLists.resize(2);
  c.dnsblLists[0].key = "ONE";
  c.dnsblLists[0].name = "List One";
  c.dnsblLists[1].key = "TWO";
  c.dnsblLists[1].name = "List Two";
  c.enabledDnsbl = {1, 0};
  c.maxDnsblThreads = 40;
  c.awlistFilteringDisabled = true;
  c.autoWlistFromLogging = true;
  c.useAutoWlistFrom = false;
  c.autoWlistFromNumMails = 3;
  c.autoWlistIpLogging = true;
  c.useAutoWlistIp = false;
  c.autoWlistIpNumMails = 4;
  c.tagSubject = true;
  c.subjectTagString = "[junk] ";
  c.verdictInSubject = true;
  c.tagAsSuffix = true;
  c.addReasonHeaders = false;
  c.alwaysShowApopWarning = false;
  c.alwaysShowSaslWarning = false;
  c.alwaysConfirmExit = false;
  c.shownScattererWarning = true;
  c.shownPortalWarning = true;
  c.statusWindowAutoOpen = true;
  c.statusWindowTopmost = true;
  c.filteringStatsDays = 30;
  c.loggingEnabled = true;
  c.loggingLevel = LogLevel::Extreme;
  c.logFile = "/var/log/k.log";
  c.logMaxSize = 1024;
  c.trayAction = TrayAction::Plugin;
  c.trayPlugin = plugin;
  c.showUpdatesWindow = true;
  c.informAboutBetas = false;
  c.programUpdatesCheck = false;
  c.programUpdatesLastCheck = 4294967295u;
  c.programUpdatesInterval = 7;
  c.dnsblUpdatesCheck = false;
  c.dnsblUpdatesLastCheck = 1760000000u;
  c.dnsblUpdatesInterval = 30;
  c.knownPluginCodes = {"ABC", "def"};
  c.dnsblUpdatesSource = "https://mirror.example/d.dat";
  c.dnsblTimeout = 45;
  c.dnsblPositivePeriod = {5, 6};
  c.dnsblNegativePeriod = {7, 8};
  c.tlsVerify = false;
  c.tlsCaFile = "/etc/ca.pem";
  c.dnsblNameserver = "127.0.0.1:5353";
  c.maxSessions = 40;
  c.clientIdleTimeout = 120;
  c.preventionInterval = 10;
  c.webInterfacePort = 9111;
  return c;
}

// What today's program writes, byte for byte: for a snapshot with the values of a
// file that names no key, and for everySettingChanged().
const char* const kDefaultsWritten = "VERSION 1\n"
                                     "Kestrelmail_COMPATIBILITY 1.52\n\n"
                                     "LANGUAGE English\n"
                                     "IS_FIRST_RUN NO\n\n"
                                     "ALLOW_PORT_SHARING NO\n"
                                     "ALWAYS_SHOW_POP3_APOP_WARNING YES\n"
                                     "ALWAYS_SHOW_POP3_SASL_WARNING YES\n"
                                     "ALWAYS_CONFIRM_EXIT YES\n"
                                     "SHOWN_SCATTERER_WARNING NO\n"
                                     "SHOWN_PORTAL_WLISTER_WARNING NO\n"
                                     "CREATE_DEFAULT_IMAP4_PORT NO\n\n\n"
                                     "ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n\n"
                                     "TAG_SUBJECT FALSE\n"
                                     "SUBJECT_TAG_STRING **SPAM**\n"
                                     "X_Kestrelmail_IN_SUBJECT NO\n\n"
                                     "TAG_LOCATION PREFIX\n"
                                     "ADD_BWLIST_REASON_HEADERS YES\n"
                                     "USE_AUTO_WLIST_FROM YES\n"
                                     "AUTO_WLIST_FROM_NUM_MAILS 7\n"
                                     "USE_AUTO_WLIST_IP YES\n"
                                     "AUTO_WLIST_IP_NUM_MAILS 12\n"
                                     "USE_AUTO_WLIST_FROM_LOGGING NO\n"
                                     "USE_AUTO_WLIST_IP_LOGGING NO\n\n"
                                     "LOGGING_ENABLED NO\n"
                                     "LOGFILE \n"
                                     "LOGGING_LEVEL STANDARD\n"
                                     "LOG_MAX_SIZE 256\n\n"
                                     "STATUS_WINDOW_AUTO_OPEN NO\n"
                                     "STATUS_WINDOW_TOPMOST NO\n"
                                     "FILTERING_STATS_DAYS 7\n\n"
                                     "TRAY_ACTION NONE\n\n"
                                     "SHOW_UPDATES_WINDOW NO\n"
                                     "INFORM_ABOUT_NEW_BETAS YES\n"
                                     "Kestrelmail_UPDATES_CHECK YES\n"
                                     "Kestrelmail_UPDATES_CHECK_INTERVAL 14\n"
                                     "Kestrelmail_UPDATES_LAST_CHECK 0\n"
                                     "DNSBL_UPDATES_CHECK YES\n"
                                     "DNSBL_UPDATES_CHECK_INTERVAL 14\n"
                                     "DNSBL_UPDATES_LAST_CHECK 0\n"
                                     "MAX_DNSBL_THREADS 25\n"
                                     "DNSBL_TIME_OUT 30\n"
                                     "DNSBL_POSITIVE_CACHE_PERIOD 2,0\n"
                                     "DNSBL_NEGATIVE_CACHE_PERIOD 3,0\n"
                                     "IP_LISTEN 127.0.0.1\n\n";

const char* const kEverySettingWritten =
    "VERSION 1\n"
    "Kestrelmail_COMPATIBILITY 1.52\n\n"
    "LANGUAGE English\n"
    "IS_FIRST_RUN YES\n\n"
    "PORT 2110\n"
    "PORT_TYPE POP3_SPECIFIC\n"
    "PORT_POP3_SUPPRESS_CLIENT_ERRORS NO\n"
    "PORT_POP3_MUTE_CONNECTION_ERRORS NO\n"
    "PORT_POP3_SERVERNAME pop.example\n"
    "PORT_POP3_DEFAULT_BODY_FILTERING_K_TOP 4\n"
    "PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR 64\n"
    "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n"
    "PORT 2525\n"
    "PORT_TYPE SMTP_SPECIFIC\n"
    "PORT_SMTP_SERVERNAME smtp.example\n"
    "PORT_SMTP_MUTE_CONNECTION_ERRORS NO\n"
    "PORT_SMTP_AWLIST_RCPT_TO NO\n"
    "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME NO\n"
    "PORT_SMTP_REJECT_ON_MAIL_FROM NO\n"
    "PORT_SMTP_REJECT_ON_ORIGINATING_IP NO\n"
    "PORT_SMTP_ADD_RECEIVIED_HEADER NO\n"
    "PORT_SMTP_USE_FILTERING NO\n"
    "PORT_SMTP_DEFAULT_BODY_FILTERING_K 64\n"
    "PORT_SMTP_LOCAL_EMAIL_LEAFNAME port2525_permissions_email.txt\n"
    "PORT_SMTP_LOCAL_IP_LEAFNAME port2525_permissions_ip.txt\n"
    "PORT_SMTP_PERMIT_ALL_AUTHENTICATED_RELAYING NO\n"
    "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n"
    "ALLOW_PORT_SHARING YES\n"
    "ALWAYS_SHOW_POP3_APOP_WARNING NO\n"
    "ALWAYS_SHOW_POP3_SASL_WARNING NO\n"
    "ALWAYS_CONFIRM_EXIT NO\n"
    "SHOWN_SCATTERER_WARNING YES\n"
    "SHOWN_PORTAL_WLISTER_WARNING YES\n"
    "CREATE_DEFAULT_IMAP4_PORT NO\n"
    "DNSBL TWO List Two\n"
    "DNSBL ONE List One\n\n"
    "ENABLED_PLUGIN golden Golden Plug 2.0\n\n"
    "KNOWN_INSTALLED_PLUGIN golden\n"
    "ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n\n"
    "TAG_SUBJECT TRUE\n"
    "SUBJECT_TAG_STRING [junk] \n"
    "X_Kestrelmail_IN_SUBJECT YES\n\n"
    "TAG_LOCATION SUFFIX\n"
    "ADD_BWLIST_REASON_HEADERS NO\n"
    "USE_AUTO_WLIST_FROM NO\n"
    "AUTO_WLIST_FROM_NUM_MAILS 3\n"
    "USE_AUTO_WLIST_IP NO\n"
    "AUTO_WLIST_IP_NUM_MAILS 4\n"
    "USE_AUTO_WLIST_FROM_LOGGING YES\n"
    "USE_AUTO_WLIST_IP_LOGGING YES\n\n"
    "LOGGING_ENABLED YES\n"
    "LOGFILE /var/log/k.log\n"
    "LOGGING_LEVEL EXTREME\n"
    "LOG_MAX_SIZE 1024\n\n"
    "STATUS_WINDOW_AUTO_OPEN YES\n"
    "STATUS_WINDOW_TOPMOST YES\n"
    "FILTERING_STATS_DAYS 30\n\n"
    "TRAY_ACTION PLUGIN golden\n\n"
    "SHOW_UPDATES_WINDOW YES\n"
    "INFORM_ABOUT_NEW_BETAS NO\n"
    "Kestrelmail_UPDATES_CHECK NO\n"
    "Kestrelmail_UPDATES_CHECK_INTERVAL 7\n"
    "Kestrelmail_UPDATES_LAST_CHECK 4294967295\n"
    "DNSBL_UPDATES_CHECK NO\n"
    "DNSBL_UPDATES_CHECK_INTERVAL 30\n"
    "DNSBL_UPDATES_LAST_CHECK 1760000000\n"
    "KNOWN_PLUGIN_CODE ABC\n"
    "KNOWN_PLUGIN_CODE def\n"
    "MAX_DNSBL_THREADS 40\n"
    "DNSBL_TIME_OUT 45\n"
    "DNSBL_POSITIVE_CACHE_PERIOD 5,6\n"
    "DNSBL_NEGATIVE_CACHE_PERIOD 7,8\n"
    "IP_LISTEN 192.0.2.9\n"
    "FILTERING_DISABLED YES\n"
    "AWLIST_FILTERING_DISABLED YES\n\n"
    "EXTRA_BLIST_IP /b/ip\n\n"
    "EXTRA_WLIST_IP /w/ip1\n"
    "EXTRA_WLIST_IP /w/ip2\n\n"
    "EXTRA_BLIST_FROM /b/from\n\n"
    "EXTRA_WLIST_FROM /w/from\n\n"
    "TLS_VERIFY NO\n"
    "TLS_CA_FILE /etc/ca.pem\n"
    "DNSBL_NAMESERVER 127.0.0.1:5353\n"
    "DNSBL_UPDATES_SOURCE https://mirror.example/d.dat\n"
    "MAX_SESSIONS 40\n"
    "CLIENT_IDLE_TIME_OUT 120\n"
    "TIME_OUT_PREVENTION_INTERVAL 10\n"
    "WEB_INTERFACE_PORT 9111\n";

TEST_F(ConfigTest, EveryKeyIsWrittenInItsFixedPlaceWithItsFixedBytes) {
  EXPECT_EQ(formatConfigFile(Config{}), kDefaultsWritten);
  int plugin = addInstalledPlugin("golden", [](const char* name) -> void* {
    return std::string_view(name) == "getPluginName" ? reinterpret_cast<void*>(goldenPluginName)
                                                     : nullptr;
  });
  EXPECT_EQ(formatConfigFile(everySettingChanged(plugin)), kEverySettingWritten);

  // The other keyword values, and a level outside the known ones.
  struct Case {
    void (*change)(Config&);
    const char* written;
  };
  for (const Case& c : std::initializer_list<Case>{
           {[](Config& x) { x.trayAction = TrayAction::Status; }, "\nTRAY_ACTION STATUS\n"},
           {[](Config& x) { x.trayAction = TrayAction::Options; }, "\nTRAY_ACTION OPTIONS\n"},
           {[](Config& x) { x.loggingLevel = LogLevel::Minimal; }, "\nLOGGING_LEVEL MINIMAL\n"},
           {[](Config& x) { x.loggingLevel = static_cast<LogLevel>(7); },
            "\nLOGGING_LEVEL UNKNOWN\n"}}) {
    Config config;
    c.change(config);
    EXPECT_NE(formatConfigFile(config).find(c.written), std::string::npos) << c.written;
  }

  // Read back, the file gives every setting as it went in: saved again, the
  // same bytes.
  write("dnsbl.dat", "REVISION 99999999\nLIST ONE\nNAME List One\nZONE one.example\n"
                     "LIST TWO\nNAME List Two\nZONE two.example\n");
  std::string text = kEverySettingWritten;
  const std::string logFile = "/var/log/k.log";
  text.replace(text.find(logFile), logFile.size(), file("k.log"));
  load(text);
  EXPECT_EQ(read("config.dat"), text);
  ASSERT_TRUE(loadConfigFile());
  EXPECT_EQ(read("config.dat"), text);
  EXPECT_TRUE(isKnownPluginCode("abc"));
  EXPECT_FALSE(isKnownPluginCode("xyz"));
}

} // namespace
} // namespace km
