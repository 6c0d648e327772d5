#include <gtest/gtest.h>

#include "filter/address_scan.h"

namespace km {
namespace {

std::vector<std::string> addresses(std::string_view text, size_t start = 0) {
  std::vector<std::string> found;
  size_t next = start;
  while (std::optional<std::string_view> address = ExtractEmailAddress(text, next, next)) {
    found.emplace_back(*address);
  }
  EXPECT_EQ(next, text.size());
  return found;
}

std::vector<std::string> relays(std::string_view text, size_t start = 0) {
  std::vector<std::string> found;
  size_t next = start;
  while (std::optional<Ipv4Address> ip = ExtractIpAddress(text, next, next)) {
    found.push_back(ipToString(*ip));
  }
  EXPECT_EQ(next, text.size());
  return found;
}

using Texts = std::vector<std::string>;

TEST(ExtractEmailAddress, TakesTheRunAroundEachAtSign) {
  EXPECT_EQ(addresses("From: \"Ann O'Neil\" <ann.o'neil+list@mail.example.com>"),
            (Texts{"ann.o'neil+list@mail.example.com"}));
  EXPECT_EQ(addresses("To: a@b.example, (comment c@d.example) e_f@g-h.example;"),
            (Texts{"a@b.example", "c@d.example", "e_f@g-h.example"}));
  EXPECT_EQ(addresses("x{|}~`#$%&*/=?^!@example.org"), (Texts{"x{|}~`#$%&*/=?^!@example.org"}));
  EXPECT_EQ(addresses("two@sign@s.example"), (Texts{"two@sign", "sign@s.example"}));
}

TEST(ExtractEmailAddress, SkipsAtSignsWithNothingOnOneSide) {
  EXPECT_EQ(addresses("lone @ sign, trailing@ and @leading, then real@one.example"),
            (Texts{"real@one.example"}));
  EXPECT_TRUE(addresses("no address here").empty());
  EXPECT_TRUE(addresses("").empty());
}

TEST(ExtractEmailAddress, StartsWhereItIsTold) {
  EXPECT_EQ(addresses("a@b.example c@d.example", 12), (Texts{"c@d.example"}));
}

TEST(ExtractIpAddress, FindsDottedAddressesAfterOpeners) {
  EXPECT_EQ(relays("from mx.example.net (mx.example.net [203.0.113.5]) by relay (198.51.100.7)"),
            (Texts{"203.0.113.5", "198.51.100.7"}));
  EXPECT_EQ(relays("192.0.2.1 at the start, user@192.0.2.2"), (Texts{"192.0.2.1", "192.0.2.2"}));
}

TEST(ExtractIpAddress, RefusesWhatIsNotAnAddress) {
  EXPECT_TRUE(relays("id 12.34; v1.2.3.4 x192.0.2.1 (1.2.3.4.5) [256.1.1.1] [1.2.3.]").empty());
  EXPECT_TRUE(relays("(255.255.255.255)").empty());
  // A refused run is skipped whole; what follows it is still searched.
  EXPECT_EQ(relays("[1.2.3] [10.0.0.1]"), (Texts{"10.0.0.1"}));
}

} // namespace
} // namespace km
