#include "config/config_fixture.h"
#include "filter/address_scan.h"
#include "filter/dnsbl.h"
#include "filter/filter_fixture.h"
#include "platform/sync.h"

namespace km::test {
namespace {

using Texts = std::vector<std::string>;

std::vector<std::string> addresses(std::string_view text, size_t start = 0) {
  std::vector<std::string> found;
  size_t next = start;
  while (std::optional<std::string_view> address = ExtractEmailAddress(text, next, next)) {
    found.emplace_back(*address);
  }
  EXPECT_EQ(next, text.size());
  return found;
}

std::vector<std::string> relays(std::string_view text) {
  std::vector<std::string> found;
  size_t next = 0;
  while (std::optional<Ipv4Address> ip = ExtractIpAddress(text, next, next)) {
    found.push_back(ipToString(*ip));
  }
  EXPECT_EQ(next, text.size());
  return found;
}

TEST(ExtractEmailAddress, TakesTheRunAroundEachAtSignWithSomethingOnBothSides) {
  EXPECT_EQ(addresses("From: \"Ann O'Neil\" <ann.o'neil+list@mail.example.com>"),
            (Texts{"ann.o'neil+list@mail.example.com"}));
  EXPECT_EQ(addresses("To: a@b.example, (comment c@d.example) e_f@g-h.example;"),
            (Texts{"a@b.example", "c@d.example", "e_f@g-h.example"}));
  EXPECT_EQ(addresses("x{|}~`#$%&*/=?^!@example.org"), (Texts{"x{|}~`#$%&*/=?^!@example.org"}));
  EXPECT_EQ(addresses("two@sign@s.example"), (Texts{"two@sign", "sign@s.example"}));
  EXPECT_EQ(addresses("lone @ sign, trailing@ and @leading, then real@one.example"),
            (Texts{"real@one.example"}));
  EXPECT_TRUE(addresses("").empty());
  EXPECT_EQ(addresses("a@b.example c@d.example", 12), (Texts{"c@d.example"}));
}

TEST(ExtractIpAddress, FindsDottedAddressesAfterOpenersAndSkipsWhatIsNotOne) {
  EXPECT_EQ(relays("from mx.example.net (mx.example.net [203.0.113.5]) by relay (198.51.100.7)"),
            (Texts{"203.0.113.5", "198.51.100.7"}));
  EXPECT_EQ(relays("192.0.2.1 at the start, user@192.0.2.2"), (Texts{"192.0.2.1", "192.0.2.2"}));
  EXPECT_TRUE(relays("id 12.34; v1.2.3.4 x192.0.2.1 (1.2.3.4.5) [256.1.1.1] [1.2.3.]").empty());
  EXPECT_TRUE(relays("(255.255.255.255)").empty());
  // A refused run is skipped whole; what follows it is still searched.
  EXPECT_EQ(relays("[1.2.3] [10.0.0.1]"), (Texts{"10.0.0.1"}));
}

std::shared_ptr<Config> listsConfig() {
  return filterConfig([](Config& c) {
    c.whitelistEmail = {"*@friends.example", "boss@work.example"};
    c.blacklistEmail = {"*@spammer.example", "*@*.bulk.example"};
    c.blacklistIp = {block("198.51.100.0", "198.51.100.255"), block("203.0.113.9", "203.0.113.9")};
    c.autoWlistFrom = {"Pal@Regular.Example"};
    c.autoWlistIp = {ip("192.0.2.44")};
    c.neverAutoWhitelist = {"*@noreply.example"};
    c.loggingEnabled = true;
    c.loggingLevel = LogLevel::Extreme;
  });
}

class Pipeline : public PipelineTest {
protected:
  Pipeline() { useConfig(listsConfig()); }
};

TEST_F(Pipeline, SenderListsDecideWithTheFirstMatchingEntryAndWhiteWins) {
  MessagePtr white = filtered("From: Someone <someone@friends.example>\r\n\r\n");
  EXPECT_TRUE(white->verdict.isWhitelisted);
  EXPECT_FALSE(white->verdict.isSpam);
  EXPECT_EQ(white->verdict.reason, KM_REASON_WLIST_EMAIL);
  EXPECT_EQ(white->verdict.source, KM_SOURCE_HEADERS);
  EXPECT_STREQ(white->verdict.pattern.entry, "*@friends.example");

  // From is checked before Reply-To, whatever the order of the lines.
  MessagePtr black = filtered("Reply-To: x@mail.bulk.example\r\nFrom: y@spammer.example\r\n\r\n");
  EXPECT_TRUE(isSpamVerdict(black->verdict));
  EXPECT_EQ(black->verdict.reason, KM_REASON_BLIST_EMAIL);
  EXPECT_STREQ(black->verdict.pattern.entry, "*@spammer.example");

  // A white sender header wins even when it comes later, and outweighs a black relay.
  MessagePtr both = filtered("From: y@spammer.example\r\nReturn-Path: <boss@WORK.example>\r\n"
                             "Received: from x ([198.51.100.1])\r\n\r\n");
  waitForDnsblResults(*both, nullptr);
  EXPECT_FALSE(isSpamVerdict(both->verdict));
  EXPECT_EQ(both->verdict.reason, KM_REASON_WLIST_EMAIL);
  EXPECT_STREQ(both->verdict.pattern.entry, "boss@work.example");
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

TEST_F(Pipeline, WhiteAndAutoWhiteRelaysAreLeftOutOfTheCheck) {
  MessagePtr message =
      filtered("Received: from x by y (192.0.2.44); Received: z 192.0.2.45\r\n\r\n");
  EXPECT_EQ(message->pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("192.0.2.45")}));
  EXPECT_FALSE(message->verdict.isWhitelisted); // white relays never whitelist a message
  EXPECT_NE(sessionLog().find("Relay 192.0.2.44 is on the auto-white list"), std::string::npos);
  EXPECT_TRUE(IsIpWhite(*message, ip("172.20.1.1")));
  EXPECT_TRUE(IsIpWhite(*message, ip("192.0.2.44")));
  EXPECT_FALSE(IsIpWhite(*message, ip("192.0.2.45")));
  EXPECT_FALSE(IpIgnoredByPlugins(*message, ip("192.0.2.45")));
}

TEST_F(Pipeline, SenderAddressesAreGatheredOnceAndTheLast250CheckedAreRemembered) {
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
  // The list keeps the last 250.
  for (int i = 1; i <= 251; ++i) {
    CheckEmailAddress(*message, "a" + std::to_string(i) + "@x.example", false, KM_SOURCE_HEADERS,
                      {}, KM_ADDRESS_FROM);
  }
  recent = recentAddresses();
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

TEST(PipelineSessions, StartAndEndAreLoggedAndAPortThatDeletesSpamLogsNoSpamLine) {
  DataDirScope data;
  prepareDataDirectory();
  {
    MessageFixture fixture(PortType::Imap4Generic, listsConfig());
    fixture.port.imap4.autoDeleteSpam = true;
    MessagePtr spam = fixture.create();
    feedMessage(*spam, "From: y@spammer.example\r\n\r\n");
    FilterHeaders(*spam, nullptr);
    FinishMessage(*spam);
    EXPECT_EQ(fixture.session.messagesSpam, 1);
    EXPECT_EQ(readFile(fixture.session.log.path).find("Tagged as spam"), std::string::npos);
  }
  PortConfig port;
  port.type = PortType::SmtpSpecific;
  port.listenPort = 2525;
  SessionRecord session;
  std::shared_ptr<Config> config = listsConfig();
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

int housekeepingRuns = 0;

void countRun(KmPluginData, const volatile int32_t* closing) {
  EXPECT_EQ(*closing, 0);
  ++housekeepingRuns;
}

// Housekeeping runs at most once an hour, more often with a shorter cache period,
// and never while the program closes.
TEST_F(ConfigTest, HousekeepingRunsAtMostOncePerHourOrPerShortCachePeriod) {
  int index = installPlugin({{"housekeeping", exported(countRun)}});
  const std::string plugin = "ENABLED_PLUGIN " + installedPluginName(index) + "\n";
  load(plugin + "DNSBL_POSITIVE_CACHE_PERIOD 2,0\nDNSBL_NEGATIVE_CACHE_PERIOD 3,0\n");
  housekeepingRuns = 0;
  Housekeeping();
  Housekeeping();
  EXPECT_EQ(housekeepingRuns, 1);
  load(plugin + "DNSBL_POSITIVE_CACHE_PERIOD 0,0\n");
  raiseStopFlag();
  Housekeeping();
  lowerStopFlagForTests();
  EXPECT_EQ(housekeepingRuns, 1);
  Housekeeping();
  Housekeeping();
  EXPECT_EQ(housekeepingRuns, 3);
}

} // namespace
} // namespace km::test
