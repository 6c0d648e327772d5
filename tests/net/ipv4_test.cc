#include <gtest/gtest.h>

#include "net/ipv4.h"

namespace km {
namespace {

TEST(ParseIpv4, AcceptsTheDottedDecimalForm) {
  Ipv4Address address{};
  ASSERT_TRUE(parseIpv4("192.168.3.4", address));
  EXPECT_EQ(address, (Ipv4Address{192, 168, 3, 4}));
  ASSERT_TRUE(parseIpv4("10.0.0.1 trailing words", address));
  EXPECT_EQ(address, (Ipv4Address{10, 0, 0, 1}));
  EXPECT_TRUE(parseIpv4("0.0.0.0", address));
}

TEST(ParseIpv4, RefusesEverythingElseAndLeavesTheOutputAlone) {
  Ipv4Address address{1, 2, 3, 4};
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.x", "a.b.c.d", "1..2.3",
                          "255.255.255.255", "1.2.3.4/8", "-1.2.3.4"}) {
    EXPECT_FALSE(parseIpv4(bad, address)) << bad;
  }
  EXPECT_EQ(address, (Ipv4Address{1, 2, 3, 4}));
}

TEST(IpRanges, CompareByteByByteInNetworkOrder) {
  Netblock block{{10, 0, 0, 0}, {10, 255, 255, 255}};
  EXPECT_TRUE(ipInRange({10, 0, 0, 0}, block));
  EXPECT_TRUE(ipInRange({10, 255, 255, 255}, block));
  EXPECT_FALSE(ipInRange({11, 0, 0, 0}, block));
  EXPECT_FALSE(ipInRange({9, 255, 255, 255}, block));
  EXPECT_LT(ipCompare({1, 0, 0, 200}, {1, 0, 1, 0}), 0);
  EXPECT_EQ(ipCompare({7, 7, 7, 7}, {7, 7, 7, 7}), 0);
  EXPECT_EQ(ipToString({203, 0, 113, 255}), "203.0.113.255");
}

} // namespace
} // namespace km
