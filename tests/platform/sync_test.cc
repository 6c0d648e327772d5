#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"
#include "platform/threads.h"

namespace km {
namespace {

using namespace std::chrono_literals;

TEST(Event, AutoResetLetsOneWaitThroughManualResetStaysSignalled) {
  Event automatic;
  EXPECT_FALSE(automatic.wait(0ms));
  automatic.set();
  EXPECT_TRUE(automatic.wait(0ms));
  EXPECT_FALSE(automatic.wait(0ms));
  Event manual(Event::Reset::Manual);
  manual.set();
  EXPECT_TRUE(manual.wait(0ms));
  EXPECT_TRUE(manual.wait(0ms));
  manual.reset();
  EXPECT_FALSE(manual.wait(10ms));
}

TEST(StopFlag, RaisingItWakesWaitersOfTheShutdownEvent) {
  ASSERT_FALSE(stopRequested());
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = shutdownEvent().wait(10s); });
  sleepMs(20);
  raiseStopFlag();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(stopRequested());
  EXPECT_TRUE(shutdownEvent().wait(0ms)) << "manual reset: every later waiter sees it";
  lowerStopFlagForTests();
  EXPECT_FALSE(stopRequested());
}

} // namespace
} // namespace km
