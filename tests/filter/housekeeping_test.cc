#include "config/config_fixture.h"
#include "filter/filter_fixture.h"
#include "platform/sync.h"

namespace km::test {
namespace {

int& housekeepingRuns() {
  static int runs = 0;
  return runs;
}

void countRun(KmPluginData, const volatile int32_t* closing) {
  EXPECT_EQ(*closing, 0);
  ++housekeepingRuns();
}

class HousekeepingTest : public ConfigTest {
protected:
  HousekeepingTest() { housekeepingRuns() = 0; }

  // The current configuration enables a plug-in that counts housekeeping runs.
  void loadWithPeriods(const std::string& periods) {
    int index = installPlugin({{"housekeeping", exported(countRun)}});
    load("ENABLED_PLUGIN " + installedPluginName(index) + "\n" + periods);
  }
};

TEST_F(HousekeepingTest, RunsAtMostOncePerHour) {
  loadWithPeriods("DNSBL_POSITIVE_CACHE_PERIOD 2,0\nDNSBL_NEGATIVE_CACHE_PERIOD 3,0\n");
  Housekeeping();
  Housekeeping();
  EXPECT_EQ(housekeepingRuns(), 1);
}

TEST_F(HousekeepingTest, AShortCachePeriodShortensTheInterval) {
  loadWithPeriods("DNSBL_POSITIVE_CACHE_PERIOD 0,0\n");
  Housekeeping();
  Housekeeping();
  EXPECT_EQ(housekeepingRuns(), 2);
}

TEST_F(HousekeepingTest, NothingRunsWhileTheProgramCloses) {
  loadWithPeriods("DNSBL_POSITIVE_CACHE_PERIOD 0,0\n");
  raiseStopFlag();
  Housekeeping();
  lowerStopFlagForTests();
  EXPECT_EQ(housekeepingRuns(), 0);
}

} // namespace
} // namespace km::test
