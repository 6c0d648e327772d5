#include <gtest/gtest.h>

#include "config/config.h"
#include "config/data_dir.h"
#include "filter/lists.h"
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

std::optional<Netblock> parsed(std::string_view text) {
  Netblock b;
  if (!ParseNetblock(text, b)) {
    return std::nullopt;
  }
  return b;
}

TEST(ParseNetblock, ReadsAddressesRangesAndBlocks) {
  EXPECT_EQ(parsed("192.0.2.7"), block("192.0.2.7", "192.0.2.7"));
  EXPECT_EQ(parsed("   10.0.0.1 - 10.0.0.9"), block("10.0.0.1", "10.0.0.9"));
  EXPECT_EQ(parsed("127.0.0.0/8"), block("127.0.0.0", "127.255.255.255"));
  EXPECT_EQ(parsed("198.51.100.3/ 32"), block("198.51.100.3", "198.51.100.3"));
  EXPECT_EQ(parsed("203.0.113.9/0"), block("0.0.0.0", "255.255.255.255"));
}

TEST(ParseNetblock, HostBitsOfABlockAreCleared) {
  EXPECT_EQ(parsed("192.168.1.77/24"), block("192.168.1.0", "192.168.1.255"));
  EXPECT_EQ(parsed("172.20.5.5/12"), block("172.16.0.0", "172.31.255.255"));
}

TEST(ParseNetblock, ARangeWrittenBackwardsIsTheForwardRange) {
  EXPECT_EQ(parsed("10.0.0.9-10.0.0.1"), block("10.0.0.1", "10.0.0.9"));
}

TEST(ParseNetblock, TheEndOfARangeMayBeTheLastAddress) {
  Netblock b = *parsed("200.0.0.0-255.255.255.255");
  EXPECT_EQ(b.high, (Ipv4Address{255, 255, 255, 255}));
  // Text after the end address is ignored.
  EXPECT_EQ(parsed("10.0.0.1-10.0.0.5 spam house"), block("10.0.0.1", "10.0.0.5"));
}

TEST(ParseNetblock, RefusesWhatIsNotAnEntry) {
  for (const char* bad : {"", "   ", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/", "10.0.0.0/8x",
                          "10.0.0.0/ 8 x", "255.255.255.255", "10.0.0.1-", "10.0.0.1-10.0.0",
                          "10.0.0.1 junk", "example.com", "1.2.3.4.5/8", "-10.0.0.1"}) {
    EXPECT_FALSE(parsed(bad)) << bad;
  }
  EXPECT_FALSE(parsed(std::string(200, '1')));
}

std::optional<std::string> address(std::string_view line) {
  std::string out;
  if (!ParseListAddress(line, out)) {
    return std::nullopt;
  }
  return out;
}

TEST(ParseListAddress, FindsTheAddressInTheWaysPeopleWriteIt) {
  EXPECT_EQ(address("joe@example.com"), "joe@example.com");
  EXPECT_EQ(address("Joe Bloggs <joe@example.com>"), "joe@example.com");
  EXPECT_EQ(address("From: joe@example.com"), "joe@example.com");
  EXPECT_EQ(address("From:joe@example.com"), "joe@example.com");
  EXPECT_EQ(address("*@example.com"), "*@example.com");
  EXPECT_EQ(address("  *.example.org  "), "*.example.org");
  EXPECT_EQ(address("newsletter"), "newsletter");
}

TEST(ParseListAddress, LinesWithoutAnEntryGiveNothing) {
  EXPECT_FALSE(address(""));
  EXPECT_FALSE(address("    "));
  EXPECT_FALSE(address("# just a comment"));
  EXPECT_FALSE(address("@example.com"));
  EXPECT_FALSE(address("joe@"));
  EXPECT_FALSE(address("<@>"));
}

TEST(MatchEmailPattern, StarsStandForAnyRunIgnoringCase) {
  EXPECT_TRUE(MatchEmailPattern("*@example.com", "JOE@Example.COM"));
  EXPECT_FALSE(MatchEmailPattern("*@example.com", "joe@example.com.evil.net"));
  EXPECT_FALSE(MatchEmailPattern("*@example.com", "joe@sub.example.community"));
  EXPECT_TRUE(MatchEmailPattern("joe@*", "joe@anywhere.org"));
  EXPECT_FALSE(MatchEmailPattern("joe@*", "joey@anywhere.org"));
  EXPECT_TRUE(MatchEmailPattern("Joe@Example.com", "joe@example.COM"));
  EXPECT_FALSE(MatchEmailPattern("joe@example.com", "joe@example.co"));
  EXPECT_TRUE(MatchEmailPattern("*", ""));
  EXPECT_TRUE(MatchEmailPattern("*", "anything@at.all"));
}

TEST(MatchEmailPattern, FixedPartsMustNotOverlap) {
  EXPECT_FALSE(MatchEmailPattern("ab*ba", "aba"));
  EXPECT_TRUE(MatchEmailPattern("ab*ba", "abba"));
}

TEST(MatchEmailPattern, InnerPiecesMatchInOrderAtTheirLeftmostPlace) {
  EXPECT_TRUE(MatchEmailPattern("a*b*c", "axxbyyc"));
  EXPECT_FALSE(MatchEmailPattern("a*c*b", "axxbyyc"));
  EXPECT_TRUE(MatchEmailPattern("*sales*@*.example.com", "eu-sales-team@mail.example.com"));
  EXPECT_FALSE(MatchEmailPattern("*sales*@*.example.com", "eu-sales-team@example.com"));
  // An inner piece may not reach into the fixed tail.
  EXPECT_FALSE(MatchEmailPattern("x*@b*@b", "x@b"));
  EXPECT_TRUE(MatchEmailPattern("**", "a"));
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

TEST_F(LoadListsTest, MatchingHelpersSearchWholeLists) {
  std::vector<Netblock> blocks = {block("10.0.0.0", "10.0.0.255"), block("192.0.2.5", "192.0.2.5")};
  EXPECT_TRUE(netblocksContain(blocks, {192, 0, 2, 5}));
  EXPECT_FALSE(netblocksContain(blocks, {192, 0, 2, 6}));
  EXPECT_FALSE(netblocksContain({}, {10, 0, 0, 1})) << "an empty list matches nothing";
  EXPECT_TRUE(patternsMatch({"a@b", "*@example.com"}, "x@EXAMPLE.com"));
  EXPECT_FALSE(patternsMatch({}, "x@example.com"));
}

} // namespace
} // namespace km

namespace km {
namespace {

// The index must give exactly what a walk through the list in order gives.
std::optional<size_t> firstByWalking(const std::vector<std::string>& patterns,
                                     std::string_view address) {
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (MatchEmailPattern(patterns[i], address)) {
      return i;
    }
  }
  return std::nullopt;
}

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
    EXPECT_EQ(index.firstMatch(address), firstByWalking(patterns, address)) << address;
  }
  PatternIndex noStar({"a@b", "c@d"});
  EXPECT_EQ(noStar.firstMatch("C@D"), 1u);
  EXPECT_FALSE(noStar.firstMatch("e@f"));
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
    Ipv4Address address = ip(text);
    EXPECT_EQ(index.contains(address), netblocksContain(blocks, address)) << text;
  }
  EXPECT_TRUE(index.contains({255, 255, 255, 255}));
  EXPECT_FALSE(NetblockIndex().contains({1, 2, 3, 4}));
}

} // namespace
} // namespace km
