#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "filter/filtering_statistics.h"
#include "platform/calendar.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::writeFile;

constexpr int64_t kDay = 86400;
constexpr int64_t kMondayNoon = 1796644800; // Mon 7 Dec 2026 12:00 UTC

// Days are local dates: the tests choose the time zone.
class TimeZoneScope {
public:
  explicit TimeZoneScope(const char* zone) {
    if (const char* was = std::getenv("TZ")) {
      previous_ = was;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TimeZoneScope() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

private:
  std::optional<std::string> previous_;
};

std::vector<std::string> dates() {
  std::vector<std::string> texts;
  for (const DayStatistics& day : dayStatisticsRows()) {
    texts.push_back(day.dateText);
  }
  return texts;
}

class FilteringStatisticsTest : public ::testing::Test {
protected:
  FilteringStatisticsTest() { forgetFilteringStatistics(); }
  ~FilteringStatisticsTest() override { forgetFilteringStatistics(); }

  TimeZoneScope zone_{"UTC"};
  test::DataDirScope data_;
  test::NotifierScope notices_;
};

TEST_F(FilteringStatisticsTest, AMessageCountsAsSpamOnlyWhenItIsNotWhitelisted) {
  struct Case {
    bool isSpam, isWhitelisted;
    DayStatistics expected;
  };
  const Case cases[] = {
      {true, false, {0, "", 1, 1, 0, 0}},
      {true, true, {0, "", 1, 0, 1, 1}},
      {false, true, {0, "", 1, 0, 1, 1}},
      {false, false, {0, "", 1, 0, 1, 0}},
  };
  for (const Case& c : cases) {
    forgetFilteringStatistics();
    countFilteredMessage(c.isSpam, c.isWhitelisted, kMondayNoon);
    std::vector<DayStatistics> rows = dayStatisticsRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dateText, "Mon 7 Dec 2026");
    EXPECT_EQ(rows[0].filtered, c.expected.filtered);
    EXPECT_EQ(rows[0].spam, c.expected.spam) << c.isSpam << c.isWhitelisted;
    EXPECT_EQ(rows[0].passed, c.expected.passed) << c.isSpam << c.isWhitelisted;
    EXPECT_EQ(rows[0].whitelisted, c.expected.whitelisted) << c.isSpam << c.isWhitelisted;
  }
}

TEST_F(FilteringStatisticsTest, ARestartShowsTheConfiguredDaysWithTheSavedCounters) {
  rebuildFilteringStatistics(7, kMondayNoon - 3 * kDay);
  countFilteredMessage(true, false, kMondayNoon - 3 * kDay);
  countFilteredMessage(false, true, kMondayNoon - 3 * kDay);
  countFilteredMessage(false, false, kMondayNoon - 1 * kDay);
  ASSERT_TRUE(saveFilteringStatistics());

  forgetFilteringStatistics();
  rebuildFilteringStatistics(7, kMondayNoon);
  loadFilteringStatistics();
  EXPECT_EQ(dates(), (std::vector<std::string>{"Mon 7 Dec 2026", "Sun 6 Dec 2026", "Sat 5 Dec 2026",
                                               "Fri 4 Dec 2026", "Thu 3 Dec 2026", "Wed 2 Dec 2026",
                                               "Tue 1 Dec 2026"}));
  std::vector<DayStatistics> rows = dayStatisticsRows();
  EXPECT_EQ(rows[1].filtered, 1u);
  EXPECT_EQ(rows[3].filtered, 2u);
  EXPECT_EQ(rows[3].spam, 1u);
  EXPECT_EQ(rows[3].whitelisted, 1u);
  EXPECT_EQ(rows[0].filtered, 0u);
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(FilteringStatisticsTest, RebuildingFillsTheMissingRecentDaysAndDropsTheOldest) {
  // Days counted while the program ran without a reload leave gaps.
  rebuildFilteringStatistics(3, kMondayNoon - 10 * kDay);
  countFilteredMessage(false, false, kMondayNoon - 4 * kDay);
  countFilteredMessage(false, false, kMondayNoon - 2 * kDay);
  ASSERT_EQ(dayStatisticsRows().size(), 5u);

  rebuildFilteringStatistics(7, kMondayNoon);
  EXPECT_EQ(dates(), (std::vector<std::string>{"Mon 7 Dec 2026", "Sun 6 Dec 2026", "Sat 5 Dec 2026",
                                               "Thu 3 Dec 2026", "Fri 27 Nov 2026",
                                               "Thu 26 Nov 2026", "Wed 25 Nov 2026"}));

  rebuildFilteringStatistics(2, kMondayNoon);
  EXPECT_EQ(dates(), (std::vector<std::string>{"Mon 7 Dec 2026", "Sun 6 Dec 2026"}));

  ASSERT_TRUE(saveFilteringStatistics());
  std::string file = readFile(data_.file("statistics.dat"));
  EXPECT_NE(file.find("Mon 7 Dec 2026"), std::string::npos);
  EXPECT_EQ(file.find("Sat 5 Dec 2026"), std::string::npos);
  // The day N days back may be there already: the search goes on past it.
  forgetFilteringStatistics();
  rebuildFilteringStatistics(1, kMondayNoon - 2 * kDay);
  countFilteredMessage(false, false, kMondayNoon);
  rebuildFilteringStatistics(3, kMondayNoon);
  EXPECT_EQ(dates(),
            (std::vector<std::string>{"Mon 7 Dec 2026", "Sun 6 Dec 2026", "Sat 5 Dec 2026"}));
}

TEST_F(FilteringStatisticsTest, DaysStayApartWhenTheClocksGoBack) {
  TimeZoneScope berlin("Europe/Berlin");
  // 23:30 on the 25-hour day: 24 hours earlier is still the same date.
  int64_t lateOnLongDay = 1792967400; // Sun 25 Oct 2026 22:30 UTC
  rebuildFilteringStatistics(3, lateOnLongDay);
  EXPECT_EQ(dates(),
            (std::vector<std::string>{"Sun 25 Oct 2026", "Sat 24 Oct 2026", "Fri 23 Oct 2026"}));
}

TEST_F(FilteringStatisticsTest, TheFileHasSixLinesPerDayInTableOrder) {
  rebuildFilteringStatistics(2, kMondayNoon - kDay);
  countFilteredMessage(true, false, kMondayNoon); // a new day, made last
  countFilteredMessage(false, true, kMondayNoon - 2 * kDay);
  ASSERT_TRUE(saveFilteringStatistics());
  EXPECT_EQ(readFile(data_.file("statistics.dat")), "DAY_SUMMARY\nSun 6 Dec 2026\n0\n0\n0\n0\n"
                                                    "DAY_SUMMARY\nSat 5 Dec 2026\n1\n0\n1\n1\n"
                                                    "DAY_SUMMARY\nMon 7 Dec 2026\n1\n1\n0\n0\n");
  EXPECT_EQ(dates(),
            (std::vector<std::string>{"Mon 7 Dec 2026", "Sun 6 Dec 2026", "Sat 5 Dec 2026"}));
}

TEST_F(FilteringStatisticsTest, ReadingSkipsWhatIsNoBlockAndKeepsCountersOfABlockCutShort) {
  std::string longLine(63, 'x');
  std::vector<SavedDayStatistics> blocks = parseFilteringStatistics(
      "noise\n"
      "day_summary with words\r\n"
      "Mon 7 Dec 2026\r\n"
      "12\n"
      "three\n"
      "-4\n"
      "2 apples\n" +
      longLine + "DAY_SUMMARY\n" + // the 64-byte buffer splits the long line
      "Sun 6 Dec 2026\x01tail\n"
      "5\n");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].dateText, "Mon 7 Dec 2026");
  EXPECT_EQ(blocks[0].counters, (std::vector<uint32_t>{12, 0, 0, 2}));
  EXPECT_EQ(blocks[1].dateText, "Sun 6 Dec 2026");
  EXPECT_EQ(blocks[1].counters, (std::vector<uint32_t>{5}));

  rebuildFilteringStatistics(2, kMondayNoon);
  countFilteredMessage(true, false, kMondayNoon - kDay);
  writeFile(data_.file("statistics.dat"), "DAY_SUMMARY\nsun 6 dec 2026\n5\n");
  loadFilteringStatistics();
  DayStatistics sunday = dayStatisticsRows()[1];
  EXPECT_EQ(sunday.filtered, 5u);
  EXPECT_EQ(sunday.spam, 1u) << "counters the block does not reach stay as they were";
}

TEST_F(FilteringStatisticsTest, AFileThatCannotBeWrittenIsReported) {
  rebuildFilteringStatistics(1, kMondayNoon);
  std::string path = data_.file("statistics.dat");
  writeFile(path, "DAY_SUMMARY\nMon 7 Dec 2026\n1\n1\n0\n0\n");
  ASSERT_TRUE(setFileMode(path, 0444));
  EXPECT_FALSE(saveFilteringStatistics());
  ASSERT_EQ(notices_.notifier().count(), 1u);
  EXPECT_NE(notices_.notifier().notices()[0].text.find("statistics.dat"), std::string::npos);
  EXPECT_EQ(readFile(path), "DAY_SUMMARY\nMon 7 Dec 2026\n1\n1\n0\n0\n") << "left whole";

  // Tried again at the next save; an unchanged table is not written again.
  ASSERT_TRUE(setFileMode(path, 0644));
  EXPECT_TRUE(saveFilteringStatistics());
  EXPECT_EQ(readFile(path), "DAY_SUMMARY\nMon 7 Dec 2026\n0\n0\n0\n0\n");
  ASSERT_TRUE(removeFile(path));
  EXPECT_TRUE(saveFilteringStatistics());
  EXPECT_FALSE(fileExists(path));
  countFilteredMessage(false, false, kMondayNoon);
  EXPECT_TRUE(saveFilteringStatistics());
  EXPECT_EQ(readFile(path), "DAY_SUMMARY\nMon 7 Dec 2026\n1\n0\n1\n0\n");
}

TEST(LocalDates, AreShortDayMonthNamesInTheUsersLanguage) {
  TimeZoneScope zone("UTC");
  EXPECT_EQ(localDateText(kMondayNoon), "Mon 7 Dec 2026");
  EXPECT_EQ(localDateText(kMondayNoon + 20 * kDay), "Sun 27 Dec 2026");
  EXPECT_EQ(localDateText(int64_t{1} << 60), "unknown");
}

} // namespace
} // namespace km
