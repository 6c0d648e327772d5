#include <gtest/gtest.h>

#include "config/config.h"
#include "filter/dnsbl_statistics.h"
#include "filter/filtering_statistics.h"
#include "support/test_support.h"
#include "ui/statistics_model.h"

namespace km {
namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kMondayNoon = 1796644800; // Mon 7 Dec 2026 12:00 UTC

class StatisticsModelTest : public ::testing::Test {
protected:
  StatisticsModelTest() {
    test::loadShippedLanguageTable();
    forgetFilteringStatistics();
    syncDnsblStatisticsLists(Config{});
  }
  ~StatisticsModelTest() override {
    forgetFilteringStatistics();
    syncDnsblStatisticsLists(Config{});
  }
};

TEST_F(StatisticsModelTest, HoldsTheDaysNewestFirstWithTheirTotalAndTheDnsblRows) {
  rebuildFilteringStatistics(2, kMondayNoon);
  countFilteredMessage(true, false, kMondayNoon);
  countFilteredMessage(false, true, kMondayNoon);
  countFilteredMessage(false, false, kMondayNoon - kDay);
  Config config;
  config.dnsblLists.resize(2);
  config.dnsblLists[0].key = "SBL";
  config.dnsblLists[1].key = "XBL";
  syncDnsblStatisticsLists(config);
  countDnsblAnswer("SBL", true, 100);
  countDnsblAnswer("sbl", false, 20);
  countDnsblAnswer("SBL", false, 0);

  StatisticsModel model = statisticsModel();
  ASSERT_EQ(model.days.size(), 2u);
  EXPECT_EQ(model.days[0].filtered, 2u);
  EXPECT_EQ(model.days[1].passed, 1u);
  EXPECT_EQ(model.total.date, "Total");
  EXPECT_EQ(model.total.filtered, 3u);
  EXPECT_EQ(model.total.spam, 1u);
  EXPECT_EQ(model.total.passed, 2u);
  EXPECT_EQ(model.total.whitelisted, 1u);
  ASSERT_EQ(model.dnsbls.size(), 2u);
  EXPECT_EQ(model.dnsbls[0].queries, 3u);
  EXPECT_EQ(model.dnsbls[0].listed, 1u);
  EXPECT_EQ(model.dnsbls[0].hitRate, "33.3%") << "shown at once, not after four seconds";
  EXPECT_EQ(model.dnsbls[0].meanTime, "0.040s");
  EXPECT_EQ(model.dnsbls[1].hitRate, "");
  EXPECT_EQ(model.dayHeadings.size(), 5u);
  EXPECT_EQ(model.dnsblHeadings.size(), 6u);

  std::string text = statisticsText(model);
  EXPECT_NE(text.find("Total"), std::string::npos);
  EXPECT_NE(text.find("33.3%"), std::string::npos);
}

TEST_F(StatisticsModelTest, TextColumnsLineUpAndNumbersAlignRight) {
  StatisticsModel model;
  model.dayHeadings = {"Day", "Filtered", "Spam", "Passed", "Whitelisted"};
  model.days = {{"Mär 1", 1234, 5, 1229, 7}, {"Long day name", 1, 0, 1, 0}};
  model.total = {"Total", 1235, 5, 1230, 7};
  EXPECT_EQ(statisticsText(model), "Day            Filtered  Spam  Passed  Whitelisted\n"
                                   "Mär 1              1234     5    1229            7\n"
                                   "Long day name         1     0       1            0\n"
                                   "Total              1235     5    1230            7\n");
}

} // namespace
} // namespace km
