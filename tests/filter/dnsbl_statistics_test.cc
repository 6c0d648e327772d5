#include <gtest/gtest.h>

#include "config/config.h"
#include "filter/dnsbl_statistics.h"

namespace km {
namespace {

Config configWithLists(std::initializer_list<const char*> keys) {
  Config config;
  for (const char* key : keys) {
    DnsblList list;
    list.key = key;
    config.dnsblLists.push_back(list);
  }
  return config;
}

std::array<std::string, 6> cellsOf(std::string_view key) {
  for (const DnsblStatisticsRow& row : dnsblStatisticsRows()) {
    if (row.name == key) {
      return row.cells;
    }
  }
  ADD_FAILURE() << "no row " << key;
  return {};
}

class DnsblStatisticsTest : public ::testing::Test {
protected:
  void SetUp() override {
    syncDnsblStatisticsLists(Config{}); // forget the counters of earlier tests
    syncDnsblStatisticsLists(configWithLists({"SBL", "SPAMCOP", "XBL"}));
  }
};

TEST_F(DnsblStatisticsTest, TextsAreRefreshedAtMostEveryFourSeconds) {
  countDnsblAnswer("SBL", true, 120, 50000); // the first answer shows at once
  EXPECT_EQ(cellsOf("SBL"), (std::array<std::string, 6>{"SBL", "1", "1", "0", "100.0%", "0.120s"}));

  countDnsblAnswer("SBL", false, 30, 53999);
  countDnsblAnswer("XBL", false, 7, 53999);
  EXPECT_EQ(cellsOf("SBL")[kDnsblColumnQueries], "1");
  EXPECT_EQ(cellsOf("XBL")[kDnsblColumnQueries], "0");
  EXPECT_TRUE(dnsblStatisticsRows()[0].changed);

  countDnsblAnswer("SBL", false, 1, 54000);
  EXPECT_EQ(cellsOf("SBL"), (std::array<std::string, 6>{"SBL", "3", "1", "2", "33.3%", "0.050s"}));
  EXPECT_EQ(cellsOf("XBL"), (std::array<std::string, 6>{"XBL", "1", "0", "1", "0.0%", "0.007s"}));
  EXPECT_FALSE(dnsblStatisticsRows()[0].changed);

  countDnsblAnswer("XBL", true, 7, 55000);
  refreshDnsblStatistics(55001);
  EXPECT_EQ(cellsOf("XBL")[kDnsblColumnHitRate], "50.0%");
}

TEST_F(DnsblStatisticsTest, RowsFollowTheDefinedListsAndCountTheirAnswersOnly) {
  ASSERT_EQ(dnsblStatisticsRows().size(), 3u);
  EXPECT_EQ(cellsOf("SPAMCOP"), (std::array<std::string, 6>{"SPAMCOP", "0", "0", "0", "", ""}));
  countDnsblAnswer("spamcop", true, 100, 10000);
  countDnsblAnswer("SPAMCOP", false, 50, 10000);
  countDnsblAnswer("UNKNOWN", true, 10, 10000);
  std::optional<DnsblCounts> counts = dnsblListCounts("SpamCop");
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->queries, 2u);
  EXPECT_EQ(counts->listed, 1u);
  EXPECT_EQ(counts->notListed, 1u);
  EXPECT_EQ(counts->totalMs, 150u);
  EXPECT_FALSE(dnsblListCounts("UNKNOWN"));

  countDnsblAnswer("SBL", true, 10, 90000);
  countDnsblAnswer("XBL", true, 10, 90000);
  syncDnsblStatisticsLists(configWithLists({"NEW", "sbl"}));
  std::vector<DnsblStatisticsRow> rows = dnsblStatisticsRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "NEW");
  EXPECT_EQ(rows[1].name, "sbl");
  EXPECT_EQ(rows[1].counts.listed, 1u);
  EXPECT_EQ(rows[1].cells[kDnsblColumnQueries], "1");
  EXPECT_FALSE(dnsblListCounts("XBL"));
  syncDnsblStatisticsLists(configWithLists({"XBL"}));
  EXPECT_EQ(dnsblListCounts("XBL")->queries, 0u);
}

} // namespace
} // namespace km
