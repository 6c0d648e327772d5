#include "filter/dnsbl.h"
#include "filter/filter_fixture.h"

namespace km::test {
namespace {

using Texts = std::vector<std::string>;

ConfigRef listsConfig() {
  return filterConfig([](Config& c) {
    c.whitelistEmail = {"*@friends.example", "boss@work.example"};
    c.blacklistEmail = {"*@spammer.example", "*@*.bulk.example"};
    c.blacklistIp = {block("198.51.100.0", "198.51.100.255"), block("203.0.113.9", "203.0.113.9")};
    c.autoWlistFrom = {"Pal@Regular.Example"};
    c.autoWlistIp = {ip("192.0.2.44")};
    c.neverAutoWhitelist = {"*@noreply.example"};
    c.loggingEnabled = true;
    c.loggingLevel = LOG_EXTREME;
  });
}

class Pipeline : public PipelineTest {
protected:
  Pipeline() { useConfig(listsConfig()); }
};

TEST_F(Pipeline, AWhiteListedSenderWhitelistsTheMessage) {
  MessagePtr message = filtered("From: Someone <someone@friends.example>\r\n\r\n");
  const Verdict& v = message->verdict;
  EXPECT_TRUE(v.isWhitelisted);
  EXPECT_FALSE(v.isSpam);
  EXPECT_EQ(v.reason, KM_REASON_WLIST_EMAIL);
  EXPECT_EQ(v.source, KM_SOURCE_HEADERS);
  EXPECT_STREQ(v.pattern.entry, "*@friends.example");
}

TEST_F(Pipeline, ABlackListedSenderIsSpamWithTheFirstMatchingEntry) {
  MessagePtr message = filtered("Reply-To: x@mail.bulk.example\r\nFrom: y@spammer.example\r\n\r\n");
  EXPECT_TRUE(isSpamVerdict(message->verdict));
  EXPECT_EQ(message->verdict.reason, KM_REASON_BLIST_EMAIL);
  // From is checked before Reply-To, whatever the order of the lines.
  EXPECT_STREQ(message->verdict.pattern.entry, "*@spammer.example");
}

TEST_F(Pipeline, WhiteListsWinWhicheverSenderHeaderComesLater) {
  MessagePtr message =
      filtered("From: y@spammer.example\r\nReturn-Path: <boss@WORK.example>\r\n\r\n");
  EXPECT_TRUE(message->verdict.isWhitelisted);
  EXPECT_FALSE(message->verdict.isSpam);
  EXPECT_STREQ(message->verdict.pattern.entry, "boss@work.example");
}

TEST_F(Pipeline, AnAutoWhiteAddressWhitelistsUnlessThatIsSwitchedOff) {
  MessagePtr message = filtered("From: pal@regular.example\r\n\r\n");
  EXPECT_EQ(message->verdict.reason, KM_REASON_AWLIST_EMAIL);
  EXPECT_STREQ(message->verdict.pattern.entry, "Pal@Regular.Example");
  useConfig(filterConfig([](Config& c) {
    c.autoWlistFrom = {"pal@regular.example"};
    c.autoWlistIp = {ip("192.0.2.44")};
    c.awlistFilteringDisabled = true;
  }));
  MessagePtr unlisted =
      filtered("From: pal@regular.example\r\nReceived: from x ([192.0.2.44]) by y\r\n\r\n");
  EXPECT_FALSE(unlisted->verdict.isWhitelisted);
  EXPECT_EQ(unlisted->verdict.reason, 0);
  // The auto-white relay is then an ordinary relay: gathered (and looked up).
  EXPECT_EQ(unlisted->pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("192.0.2.44")}));
}

TEST_F(Pipeline, ABlackListedRelayMakesTheMessageSpam) {
  MessagePtr message = filtered("From: a@unknown.example\r\n"
                                "Received: from relay (relay [10.1.2.3]) by mx (203.0.113.9)\r\n"
                                "Received: from far (far [198.51.100.77])\r\n\r\n");
  const Verdict& v = message->verdict;
  EXPECT_TRUE(isSpamVerdict(v));
  EXPECT_EQ(v.reason, KM_REASON_BLIST_IP);
  EXPECT_EQ(ipToString({v.ip[0], v.ip[1], v.ip[2], v.ip[3]}), "203.0.113.9");
  EXPECT_EQ(VerdictLabel(true, v), "SPAM BLIST 203.0.113.9");
  // Private relays are neither gathered nor looked up; the others are gathered.
  EXPECT_EQ(message->pluginContext.collectedIps,
            (std::vector<Ipv4Address>{ip("203.0.113.9"), ip("198.51.100.77")}));
  std::string log = sessionLog();
  EXPECT_NE(log.find("Relay 10.1.2.3 is on the white list"), std::string::npos) << log;
  EXPECT_NE(log.find("Relay 203.0.113.9 is on the black list"), std::string::npos) << log;
  withdrawMessage(*message);
}

TEST_F(Pipeline, AWhiteListedSenderOutweighsABlackListedRelay) {
  MessagePtr message =
      filtered("From: someone@friends.example\r\nReceived: from x ([198.51.100.1])\r\n\r\n");
  waitForDnsblResults(*message, nullptr);
  EXPECT_FALSE(isSpamVerdict(message->verdict));
  EXPECT_EQ(message->verdict.reason, KM_REASON_WLIST_EMAIL);
}

TEST_F(Pipeline, AutoWhiteRelaysAreLeftOutOfTheCheck) {
  MessagePtr message =
      filtered("Received: from x by y (192.0.2.44); Received: z 192.0.2.45\r\n\r\n");
  EXPECT_EQ(message->pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("192.0.2.45")}));
  EXPECT_FALSE(message->verdict.isWhitelisted); // white relays never whitelist a message
  EXPECT_NE(sessionLog().find("Relay 192.0.2.44 is on the auto-white list"), std::string::npos);
}

TEST_F(Pipeline, SenderAddressesAreGatheredOnceExceptMailingListsAndNeverListed) {
  MessagePtr message = filtered("From: Ann <ann@a.example>, ANN@A.EXAMPLE\r\n"
                                "Sender: robot@noreply.example\r\n"
                                "Mailing-List: list help@lists.example\r\n"
                                "To: not-a-sender@b.example\r\n"
                                "Return-Path: <bounce@c.example>\r\n\r\n");
  EXPECT_EQ(message->pluginContext.collectedAddresses,
            (Texts{"ann@a.example", "bounce@c.example"}));
  // Every address checked is remembered, the mailing list's too; case counts once.
  Texts recent = recentAddresses();
  ASSERT_GE(recent.size(), 4u);
  EXPECT_EQ(
      Texts(recent.end() - 4, recent.end()),
      (Texts{"ann@a.example", "robot@noreply.example", "help@lists.example", "bounce@c.example"}));
}

TEST_F(Pipeline, TheRecentAddressListKeepsTheLast250) {
  MessagePtr message = received("Subject: x\r\n\r\n");
  for (int i = 1; i <= 251; ++i) {
    CheckEmailAddress(*message, "a" + std::to_string(i) + "@x.example", false, KM_SOURCE_HEADERS,
                      {}, KM_ADDRESS_FROM);
  }
  Texts recent = recentAddresses();
  ASSERT_EQ(recent.size(), kRecentAddressLimit);
  EXPECT_EQ(recent.front(), "a2@x.example");
  EXPECT_EQ(recent.back(), "a251@x.example");
}

TEST_F(Pipeline, ChecksFromPlugInsCarryTheirSourceText) {
  MessagePtr message = received("Subject: x\r\n\r\n");
  CheckHost(*message, "192.0.2.200", true, KM_SOURCE_OTHER, "LOOKUP");
  EXPECT_EQ(message->pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("192.0.2.200")}));
  CheckEmailAddress(*message, "x@spammer.example", false, KM_SOURCE_OTHER, "FOUND-IN-BODY",
                    KM_ADDRESS_FROM_PLUGIN);
  EXPECT_EQ(VerdictLabel(true, message->verdict), "SPAM BLIST EMAIL FOUND-I");
  EXPECT_TRUE(message->pluginContext.collectedAddresses.empty());
  CheckHost(*message, "mail.example.org", true, KM_SOURCE_HEADERS, {});
  EXPECT_NE(sessionLog().find("Relay host mail.example.org"), std::string::npos);
}

TEST_F(Pipeline, RelayWhitenessFollowsTheLists) {
  MessagePtr message = received("Subject: x\r\n\r\n");
  EXPECT_TRUE(IsIpWhite(*message, ip("172.20.1.1")));
  EXPECT_TRUE(IsIpWhite(*message, ip("192.0.2.44")));
  EXPECT_FALSE(IsIpWhite(*message, ip("192.0.2.45")));
  EXPECT_FALSE(IpIgnoredByPlugins(*message, ip("192.0.2.45")));
}

TEST_F(Pipeline, TheHeaderPassLogsTheSenderAndSubject) {
  MessagePtr message = filtered("From: a@b.example\r\nSubject: Hello\r\n\tthere\r\n\r\n");
  std::string log = sessionLog();
  EXPECT_NE(log.find("Message from a@b.example, subject \"Hello there\""), std::string::npos)
      << log;
  EXPECT_NE(log.find("Address a@b.example is on no list"), std::string::npos) << log;
}

TEST_F(Pipeline, FinishingCountsAndLogsTheVerdict) {
  MessagePtr spam = filtered("From: y@spammer.example\r\nSubject: Buy\r\n\r\n");
  FinishMessage(*spam);
  MessagePtr white = filtered("From: boss@work.example\r\n\r\n");
  white->verdict.isSpam = 1; // a plug-in's opinion, overruled by the white list
  FinishMessage(*white);
  MessagePtr plain = filtered("From: z@elsewhere.example\r\n\r\n");
  FinishMessage(*plain);
  SessionRecord& session = fixture_->session;
  EXPECT_EQ(session.messagesFiltered, 3);
  EXPECT_EQ(session.messagesSpam, 1);
  EXPECT_EQ(session.messagesWhitelisted, 1);
  std::string log = sessionLog();
  EXPECT_NE(log.find("Tagged as spam (SPAM BLIST EMAIL): from y@spammer.example, subject \"Buy\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Verdict PASS WLIST EMAIL: from boss@work.example"), std::string::npos);
  EXPECT_NE(log.find("Verdict PASS: from z@elsewhere.example"), std::string::npos);
}

TEST(PipelineImap4, APortThatDeletesSpamLogsNoSpamLineOnFinishing) {
  DataDirScope data;
  prepareDataDirectory();
  ConfigRef config = listsConfig();
  MessageFixture fixture(IMAP4_GENERIC, config);
  fixture.port.imap4.autoDeleteSpam = true;
  MessagePtr spam = fixture.create();
  feedMessage(*spam, "From: y@spammer.example\r\n\r\n");
  FilterHeaders(*spam, nullptr);
  FinishMessage(*spam);
  EXPECT_EQ(fixture.session.messagesSpam, 1);
  EXPECT_EQ(readFile(fixture.session.log.path).find("Tagged as spam"), std::string::npos);
}

TEST(PipelineSessions, SessionStartAndEndAreLogged) {
  DataDirScope data;
  prepareDataDirectory();
  PortConfig port;
  port.type = SMTP_SPECIFIC;
  port.listenPort = 2525;
  SessionRecord session;
  ConfigRef config = listsConfig();
  config->logFile = data.file("kestrelmail.log");
  CreateSessionRecord(session, config, port, {192, 0, 2, 7});
  SessionStarted(session);
  session.messagesFiltered = 4;
  SessionEnded(session);
  std::string log = readFile(session.log.path);
  EXPECT_NE(log.find("Session started on port 2525 (SMTP) for client 192.0.2.7"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Session ended: 4 messages filtered"), std::string::npos) << log;
  std::string path = session.log.path;
  FinishSessionRecord(session);
  EXPECT_FALSE(fileExists(path)); // merged into the main log
  EXPECT_NE(readFile(data.file("kestrelmail.log")).find("Session ended"), std::string::npos);
}

} // namespace
} // namespace km::test
