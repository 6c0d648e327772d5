// The DNSBL engine: the order in which workers take queries, and the engine through
// the filter pipeline against a real rbldnsd and against scripted name servers for what
// rbldnsd never does (failures, silence, hostile replies).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>

#include "filter/dnsbl_fixture.h"
#include "filter/dnsbl_queries.h"

namespace km::test {
namespace {

const ListDefinition kTestList{"TEST", "Test List", "bl.test", "STANDARD", {}};

// Lists 192.0.2.10 (127.0.0.2), 192.0.2.11 (127.0.0.3), 198.51.100.0/24 (127.0.0.4);
// the provider zone lists 192.0.2.10 and 192.0.2.20.
Rbldnsd& startRbldnsd(std::unique_ptr<Rbldnsd>& server) {
  server = std::make_unique<Rbldnsd>(std::initializer_list<DnsblZone>{
      {"bl.test", ":127.0.0.2:Listed\n192.0.2.10\n192.0.2.11 :127.0.0.3:\n"
                  "198.51.100.0/24 :127.0.0.4:\n"},
      {"isp.test", ":127.0.0.2:\n192.0.2.10\n192.0.2.20\n"}});
  return *server;
}

class RbldnsdLists : public DnsblTest {
protected:
  void SetUp() override {
    if (!startRbldnsd(server_).running()) {
      GTEST_SKIP() << "rbldnsd did not start";
    }
  }
  std::unique_ptr<Rbldnsd> server_;
};

TEST_F(RbldnsdLists, AListedRelayMakesTheMessageSpamNamingTheList) {
  useLists({kTestList, {"OTHER", "Other List", "bl.test", "STANDARD", {"127.0.0.9"}}},
           server_->server());
  DnsblCounts before = dnsblListCounts("TEST").value_or(DnsblCounts{});
  Verdict listed = judged("192.0.2.10");
  EXPECT_TRUE(isSpamVerdict(listed));
  EXPECT_EQ(listed.reason, KM_REASON_DNSBL);
  EXPECT_EQ(label(listed), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(label(judged("203.0.113.77")), "PASS");

  // Each finished lookup is counted for its list.
  std::optional<DnsblCounts> counts = dnsblListCounts("TEST");
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->queries - before.queries, 2u);
  EXPECT_EQ(counts->listed - before.listed, 1u);
  EXPECT_EQ(counts->notListed - before.notListed, 1u);
}

TEST_F(RbldnsdLists, OnlyTheListsResultCodesCountAsListed) {
  useLists({{"CODES", "Coded List", "bl.test", "STANDARD", {"127.0.0.2", "127.0.0.4"}}},
           server_->server());
  EXPECT_EQ(label(judged("192.0.2.11")), "PASS"); // answered 127.0.0.3
  EXPECT_EQ(label(judged("198.51.100.5")), "SPAM Coded List 198.51.100.5");
  // A list without result codes takes any answer.
  useLists({kTestList}, server_->server());
  EXPECT_EQ(label(judged("192.0.2.11")), "SPAM Test List 192.0.2.11");
}

TEST_F(RbldnsdLists, AProviderListingOverridesAStandardListing) {
  useLists({kTestList, {"ISP", "Provider", "isp.test", "PROVIDER-IGNORE", {}}}, server_->server());
  Verdict provider = judged("192.0.2.10");
  EXPECT_FALSE(isSpamVerdict(provider));
  EXPECT_NE(provider.source, KM_SOURCE_DNSBL_TIMEOUT);
  // Not a provider's relay: the standard listing counts.
  EXPECT_EQ(label(judged("192.0.2.11")), "SPAM Test List 192.0.2.11");
}

TEST_F(RbldnsdLists, AnswersComeFromTheCacheAlsoAfterARestartWithTheServerGone) {
  useLists({kTestList}, server_->server(), 3);
  EXPECT_EQ(label(judged("192.0.2.10")), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(label(judged("203.0.113.77")), "PASS");
  uint32_t lookups = dnsblListCounts("TEST")->queries;
  EXPECT_TRUE(cacheSave());
  server_.reset();
  cacheLoad();
  // Both answers are known without a lookup: nothing is left open, no time-out.
  Message& listed = filtered("Received: from x ([192.0.2.10])\r\n");
  EXPECT_FALSE(hasOpenQueries(listed));
  EXPECT_EQ(label(listed), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(label(judged("203.0.113.77")), "PASS");
  EXPECT_EQ(dnsblListCounts("TEST")->queries, lookups);
}

// 8.0.0.127.hosts.test answers 192.0.2.10, which the list names: a host name is
// resolved and its addresses checked as relays, and a plug-in's host check whose
// name resolves to an expected address whitelists the message.
TEST_F(RbldnsdLists, HostNamesAreResolvedForRelayChecksAndHostChecks) {
  server_ = std::make_unique<Rbldnsd>(std::initializer_list<DnsblZone>{
      {"bl.test", ":127.0.0.2:\n192.0.2.10\n"}, {"hosts.test", ":192.0.2.10:\n127.0.0.8\n"}});
  ASSERT_TRUE(server_->running());
  useLists({kTestList}, server_->server());
  Message& message = filtered("From: a@example.org\r\n");
  {
    RecursiveGuard together(dnsblLock());
    CheckHost(message, "8.0.0.127.hosts.test", true, KM_SOURCE_HEADERS, {});
    CheckHost(message, "nothing.hosts.test", true, KM_SOURCE_HEADERS, {});
  }
  waitForDnsblResults(message, nullptr);
  EXPECT_EQ(label(message), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(message.pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("192.0.2.10")}));

  Verdict evidence{};
  setVerdictEvidence(evidence, KM_SOURCE_OTHER, KM_REASON_OTHER, "PLUG");
  setVerdictPatternText(evidence, "KNOWN HOST");
  for (bool expected : {true, false}) {
    Message& checked = filtered("Received: from x ([192.0.2.10])\r\n");
    std::vector<Ipv4Address> addresses{ip("198.51.100.1")};
    if (expected) {
      addresses.push_back(ip("192.0.2.10"));
    }
    queueHostCheck(checked, "8.0.0.127.hosts.test", addresses, DnsblQueryKind::Whitelisting,
                   evidence);
    waitForDnsblResults(checked, nullptr);
    // No expected address among the answers: the check says nothing.
    EXPECT_EQ(label(checked), expected ? "PASS KNOWN HOST PLUG" : "SPAM Test List 192.0.2.10");
  }
}

// A scripted server: answers per name, counting the queries of each.
class ScriptedServer : public DnsblTest {
protected:
  using Script = std::function<std::vector<DnsDatagram>(const DnsRequest&)>;

  void serve(Script script) {
    server_ = std::make_unique<FakeDnsServer>([this, script](const DnsRequest& request) {
      {
        std::lock_guard guard(asked_);
        ++askedFor_[request.name];
      }
      return script(request);
    });
  }
  int askedFor(const std::string& name) {
    std::lock_guard guard(asked_);
    return askedFor_[name];
  }

  std::mutex asked_;
  std::map<std::string, int> askedFor_;
  // Declared last so that it goes first: its thread counts into the map above.
  std::unique_ptr<FakeDnsServer> server_;
};

std::vector<DnsDatagram> reply(const DnsRequest& request, int rcode,
                               const std::vector<ResolvedAddress>& addresses = {},
                               unsigned delayMs = 0) {
  return {DnsDatagram{dnsReply(request, rcode, addresses), delayMs}};
}

constexpr int kNxDomain = 3;
constexpr int kServFail = 2;
constexpr ResolvedAddress kListed{127, 0, 0, 2};

TEST_F(ScriptedServer, MessagesFromOneRelayShareOneLookupPerList) {
  serve([](const DnsRequest& request) {
    return request.name.ends_with("bl.test") ? reply(request, 0, {kListed}, 200)
                                             : reply(request, kNxDomain, {}, 200);
  });
  useLists({kTestList, {"SECOND", "Second List", "two.test", "STANDARD", {}}}, server_->server());
  Message& first = filtered("Received: from a ([192.0.2.10])\r\n");
  Message& second = filtered("Received: from b ([192.0.2.10]) by c (192.0.2.10)\r\n");
  EXPECT_TRUE(hasOpenQueries(first));
  waitForDnsblResults(first, nullptr);
  waitForDnsblResults(second, nullptr);
  EXPECT_EQ(label(first), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(label(second), "SPAM Test List 192.0.2.10");
  EXPECT_EQ(askedFor("10.2.0.192.bl.test"), 1);
  EXPECT_EQ(askedFor("10.2.0.192.two.test"), 1);
}

TEST_F(ScriptedServer, NoSuchNameIsRememberedButAServerFailureIsAskedAgain) {
  serve([](const DnsRequest& request) {
    return reply(request, request.name.starts_with("10.") ? kNxDomain : kServFail);
  });
  useLists({kTestList}, server_->server());
  EXPECT_EQ(label(judged("192.0.2.10")), "PASS");
  EXPECT_EQ(label(judged("192.0.2.66")), "PASS");
  int failuresAsked = askedFor("66.2.0.192.bl.test");
  EXPECT_GE(failuresAsked, 1);
  EXPECT_EQ(label(judged("192.0.2.10")), "PASS");
  EXPECT_EQ(label(judged("192.0.2.66")), "PASS");
  EXPECT_EQ(askedFor("10.2.0.192.bl.test"), 1);
  EXPECT_EQ(cacheLookup(ip("192.0.2.10"), "TEST"), CacheAnswer::NotListed);
  EXPECT_GT(askedFor("66.2.0.192.bl.test"), failuresAsked);
  EXPECT_EQ(cacheLookup(ip("192.0.2.66"), "TEST"), CacheAnswer::Unknown);
}

TEST_F(ScriptedServer, AListingWaitsForTheProviderListAboutTheSameRelay) {
  // The provider list answers later than the blacklist. Whether the relay is a
  // provider's own server decides the verdict, so the wait goes on until it knows.
  serve([](const DnsRequest& request) {
    if (request.name.ends_with("bl.test")) {
      return reply(request, 0, {kListed});
    }
    bool provider = request.name.starts_with("20.");
    return provider ? reply(request, 0, {kListed}, 300) : reply(request, kNxDomain, {}, 300);
  });
  useLists({kTestList, {"ISP", "Provider", "isp.test", "PROVIDER-IGNORE", {}}}, server_->server());
  EXPECT_EQ(label(judged("192.0.2.11")), "SPAM Test List 192.0.2.11");
  EXPECT_FALSE(isSpamVerdict(judged("192.0.2.20")));
}

TEST_F(ScriptedServer, AListingEndsTheWaitUnlessAProviderLookupIsStillRunning) {
  // The second list never answers; the message is decided without it.
  serve([](const DnsRequest& request) {
    return request.name.ends_with("bl.test") ? reply(request, 0, {kListed})
                                             : std::vector<DnsDatagram>{};
  });
  useLists({kTestList, {"SLOW", "Slow List", "slow.test", "STANDARD", {}}}, server_->server(), 2);
  EXPECT_EQ(label(judged("192.0.2.10")), "SPAM Test List 192.0.2.10");
  // When it is a provider list, the wait runs to its end for the answer, which never
  // comes: the relay may be a provider's, so the listing does not count.
  useLists({kTestList, {"ISP", "Provider", "isp.test", "PROVIDER-IGNORE", {}}}, server_->server(),
           2);
  EXPECT_EQ(label(judged("192.0.2.10")), "PASS TIME-OUT 1");
  EXPECT_EQ(askedFor("10.2.0.192.bl.test"), 1) << "the cached listing is asked for once";
}

TEST_F(ScriptedServer, ATimeOutNamesTheOpenLookups) {
  SilentUdpPort silent;
  useLists({kTestList, {"SECOND", "Second List", "two.test", "STANDARD", {}}}, silent.server(), 0);
  Verdict timedOut = judged("192.0.2.10");
  EXPECT_EQ(timedOut.source, KM_SOURCE_DNSBL_TIMEOUT);
  EXPECT_EQ(label(timedOut), "PASS TIME-OUT 2");
  // A message whose answers are all known is not timed out.
  useLists({kTestList}, silent.server(), 0);
  cacheStore(ip("192.0.2.12"), "TEST", true);
  EXPECT_EQ(label(judged("192.0.2.12")), "SPAM Test List 192.0.2.12");
}

// Replies no resolver should trip over: each case names what the message becomes.
TEST_F(ScriptedServer, HostileRepliesLeaveTheMessageJudgedSafely) {
  serve([](const DnsRequest& request) {
    std::string bytes = dnsReply(request, 0, {kListed});
    if (request.name.starts_with("2.")) { // cut in the middle of its record
      return std::vector<DnsDatagram>{{bytes.substr(0, bytes.size() - 3), 0}};
    }
    if (request.name.starts_with("3.")) { // no A record at all
      return reply(request, 0);
    }
    if (request.name.starts_with("4.")) { // many records, one of them listing
      std::vector<ResolvedAddress> many(201, ResolvedAddress{127, 0, 0, 9});
      many[150] = kListed;
      return reply(request, 0, many);
    }
    return reply(request, 0, {kListed}, 3000); // after the deadline
  });
  useLists({{"CODE", "Coded", "bl.test", "STANDARD", {"127.0.0.2"}}}, server_->server(), 1);
  EXPECT_EQ(label(judged("192.0.2.2")), "PASS");
  EXPECT_EQ(label(judged("192.0.2.3")), "PASS");
  EXPECT_EQ(cacheLookup(ip("192.0.2.3"), "CODE"), CacheAnswer::NotListed);
  EXPECT_EQ(label(judged("192.0.2.4")), "SPAM Coded 192.0.2.4");
  EXPECT_EQ(label(judged("192.0.2.6")), "PASS TIME-OUT 1");
}

// Shutdown with lookups in flight for many messages: the waits end at once as
// time-outs, the workers leave, and the engine keeps no query and no waiter.
TEST_F(ScriptedServer, ShutdownWithTenThousandMessagesWaitingLeavesNothingBehind) {
  SilentUdpPort silent;
  useLists({kTestList, {"SECOND", "Second List", "two.test", "STANDARD", {}}}, silent.server(), 1);
  constexpr int kMessages = 10000;
  for (int n = 0; n < kMessages; ++n) {
    filtered("Received: from a ([198.51.100." + std::to_string(n % 250) + "]) by b ([203.0.113." +
             std::to_string(n % 7) + "])\r\n");
  }
  DnsblEngineCounts inFlight = dnsblEngineCounts();
  EXPECT_EQ(inFlight.queries, 2u * (250 + 7));
  EXPECT_EQ(inFlight.waiters, 4u * kMessages);
  EXPECT_GE(inFlight.workers, 1);
  raiseStopFlag();
  int timedOut = 0;
  for (MessagePtr& message : messages_) {
    waitForDnsblResults(*message, nullptr);
    // Lookups that failed meanwhile answered their messages; the others timed out.
    bool ended = message->verdict.source == KM_SOURCE_DNSBL_TIMEOUT;
    EXPECT_TRUE(ended || !hasOpenQueries(*message));
    timedOut += ended ? 1 : 0;
  }
  EXPECT_GT(timedOut, 0);
  // endWorkers (at the end of the test) checks that nothing is left.
}

std::unique_ptr<DnsblQuery> query(DnsblQueryKind kind, DnsblQueryType type, std::string name,
                                  int32_t source = 1, uint32_t weight = 1) {
  auto made = std::make_unique<DnsblQuery>();
  made->kind = kind;
  made->type = type;
  made->name = std::move(name);
  made->weight = weight;
  DnsblWaiter waiter;
  waiter.evidence.source = source;
  made->waiters.push_back(waiter);
  return made;
}

TEST(PickQuery, HostNamesThenProvidersThenTheRestByUrgencyAndWeight) {
  DnsblQueryTable table;
  table.push_back(query(DnsblQueryKind::Listing, DnsblQueryType::DnsblName, "listing"));
  table.push_back(query(DnsblQueryKind::Provider, DnsblQueryType::DnsblName, "provider"));
  table.push_back(query(DnsblQueryKind::HostName, DnsblQueryType::HostName, "host"));
  table.push_back(query(DnsblQueryKind::Whitelisting, DnsblQueryType::HostCheck, "white check"));
  std::vector<std::string> order;
  while (DnsblQuery* picked = pickQuery(table, 0)) {
    EXPECT_EQ(picked->state, DnsblQueryState::Resolving);
    order.push_back(picked->name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"host", "white check", "provider", "listing"}));

  // The most urgent waiter comes before the passes.
  table.push_back(
      query(DnsblQueryKind::HostName, DnsblQueryType::HostName, "host", KM_SOURCE_HEADERS));
  table.push_back(
      query(DnsblQueryKind::Listing, DnsblQueryType::DnsblName, "from a plug-in", KM_SOURCE_OTHER));
  table.push_back(
      query(DnsblQueryKind::Listing, DnsblQueryType::DnsblName, "answered", KM_SOURCE_OTHER));
  table.back()->state = DnsblQueryState::Positive;
  EXPECT_EQ(pickQuery(table, 0)->name, "from a plug-in");
  EXPECT_EQ(pickQuery(table, 0)->name, "host");
  EXPECT_EQ(pickQuery(table, 0), nullptr);

  // Lists that often list are drawn more often.
  for (auto [random, expected] :
       {std::pair{0u, "rarely"}, std::pair{1u, "rarely"}, std::pair{2u, "often"},
        std::pair{99u, "often"}, std::pair{101u, "rarely"}}) {
    DnsblQueryTable weighted;
    weighted.push_back(query(DnsblQueryKind::Listing, DnsblQueryType::DnsblName, "rarely", 1, 1));
    weighted.push_back(query(DnsblQueryKind::Listing, DnsblQueryType::DnsblName, "often", 1, 99));
    EXPECT_EQ(pickQuery(weighted, random)->name, expected) << random;
  }
}

} // namespace
} // namespace km::test
