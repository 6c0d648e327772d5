// The rules of the DNSBL engine that need no lookup: which query a worker takes
// next, and which answers make other queries unnecessary.
#include <gtest/gtest.h>

#include "filter/dnsbl_queries.h"

namespace km {
namespace {

std::unique_ptr<DnsblQuery> query(int32_t kind, int32_t type, std::string name, int32_t source = 1,
                                  uint32_t weight = 1) {
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

TEST(PickQuery, HostNamesFirstThenProvidersThenTheRest) {
  DnsblQueryTable table;
  table.push_back(query(KIND_LISTING, TYPE_DNSBL_NAME, "listing"));
  table.push_back(query(KIND_PROVIDER, TYPE_DNSBL_NAME, "provider"));
  table.push_back(query(KIND_HOST_NAME, TYPE_HOST_NAME, "host"));
  table.push_back(query(KIND_WHITELISTING, TYPE_HOST_CHECK, "white check"));
  std::vector<std::string> order;
  while (DnsblQuery* picked = pickQuery(table, 0)) {
    EXPECT_EQ(picked->state, QUERY_RESOLVING);
    order.push_back(picked->name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"host", "white check", "provider", "listing"}));
}

TEST(PickQuery, TheMostUrgentWaiterComesBeforeThePasses) {
  DnsblQueryTable table;
  table.push_back(query(KIND_HOST_NAME, TYPE_HOST_NAME, "host", KM_SOURCE_HEADERS));
  table.push_back(query(KIND_LISTING, TYPE_DNSBL_NAME, "from a plug-in", KM_SOURCE_OTHER));
  table.push_back(query(KIND_LISTING, TYPE_DNSBL_NAME, "answered", KM_SOURCE_OTHER));
  table.back()->state = QUERY_POSITIVE;
  EXPECT_EQ(pickQuery(table, 0)->name, "from a plug-in");
  EXPECT_EQ(pickQuery(table, 0)->name, "host");
  EXPECT_EQ(pickQuery(table, 0), nullptr);
}

TEST(PickQuery, ListsThatOftenListAreDrawnMoreOften) {
  for (auto [random, expected] :
       {std::pair{0u, "rarely"}, std::pair{1u, "rarely"}, std::pair{2u, "often"},
        std::pair{99u, "often"}, std::pair{101u, "rarely"}}) {
    DnsblQueryTable table;
    table.push_back(query(KIND_LISTING, TYPE_DNSBL_NAME, "rarely", 1, 1));
    table.push_back(query(KIND_LISTING, TYPE_DNSBL_NAME, "often", 1, 99));
    EXPECT_EQ(pickQuery(table, random)->name, expected) << random;
  }
}

TEST(Answers, ProvidersAndListingsOfOneAddress) {
  auto about = [](int32_t kind, int32_t type, Ipv4Address ip, int32_t state) {
    auto made = query(kind, type, "q");
    made->ip = ip;
    made->state = state;
    return made;
  };
  const Ipv4Address relay{192, 0, 2, 10};
  const Ipv4Address other{192, 0, 2, 11};
  auto provider = about(KIND_PROVIDER, TYPE_DNSBL_NAME, relay, QUERY_POSITIVE);
  auto listing = about(KIND_LISTING, TYPE_DNSBL_NAME, relay, QUERY_POSITIVE);
  auto blackListed = about(KIND_LISTING, TYPE_BLACKLIST_HIT, relay, QUERY_POSITIVE);
  auto elsewhere = about(KIND_LISTING, TYPE_DNSBL_NAME, other, QUERY_QUEUED);

  EXPECT_TRUE(answers(*provider, *listing, false, true));
  EXPECT_FALSE(answers(*listing, *provider, false, true));
  EXPECT_FALSE(answers(*provider, *elsewhere, false, true));
  // Two listings of one address: one is enough, unless only other types may answer.
  auto secondListing = about(KIND_LISTING, TYPE_DNSBL_NAME, relay, QUERY_QUEUED);
  EXPECT_TRUE(answers(*listing, *secondListing, false, true));
  EXPECT_FALSE(answers(*listing, *secondListing, false, false));
  EXPECT_TRUE(answers(*listing, *blackListed, false, true));
  EXPECT_TRUE(answers(*blackListed, *listing, false, false));
  EXPECT_FALSE(answers(*listing, *listing, true, true));

  // An unfinished provider query counts only when asked to; a negative one never.
  provider->state = QUERY_RESOLVING;
  EXPECT_FALSE(answers(*provider, *listing, false, true));
  EXPECT_TRUE(answers(*provider, *listing, true, true));
  provider->state = QUERY_NEGATIVE;
  EXPECT_FALSE(answers(*provider, *listing, true, true));

  // A listing makes a host-name lookup of the same message unnecessary.
  auto host = about(KIND_HOST_NAME, TYPE_HOST_NAME, {}, QUERY_QUEUED);
  EXPECT_TRUE(answers(*listing, *host, false, true));
  EXPECT_FALSE(answers(*host, *listing, true, true));
}

} // namespace
} // namespace km
