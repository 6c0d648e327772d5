#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"
#include "platform/threads.h"

namespace km {
namespace {

using namespace std::chrono_literals;

TEST(Event, AutoResetLetsOneWaiterThroughPerSignal) {
  Event event;
  EXPECT_FALSE(event.wait(0ms));
  event.set();
  EXPECT_TRUE(event.wait(0ms));
  EXPECT_FALSE(event.wait(0ms));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Event event(Event::Reset::Manual);
  event.set();
  EXPECT_TRUE(event.wait(0ms));
  EXPECT_TRUE(event.wait(0ms));
  event.reset();
  EXPECT_FALSE(event.wait(10ms));
}

TEST(Event, WakesAWaiterInAnotherThread) {
  Event event;
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = event.wait(10s); });
  sleepMs(20);
  event.set();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(StopFlag, RaisingItSignalsTheShutdownEvent) {
  ASSERT_FALSE(stopRequested());
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = shutdownEvent().wait(10s); });
  raiseStopFlag();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_TRUE(stopRequested());
  // Manual reset: every later waiter sees it at once.
  EXPECT_TRUE(shutdownEvent().wait(0ms));
  lowerStopFlagForTests();
  EXPECT_FALSE(stopRequested());
}

TEST(Threads, DetachedThreadRunsWithAChosenStack) {
  Event done(Event::Reset::Manual);
  ThreadId seen = 0;
  ASSERT_TRUE(startDetachedThread(
      [&] {
        seen = currentThreadId();
        done.set();
      },
      0x20000));
  ASSERT_TRUE(done.wait(10s));
  EXPECT_NE(seen, 0u);
  EXPECT_NE(seen, currentThreadId());
}

} // namespace
} // namespace km
