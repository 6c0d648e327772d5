#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/resolver.h"
#include "support/dns_servers.h"

namespace km {
namespace {

using test::DnsDatagram;
using test::dnsReply;
using test::DnsRequest;
using test::FakeDnsServer;

LookupOptions askOnly(const NameServer& server) {
  LookupOptions options;
  options.server = server;
  options.timeoutSeconds = 1;
  options.attempts = 1;
  return options;
}

std::vector<ResolvedAddress> addresses(std::initializer_list<ResolvedAddress> list) {
  return list;
}

TEST(NameServerTest, ReadsAnAddressWithOrWithoutAPort) {
  EXPECT_EQ(parseNameServer("127.0.0.1"), (NameServer{{127, 0, 0, 1}, 53}));
  EXPECT_EQ(parseNameServer(" 192.0.2.53:5353 "), (NameServer{{192, 0, 2, 53}, 5353}));
  EXPECT_EQ(parseNameServer("10.1.2.3:65535"), (NameServer{{10, 1, 2, 3}, 65535}));
  for (const char* bad : {"", "127.0.0.1:", ":53", "127.0.0.1:0", "127.0.0.1:65536",
                          "127.0.0.1:53x", "ns.example:53", "1.2.3:53", "1.2.3.4.5", "::1"}) {
    EXPECT_FALSE(parseNameServer(bad)) << bad;
  }
}

// A real DNSBL server: listed single addresses and ranges with their own answers,
// unlisted addresses, the zone's own name and a zone it does not serve.
TEST(ResolverTest, TellsTheAnswersOfARealDnsblServerApart) {
  test::Rbldnsd server({{"bl.test", ":127.0.0.2:Listed\n192.0.2.10\n198.51.100.0/24 :127.0.0.4:\n"},
                        {"white.test", ":127.0.0.5:\n203.0.113.0/28\n"}});
  ASSERT_TRUE(server.running());
  LookupOptions options = askOnly(server.server());

  AddressLookup single = lookupDnsblName("10.2.0.192.bl.test", options);
  EXPECT_EQ(single.error, 0);
  EXPECT_EQ(single.addresses, addresses({{127, 0, 0, 2}}));

  AddressLookup range = lookupDnsblName("77.100.51.198.BL.test", options);
  EXPECT_EQ(range.error, 0);
  EXPECT_EQ(range.addresses, addresses({{127, 0, 0, 4}}));

  EXPECT_EQ(lookupDnsblName("15.113.0.203.white.test", options).addresses,
            addresses({{127, 0, 0, 5}}));

  AddressLookup unlisted = lookupDnsblName("11.2.0.192.bl.test", options);
  EXPECT_EQ(unlisted.error, wsa::kHostNotFound);
  EXPECT_TRUE(unlisted.addresses.empty());
  EXPECT_EQ(lookupDnsblName("16.113.0.203.white.test", options).error, wsa::kHostNotFound);

  EXPECT_EQ(lookupDnsblName("bl.test", options).error, wsa::kNoData);
  // A zone the server does not serve is refused: a failure of the name service.
  EXPECT_EQ(lookupDnsblName("10.2.0.192.other.test", options).error, wsa::kTryAgain);

  // The same thread may then ask another server.
  test::Rbldnsd second({{"bl.test", "192.0.2.11 :127.0.0.9:\n"}});
  ASSERT_TRUE(second.running());
  EXPECT_EQ(lookupDnsblName("11.2.0.192.bl.test", askOnly(second.server())).addresses,
            addresses({{127, 0, 0, 9}}));
  EXPECT_EQ(lookupDnsblName("11.2.0.192.bl.test", options).error, wsa::kHostNotFound);
}

TEST(ResolverTest, NoAnswerInTimeAndServerFailuresAreNotAnswers) {
  test::SilentUdpPort silent;
  AddressLookup timedOut = lookupDnsblName("10.2.0.192.bl.test", askOnly(silent.server()));
  EXPECT_EQ(timedOut.error, wsa::kTryAgain);

  FakeDnsServer failing([](const DnsRequest& request) {
    return std::vector<DnsDatagram>{{dnsReply(request, 2)}}; // SERVFAIL
  });
  EXPECT_EQ(lookupDnsblName("10.2.0.192.bl.test", askOnly(failing.server())).error, wsa::kTryAgain);
  EXPECT_EQ(failing.requestCount(), 1);
}

// Replies a hostile or broken server may send.
TEST(ResolverTest, SurvivesHostileReplies) {
  auto lookupWith = [](FakeDnsServer::Responder respond) {
    FakeDnsServer server(std::move(respond));
    return lookupDnsblName("10.2.0.192.bl.test", askOnly(server.server()));
  };
  auto reply = [](std::function<std::string(const DnsRequest&)> make) {
    return [make](const DnsRequest& request) {
      return std::vector<DnsDatagram>{{make(request)}};
    };
  };

  // Truncated, and nobody answers over TCP.
  AddressLookup truncated = lookupWith(reply([](const DnsRequest& request) {
    std::string message = dnsReply(request, 0);
    test::setDnsTruncatedFlag(message);
    return message;
  }));
  EXPECT_NE(truncated.error, 0);
  EXPECT_TRUE(truncated.addresses.empty());

  // More answers announced than sent, and a record cut in the middle.
  for (size_t cut : {size_t{0}, size_t{3}, size_t{11}}) {
    AddressLookup broken = lookupWith(reply([cut](const DnsRequest& request) {
      std::string message = dnsReply(request, 0, {{127, 0, 0, 2}});
      if (cut == 0) {
        test::setDnsAnswerCount(message, 5);
      } else {
        message.resize(message.size() - cut);
      }
      return message;
    }));
    EXPECT_EQ(broken.error, wsa::kNoRecovery) << cut;
    EXPECT_TRUE(broken.addresses.empty());
  }

  // A reply that says success but holds no address record.
  EXPECT_EQ(lookupWith(reply([](const DnsRequest& request) {
              std::string message = dnsReply(request, 0, {{127, 0, 0, 2}});
              message[message.size() - 5] = 3; // rdlength 3: not an address
              message.pop_back();
              return message;
            })).error,
            wsa::kNoData);

  // Many addresses: all of them, in order.
  std::vector<ResolvedAddress> many;
  for (int i = 0; i < 400; ++i) {
    many.push_back({127, 0, static_cast<uint8_t>(i / 256), static_cast<uint8_t>(i % 256)});
  }
  AddressLookup all =
      lookupWith(reply([&many](const DnsRequest& r) { return dnsReply(r, 0, many); }));
  EXPECT_EQ(all.error, 0);
  EXPECT_EQ(all.addresses, many);

  // Replies with the wrong id are ignored; the right one that follows counts.
  AddressLookup afterWrongId = lookupWith([](const DnsRequest& request) {
    std::string wrong = dnsReply(request, 0, {{127, 0, 0, 66}});
    test::setDnsId(wrong, static_cast<uint16_t>(request.id + 1));
    return std::vector<DnsDatagram>{{wrong}, {dnsReply(request, 0, {{127, 0, 0, 3}}), 100}};
  });
  EXPECT_EQ(afterWrongId.error, 0);
  EXPECT_EQ(afterWrongId.addresses, addresses({{127, 0, 0, 3}}));

  // A datagram too short for a header ends the query as a failure.
  AddressLookup scrap = lookupWith([](const DnsRequest& request) {
    return std::vector<DnsDatagram>{{dnsReply(request, 0).substr(0, 5)},
                                    {dnsReply(request, 0, {{127, 0, 0, 3}}), 100}};
  });
  EXPECT_NE(scrap.error, 0);
  EXPECT_TRUE(scrap.addresses.empty());

  // Records of other names cannot slip addresses in; an alias chain is followed.
  const std::string otherName("\x01x\x04test\x00", 8);
  const std::string otherAddress("\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x63", 14);
  AddressLookup foreign = lookupWith(reply([&](const DnsRequest& request) {
    std::string message = dnsReply(request, 0, {{127, 0, 0, 2}}) + otherName + otherAddress;
    test::setDnsAnswerCount(message, 2);
    return message;
  }));
  EXPECT_EQ(foreign.addresses, addresses({{127, 0, 0, 2}}));
  AddressLookup alias = lookupWith(reply([&](const DnsRequest& request) {
    std::string aliasRecord("\xc0\x0c\x00\x05\x00\x01\x00\x00\x00\x3c\x00\x08", 12);
    std::string message = dnsReply(request, 0) + aliasRecord + otherName + otherName + otherAddress;
    test::setDnsAnswerCount(message, 2);
    return message;
  }));
  EXPECT_EQ(alias.addresses, addresses({{127, 0, 0, 99}}));
}

TEST(ResolverTest, AReplyAfterTheDeadlineDoesNotAnswerTheNextQuery) {
  FakeDnsServer slowThenFast([](const DnsRequest& request) {
    bool late = request.name.starts_with("1.");
    return std::vector<DnsDatagram>{
        {dnsReply(request, 0, {{127, 0, 0, late ? uint8_t{66} : uint8_t{7}}}),
         late ? 1500u : 300u}};
  });
  LookupOptions options = askOnly(slowThenFast.server());
  EXPECT_EQ(lookupDnsblName("1.2.0.192.bl.test", options).error, wsa::kTryAgain);
  AddressLookup next = lookupDnsblName("2.2.0.192.bl.test", options);
  EXPECT_EQ(next.error, 0);
  EXPECT_EQ(next.addresses, addresses({{127, 0, 0, 7}}));
}

TEST(ResolverTest, HostNamesResolveThroughTheSystemOrTheChosenServer) {
  AddressLookup literal = lookupHostName("192.0.2.7", {});
  EXPECT_EQ(literal.error, 0);
  EXPECT_EQ(literal.addresses, addresses({{192, 0, 2, 7}}));

  AddressLookup local = lookupHostName("localhost", {});
  EXPECT_EQ(local.error, 0);
  EXPECT_NE(
      std::find(local.addresses.begin(), local.addresses.end(), ResolvedAddress{127, 0, 0, 1}),
      local.addresses.end());

  test::Rbldnsd server({{"hosts.test", ":192.0.2.99:\n127.0.0.8\n"}});
  ASSERT_TRUE(server.running());
  AddressLookup viaServer = lookupHostName("8.0.0.127.hosts.test", askOnly(server.server()));
  EXPECT_EQ(viaServer.addresses, addresses({{192, 0, 2, 99}}));
  EXPECT_EQ(lookupHostName("nowhere.hosts.test", askOnly(server.server())).error,
            wsa::kHostNotFound);
  EXPECT_NE(lookupDnsblName("", askOnly(server.server())).error, 0);
}

} // namespace
} // namespace km
