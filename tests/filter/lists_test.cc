#include <gtest/gtest.h>

#include "config/config.h"
#include "config/data_dir.h"
#include "config/lists.h"
#include "platform/ipv4.h"
#include "support/test_support.h"

namespace km {
namespace {

Ipv4Address ip(std::string_view text) {
  Ipv4Address address{255, 255, 255, 255};
  if (text != "255.255.255.255") {
    EXPECT_TRUE(parseIpv4(text, address)) << text;
  }
  return address;
}

Netblock block(const char* low, const char* high) {
  return Netblock{ip(low), ip(high)};
}

TEST(ParseIpv4, AcceptsOnlyTheDottedDecimalFormAndLeavesTheOutputAloneOtherwise) {
  Ipv4Address address{};
  ASSERT_TRUE(parseIpv4("10.0.0.1 trailing words", address));
  EXPECT_EQ(address, (Ipv4Address{10, 0, 0, 1}));
  address = {1, 2, 3, 4};
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.x", "1..2.3",
                          "255.255.255.255", "1.2.3.4/8", "-1.2.3.4"}) {
    EXPECT_FALSE(parseIpv4(bad, address)) << bad;
  }
  EXPECT_EQ(address, (Ipv4Address{1, 2, 3, 4}));
}

TEST(ParseNetblock, ReadsAddressesRangesAndBlocksAndRefusesTheRest) {
  const std::pair<const char*, Netblock> good[] = {
      {"192.0.2.7", block("192.0.2.7", "192.0.2.7")},
      {"   10.0.0.1 - 10.0.0.9", block("10.0.0.1", "10.0.0.9")},
      {"10.0.0.9-10.0.0.1", block("10.0.0.1", "10.0.0.9")}, // backwards: the forward range
      {"10.0.0.1-10.0.0.5 spam house", block("10.0.0.1", "10.0.0.5")},
      {"200.0.0.0-255.255.255.255", block("200.0.0.0", "255.255.255.255")},
      {"127.0.0.0/8", block("127.0.0.0", "127.255.255.255")},
      {"198.51.100.3/ 32", block("198.51.100.3", "198.51.100.3")},
      {"203.0.113.9/0", block("0.0.0.0", "255.255.255.255")},
      {"192.168.1.77/24", block("192.168.1.0", "192.168.1.255")}, // host bits cleared
      {"172.20.5.5/12", block("172.16.0.0", "172.31.255.255")},
  };
  for (const auto& [text, expected] : good) {
    Netblock parsed;
    ASSERT_TRUE(ParseNetblock(text, parsed)) << text;
    EXPECT_EQ(parsed, expected) << text;
  }
  for (const std::string& bad : std::initializer_list<std::string>{
           "", "   ", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/ 8 x",
           "255.255.255.255", "10.0.0.1-", "10.0.0.1-10.0.0", "10.0.0.1 junk", "example.com",
           "1.2.3.4.5/8", "-10.0.0.1", std::string(200, '1')}) {
    Netblock parsed;
    EXPECT_FALSE(ParseNetblock(bad, parsed)) << bad;
  }
}

TEST(ParseListAddress, FindsTheAddressInTheWaysPeopleWriteIt) {
  for (const auto& [line, expected] : std::initializer_list<std::pair<const char*, const char*>>{
           {"joe@example.com", "joe@example.com"},
           {"Joe Bloggs <joe@example.com>", "joe@example.com"},
           {"From: joe@example.com", "joe@example.com"},
           {"From:joe@example.com", "joe@example.com"},
           {"*@example.com", "*@example.com"},
           {"  *.example.org  ", "*.example.org"},
           {"newsletter", "newsletter"}}) {
    std::string out;
    EXPECT_TRUE(ParseListAddress(line, out)) << line;
    EXPECT_EQ(out, expected);
  }
  for (const char* nothing : {"", "    ", "# just a comment", "@example.com", "joe@", "<@>"}) {
    std::string out;
    EXPECT_FALSE(ParseListAddress(nothing, out)) << nothing;
  }
}

TEST(MatchEmailPattern, StarsStandForAnyRunAndFixedPartsNeverOverlap) {
  for (const auto& [pattern, address, matches] :
       std::initializer_list<std::tuple<const char*, const char*, bool>>{
           {"*@example.com", "JOE@Example.COM", true},
           {"*@example.com", "joe@example.com.evil.net", false},
           {"*@example.com", "joe@sub.example.community", false},
           {"joe@*", "joe@anywhere.org", true},
           {"joe@*", "joey@anywhere.org", false},
           {"Joe@Example.com", "joe@example.COM", true},
           {"joe@example.com", "joe@example.co", false},
           {"*", "", true},
           {"**", "a", true},
           {"ab*ba", "aba", false}, // the wildcard overlap case
           {"ab*ba", "abba", true},
           {"a*b*c", "axxbyyc", true},
           {"a*c*b", "axxbyyc", false},
           {"*sales*@*.example.com", "eu-sales-team@mail.example.com", true},
           {"*sales*@*.example.com", "eu-sales-team@example.com", false},
           {"x*@b*@b", "x@b", false}, // an inner piece may not reach into the fixed tail
       }) {
    EXPECT_EQ(MatchEmailPattern(pattern, address), matches) << pattern << " " << address;
  }
}

// The indexes must give exactly what a walk through the list in order gives.
TEST(PatternIndex, FindsTheSameFirstMatchAsAWalkInOrder) {
  std::vector<std::string> patterns = {
      "*sales*@*",     "boss@Example.com",  "*@example.com", "*.example.org", "joe@*",
      "*@example.com", "JOE@elsewhere.net", "a*b",           "*@EXAMPLE.NET", "*",
  };
  PatternIndex index(patterns);
  for (const char* address :
       {"boss@example.com", "joe@example.com", "eu-sales@x.y", "x@mail.example.org",
        "joe@elsewhere.net", "JOE@anywhere", "ab", "someone@example.net", "nobody@nowhere", "", "@",
        "x@example.com.evil"}) {
    std::optional<size_t> walked;
    for (size_t i = 0; i < patterns.size() && !walked; ++i) {
      walked = MatchEmailPattern(patterns[i], address) ? std::optional<size_t>(i) : std::nullopt;
    }
    EXPECT_EQ(index.firstMatch(address), walked) << address;
  }
  EXPECT_EQ(PatternIndex({"a@b", "c@d"}).firstMatch("C@D"), 1u);
  EXPECT_FALSE(PatternIndex({"a@b", "c@d"}).firstMatch("e@f"));
  EXPECT_FALSE(PatternIndex().firstMatch("a@b"));
}

TEST(NetblockIndex, AnswersLikeTheListItMerges) {
  std::vector<Netblock> blocks;
  for (const char* entry : {"10.0.0.0/8", "10.1.0.0/16", "192.0.2.1-192.0.2.9", "192.0.2.10",
                            "198.51.100.255", "0.0.0.0", "203.0.113.0-255.255.255.255"}) {
    Netblock b;
    ASSERT_TRUE(ParseNetblock(entry, b)) << entry;
    blocks.push_back(b);
  }
  NetblockIndex index(blocks);
  EXPECT_EQ(index.rangeCount(), 5u) << "touching and nested blocks are merged";
  for (const char* text : {"10.0.0.0", "10.255.255.255", "11.0.0.0", "9.255.255.255", "192.0.2.1",
                           "192.0.2.10", "192.0.2.11", "192.0.2.0", "0.0.0.0", "0.0.0.1",
                           "198.51.100.255", "203.0.112.255", "240.0.0.1"}) {
    EXPECT_EQ(index.contains(ip(text)), netblocksContain(blocks, ip(text))) << text;
  }
  EXPECT_TRUE(netblocksContain(blocks, {192, 0, 2, 5}));
  EXPECT_FALSE(netblocksContain(blocks, {192, 0, 2, 11}));
  EXPECT_TRUE(index.contains({255, 255, 255, 255}));
  EXPECT_FALSE(NetblockIndex().contains({1, 2, 3, 4}));
}

class LoadListsTest : public ::testing::Test {
protected:
  void write(const std::string& name, const std::string& text) {
    test::writeFile(data_.file(name), text);
  }
  test::DataDirScope data_;
  test::NotifierScope notices_;
};

TEST_F(LoadListsTest, FilesAreCleanedAndReadInOrder) {
  write("blist_ip.dat", "# spam sources\n192.0.2.0/24 # a comment\n  198.51.100.1  \n"
                        "not an address\n203.0.113.0-203.0.113.9\r\n");
  write("wlist_ip.dat", "127.0.0.0/8\n");
  write("blist_email.dat", "From: bad@example.net\n*@spam.example\x01hidden@example\n\n");
  write("wlist_email.dat", "Friend <friend@example.org>\n");
  write("ip_allow.dat", "192.168.0.0/16\n");
  write("auto_wlist_from_never.dat", "*@mailing.example\n");
  write("extra_bl", "10.9.9.9\n");
  Config config;
  config.whitelistIp = {block("10.0.0.0", "10.255.255.255")};
  config.ipAllowList = {block("127.0.0.1", "127.0.0.1")};
  config.extraBlistIpFiles = {data_.file("extra_bl")};
  LoadLists(config);

  ASSERT_EQ(config.blacklistIp.size(), 4u);
  EXPECT_EQ(config.blacklistIp[0], block("192.0.2.0", "192.0.2.255"));
  EXPECT_EQ(config.blacklistIp[1], block("198.51.100.1", "198.51.100.1"));
  EXPECT_EQ(config.blacklistIp[3], block("10.9.9.9", "10.9.9.9"));
  ASSERT_EQ(config.whitelistIp.size(), 2u) << "the built-in blocks stay at the head";
  EXPECT_EQ(config.blacklistEmail, (std::vector<std::string>{"bad@example.net", "*@spam.example"}));
  EXPECT_EQ(config.whitelistEmail, (std::vector<std::string>{"friend@example.org"}));
  ASSERT_EQ(config.ipAllowList.size(), 2u);
  EXPECT_EQ(config.ipAllowList[1], block("192.168.0.0", "192.168.255.255"));
  EXPECT_EQ(config.neverAutoWhitelist, (std::vector<std::string>{"*@mailing.example"}));
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(LoadListsTest, MissingMainFilesAreEmptyButMissingExtraFilesAreReported) {
  Config config;
  config.extraWlistFromFiles = {data_.file("nowhere.txt")};
  LoadLists(config);
  EXPECT_TRUE(config.blacklistIp.empty());
  EXPECT_TRUE(config.whitelistEmail.empty());
  ASSERT_EQ(notices_.notifier().count(), 1u);
  EXPECT_NE(notices_.notifier().notices()[0].text.find(data_.file("nowhere.txt")),
            std::string::npos);
}

} // namespace
} // namespace km
