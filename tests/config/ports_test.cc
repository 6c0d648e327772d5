#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config_fixture.h"
#include "platform/files.h"

namespace km {
namespace {

using test::ConfigTest;

// Port blocks of every type as the program writes them.
const std::string kWrittenBlocks = "PORT 110\n"
                                   "PORT_TYPE POP3_GENERIC\n"
                                   "PORT_POP3_SUPPRESS_CLIENT_ERRORS YES\n"
                                   "PORT_POP3_MUTE_CONNECTION_ERRORS NO\n"
                                   "PORT_POP3_ATTEMPT_APOP YES\n"
                                   "PORT_POP3_DEFAULT_BODY_FILTERING_K_TOP 8\n"
                                   "PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR 128\n"
                                   "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n"
                                   "PORT 1110\n"
                                   "PORT_TYPE POP3_SPECIFIC\n"
                                   "PORT_POP3_SUPPRESS_CLIENT_ERRORS NO\n"
                                   "PORT_POP3_MUTE_CONNECTION_ERRORS NO\n"
                                   "PORT_POP3_SERVERNAME pop.example.com\n"
                                   "PORT_POP3_DEFAULT_BODY_FILTERING_K_TOP 4\n"
                                   "PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR 64\n"
                                   "PORT_UPSTREAM_TLS IMPLICIT\n"
                                   "PORT_TLS_VERIFY NO\n"
                                   "PORT_TLS_CA_FILE /etc/ssl/private-ca.pem\n"
                                   "PORT_SPECIAL_ACCESS_CONTROL_LIST YES\n"
                                   "PORT_ACCESS_CONTROL_LIST_FNAME port1110_access_control.txt\n\n"
                                   "PORT 143\n"
                                   "PORT_TYPE IMAP4_GENERIC\n"
                                   "PORT_IMAP4_MUTE_CONNECTION_ERRORS NO\n"
                                   "PORT_IMAP4_DEFAULT_BODY_FILTERING_K 64\n"
                                   "PORT_IMAP4_REWRITE SPAM\n"
                                   "PORT_IMAP4_AUTO_DELETE_SPAM NO\n"
                                   "PORT_IMAP4_AUTO_MOVE_SPAM YES\n"
                                   "PORT_IMAP4_SPAMTRAP_FOLDER Junk Mail\n"
                                   "PORT_IMAP4_EXPUNGE_DELETIONS NO\n"
                                   "PORT_IMAP4_FILTER_ONE_MAILBOX YES\n"
                                   "PORT_IMAP4_FILTER_MAILBOX INBOX.Work\n"
                                   "PORT_IMAP4_FILTER_TYPE UNSEEN\n"
                                   "PORT_IMAP4_CHECK_HEADERS_UNFILTERED NO\n"
                                   "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n"
                                   "PORT 25\n"
                                   "PORT_TYPE SMTP_SPECIFIC\n"
                                   "PORT_SMTP_SERVERNAME smtp.example.com\n"
                                   "PORT_SMTP_MUTE_CONNECTION_ERRORS NO\n"
                                   "PORT_SMTP_AWLIST_RCPT_TO NO\n"
                                   "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME NO\n"
                                   "PORT_SMTP_REJECT_ON_MAIL_FROM YES\n"
                                   "PORT_SMTP_REJECT_ON_ORIGINATING_IP NO\n"
                                   "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n"
                                   "PORT_SMTP_USE_FILTERING NO\n"
                                   "PORT_SMTP_DEFAULT_BODY_FILTERING_K 32\n"
                                   "PORT_SMTP_LOCAL_EMAIL_LEAFNAME port25_permissions_email.txt\n"
                                   "PORT_SMTP_LOCAL_IP_LEAFNAME port25_permissions_ip.txt\n"
                                   "PORT_SMTP_PERMIT_ALL_AUTHENTICATED_RELAYING YES\n"
                                   "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n";

TEST_F(ConfigTest, EveryPortTypeLoadsAndSavesBackInTheWrittenOrder) {
  write("port25_permissions_email.txt", "me@example.com\n*@example.org # colleagues\n");
  write("port25_permissions_ip.txt", "192.0.2.0/24\n");
  write("port1110_access_control.txt", "127.0.0.1\n10.1.0.0/16\n");
  // The last block names only some keys: the others are written with their defaults.
  ConfigRef config =
      load("IS_FIRST_RUN NO\n" + kWrittenBlocks +
           "PORT 1143\nPORT_TYPE IMAP4_SPECIFIC\nPORT_IMAP4_SERVERNAME imap.example.com\n"
           "PORT_IMAP4_REWRITE ALWAYS\nPORT_IMAP4_FILTER_TYPE ALL\n"
           "PORT_UPSTREAM_TLS STARTTLS\nIP_LISTEN 127.0.0.1\nALLOW_PORT_SHARING YES\n");
  std::string saved = read("config.dat");
  EXPECT_NE(saved.find("IS_FIRST_RUN NO\n\n" + kWrittenBlocks +
                       "PORT 1143\n"
                       "PORT_TYPE IMAP4_SPECIFIC\n"
                       "PORT_IMAP4_SERVERNAME imap.example.com\n"
                       "PORT_IMAP4_MUTE_CONNECTION_ERRORS NO\n"
                       "PORT_IMAP4_DEFAULT_BODY_FILTERING_K 64\n"
                       "PORT_IMAP4_REWRITE ALWAYS\n"
                       "PORT_IMAP4_AUTO_DELETE_SPAM NO\n"
                       "PORT_IMAP4_AUTO_MOVE_SPAM NO\n"
                       "PORT_IMAP4_SPAMTRAP_FOLDER none\n"
                       "PORT_IMAP4_EXPUNGE_DELETIONS NO\n"
                       "PORT_IMAP4_FILTER_ONE_MAILBOX NO\n"
                       "PORT_IMAP4_FILTER_MAILBOX Inbox\n"
                       "PORT_IMAP4_FILTER_TYPE ALL\n"
                       "PORT_IMAP4_CHECK_HEADERS_UNFILTERED YES\n"
                       "PORT_UPSTREAM_TLS STARTTLS\n"
                       "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n"
                       "ALLOW_PORT_SHARING YES\n"),
            std::string::npos)
      << saved;
  ASSERT_EQ(config->ports.size(), 5u);
  const PortConfig& generic = config->ports[0];
  EXPECT_EQ(generic.type, PortType::Pop3Generic);
  EXPECT_TRUE(generic.pop3.suppressClientErrors);
  EXPECT_TRUE(generic.pop3.attemptApop);
  EXPECT_EQ(generic.pop3.bodyKTop, 8);
  const PortConfig& specific = config->ports[1];
  EXPECT_EQ(specific.serverName, "pop.example.com");
  EXPECT_EQ(specific.upstreamTls, UpstreamTls::Implicit);
  EXPECT_EQ(specific.tlsVerify, std::optional<bool>(false));
  EXPECT_EQ(specific.tlsCaFile, "/etc/ssl/private-ca.pem");
  EXPECT_EQ(generic.tlsVerify, std::nullopt) << "not set: the global setting holds";
  EXPECT_TRUE(specific.specialAcl);
  ASSERT_EQ(specific.aclBlocks.size(), 2u);
  const PortConfig& imap = config->ports[2];
  EXPECT_EQ(imap.imap4.rewrite, Imap4Rewrite::Spam);
  EXPECT_EQ(imap.imap4.spamtrapFolder, "Junk Mail");
  EXPECT_EQ(imap.imap4.filterType, Imap4FilterType::Unseen);
  EXPECT_FALSE(imap.imap4.checkHeadersUnfiltered);
  const PortConfig& smtp = config->ports[3];
  EXPECT_EQ(smtp.smtp.localEmails, (std::vector<std::string>{"me@example.com", "*@example.org"}));
  ASSERT_EQ(smtp.smtp.localIpBlocks.size(), 1u);
  EXPECT_TRUE(smtp.smtp.permitAllAuthenticatedRelaying);
  EXPECT_EQ(config->ports[4].imap4.filterType, Imap4FilterType::All);
  EXPECT_EQ(config->ports[4].upstreamTls, UpstreamTls::StartTls);
  EXPECT_TRUE(config->allowPortSharing);
  for (const PortConfig& port : config->ports) {
    EXPECT_EQ(std::count_if(config->ports.begin(), config->ports.end(),
                            [&](const PortConfig& other) { return other.id == port.id; }),
              1);
  }

  // What was saved loads into the same snapshot and saves back identically.
  ASSERT_TRUE(loadConfigFile());
  ConfigRef again = AcquireConfig();
  EXPECT_EQ(read("config.dat"), saved);
  ASSERT_EQ(again->ports.size(), 5u);
  EXPECT_EQ(again->ports[3].smtp.localEmails, smtp.smtp.localEmails);
  EXPECT_EQ(again->ports[1].aclBlocks, specific.aclBlocks);
}

TEST_F(ConfigTest, PortKeysAreTakenOnlyForTheirTypes) {
  ConfigRef config = load("CREATE_DEFAULT_IMAP4_PORT NO\n"
                          "PORT_TYPE SMTP_SPECIFIC\n" // before any PORT: skipped
                          "PORT 2110\n"
                          "PORT_TYPE POP3_SPECIFIC\n"
                          "PORT_POP3_ATTEMPT_APOP YES\n"
                          "PORT_IMAP4_AUTO_MOVE_SPAM YES\n"
                          "PORT 2143\n"
                          "PORT_IMAP4_SPAMTRAP_FOLDER Early\n"
                          "PORT_TYPE IMAP4_GENERIC\n"
                          "PORT_POP3_SUPPRESS_CLIENT_ERRORS YES\n"
                          "PORT 2144\n"
                          "PORT_TYPE CARRIER_PIGEON\n");
  ASSERT_EQ(config->ports.size(), 3u);
  EXPECT_EQ(config->ports[0].type, PortType::Pop3Specific);
  EXPECT_FALSE(config->ports[0].pop3.attemptApop) << "APOP is for generic POP3 ports only";
  EXPECT_FALSE(config->ports[0].imap4.autoMoveSpam);
  EXPECT_EQ(config->ports[1].imap4.spamtrapFolder, "none")
      << "the folder came before the type, which resets the IMAP4 settings";
  EXPECT_FALSE(config->ports[1].pop3.suppressClientErrors);
  EXPECT_EQ(config->ports[2].type, PortType::Pop3Generic) << "an unknown type word is skipped";
}

TEST_F(ConfigTest, AnUnparsableListenAddressKeepsThePreviousOne) {
  ConfigRef config = load("CREATE_DEFAULT_IMAP4_PORT NO\nIP_LISTEN 192.0.2.1\n"
                          "IP_LISTEN 255.255.255.255\nIP_LISTEN localhost\n");
  EXPECT_EQ(config->listenIp, (Ipv4Address{192, 0, 2, 1}));
}

TEST_F(ConfigTest, SmtpPermissionFilesGetNamesNoOtherFileHas) {
  write("port25_permissions_email.txt", "left over\n");
  ConfigRef config = load("CREATE_DEFAULT_IMAP4_PORT NO\nPORT 25\nPORT_TYPE SMTP_SPECIFIC\n"
                          "PORT 25\nPORT_TYPE SMTP_SPECIFIC\n");
  ASSERT_EQ(config->ports.size(), 2u);
  EXPECT_EQ(config->ports[0].smtp.localEmailFile, "port25_permissions_email_1.txt");
  EXPECT_EQ(config->ports[0].smtp.localIpFile, "port25_permissions_ip.txt");
  EXPECT_EQ(config->ports[1].smtp.localEmailFile, "port25_permissions_email_2.txt");
  EXPECT_EQ(config->ports[1].smtp.localIpFile, "port25_permissions_ip_1.txt");
}

TEST_F(ConfigTest, TheOlderSinglePortFormatIsConvertedToPortBlocks) {
  ConfigRef config = load("CREATE_DEFAULT_IMAP4_PORT NO\n"
                          "SERVER pop.one.example\n"
                          "SERVER pop.two.example\n"
                          "MUTE_CONN_ERR_BOXES YES\n"
                          "REPORT_RESOLVING_ERRORS YES\n"
                          "PROTOCOL POP3\n"
                          "MULTIPLE_SERVERS_USE_ONE_PORT YES\n"
                          "POP3_LISTEN_PORT 8110\n"
                          "ATTEMPT_APOP_AUTH YES\n"
                          "REPORT_ALL_RESOLVING_ERRORS NO\n");
  ASSERT_EQ(config->ports.size(), 3u);
  EXPECT_EQ(config->ports[0].listenPort, 110);
  EXPECT_EQ(config->ports[0].serverName, "pop.one.example");
  EXPECT_EQ(config->ports[1].listenPort, 111) << "moved past the earlier port 110";
  EXPECT_TRUE(config->ports[0].pop3.muteConnectionErrors);
  EXPECT_FALSE(config->ports[1].pop3.suppressClientErrors);
  EXPECT_TRUE(config->ports[1].pop3.muteConnectionErrors);
  EXPECT_EQ(config->ports[2].type, PortType::Pop3Generic);
  EXPECT_EQ(config->ports[2].listenPort, 8110);
  EXPECT_TRUE(config->ports[2].pop3.attemptApop);
  EXPECT_TRUE(config->ports[2].pop3.suppressClientErrors);
  std::string saved = read("config.dat");
  EXPECT_EQ(saved.find("SERVER "), std::string::npos);
  EXPECT_NE(saved.find("PORT 111\nPORT_TYPE POP3_SPECIFIC\n"), std::string::npos);

  // Listen ports move past numbers that are taken.
  config = load("CREATE_DEFAULT_IMAP4_PORT NO\nSERVER a.example\nLISTEN_PORT 120\n"
                "SERVER b.example\nLISTEN_PORT 100\nSERVER c.example\n");
  ASSERT_EQ(config->ports.size(), 3u);
  EXPECT_EQ(config->ports[0].listenPort, 120);
  EXPECT_EQ(config->ports[1].listenPort, 101) << "120 is at least 100";
  EXPECT_EQ(config->ports[2].listenPort, 111) << "110 passes 120, and 101 lies below 111";
}

// Holds a loopback port so that the search for a free one has to pass it.
class OccupiedPort {
public:
  explicit OccupiedPort(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Taken already by something else is just as good.
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
      ::listen(fd_, 1);
    }
  }
  ~OccupiedPort() { ::close(fd_); }

private:
  int fd_;
};

TEST_F(ConfigTest, AGenericPortGoesToTheFirstFreeNumber) {
  Config config;
  config.ports.push_back(PortConfig{});
  config.ports.back().listenPort = 110;
  config.ports.push_back(PortConfig{});
  config.ports.back().listenPort = 1110;
  OccupiedPort held(1111);
  std::string status;
  createGenericPort(config, PortType::Pop3Generic, &status);
  ASSERT_EQ(config.ports.size(), 3u);
  const PortConfig& port = config.ports.back();
  EXPECT_GE(port.listenPort, 1112);
  EXPECT_EQ(port.type, PortType::Pop3Generic);
  EXPECT_NE(port.id, config.ports[0].id);
  EXPECT_NE(status.find(std::to_string(port.listenPort)), std::string::npos) << status;
  EXPECT_EQ(notifier().count(), 0u) << "with a status text there is no message box";

  createGenericPort(config, PortType::Imap4Generic);
  const PortConfig& imap = config.ports.back();
  EXPECT_EQ(imap.type, PortType::Imap4Generic);
  EXPECT_TRUE(imap.imap4.autoMoveSpam);
  EXPECT_EQ(imap.imap4.filterMailbox, "inbox");
  EXPECT_EQ(imap.imap4.spamtrapFolder, "Spam");
  EXPECT_EQ(notifier().count(), 1u);

  createGenericPort(config, PortType::SmtpSpecific);
  EXPECT_EQ(config.ports.size(), 4u) << "no generic SMTP port exists";
  EXPECT_EQ(notifier().notices().back().icon, NoticeIcon::Stop);
}

TEST_F(ConfigTest, UsersOfEarlierVersionsGetAnImap4PortOnce) {
  OccupiedPort held(143);
  ConfigRef config = load("IS_FIRST_RUN NO\nPORT 1110\nPORT_TYPE POP3_GENERIC\n");
  ASSERT_EQ(config->ports.size(), 2u);
  EXPECT_EQ(config->ports[1].type, PortType::Imap4Generic);
  EXPECT_GE(config->ports[1].listenPort, 1143);
  EXPECT_NE(read("config.dat").find("CREATE_DEFAULT_IMAP4_PORT NO\n"), std::string::npos);
  ASSERT_TRUE(loadConfigFile());
  EXPECT_EQ(AcquireConfig()->ports.size(), 2u);

  // Neither on a first run nor when an IMAP4 port is defined.
  EXPECT_EQ(load("IS_FIRST_RUN YES\n")->ports.size(), 0u);
  EXPECT_EQ(load("PORT 2143\nPORT_TYPE IMAP4_SPECIFIC\n")->ports.size(), 1u);
}

TEST_F(ConfigTest, AccessFollowsThePortsOwnListOrTheGlobalOne) {
  write("ip_allow.dat", "192.168.1.0/24\n");
  write("lan_only.txt", "10.0.0.0/8\n");
  ConfigRef config = load("CREATE_DEFAULT_IMAP4_PORT NO\n"
                          "PORT 110\nPORT_TYPE POP3_GENERIC\n"
                          "PORT 111\nPORT_TYPE POP3_GENERIC\nPORT_SPECIAL_ACCESS_CONTROL_LIST YES\n"
                          "PORT_ACCESS_CONTROL_LIST_FNAME lan_only.txt\n"
                          "PORT 112\nPORT_TYPE POP3_GENERIC\n"
                          "PORT_ACCESS_CONTROL_LIST_FNAME lan_only.txt\n");
  const PortConfig& global = config->ports[0];
  const PortConfig& own = config->ports[1];
  const PortConfig& listedButOff = config->ports[2];
  EXPECT_TRUE(portAdmits(global, *config, kLoopbackAddress));
  EXPECT_TRUE(portAdmits(global, *config, {192, 168, 1, 20}));
  EXPECT_FALSE(portAdmits(global, *config, {10, 1, 1, 1}));
  EXPECT_TRUE(portAdmits(own, *config, {10, 1, 1, 1}));
  EXPECT_FALSE(portAdmits(own, *config, kLoopbackAddress))
      << "its own list does not hold 127.0.0.1";
  EXPECT_EQ(listedButOff.aclBlocks.size(), 1u) << "the file is read whatever the switch says";
  EXPECT_FALSE(portAdmits(listedButOff, *config, {10, 1, 1, 1}));
}

} // namespace
} // namespace km
