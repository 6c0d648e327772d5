#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/app.h"
#include "app/main_loop.h"
#include "net/thread_records.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

class MainLoopTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(initMainLoop({})); }
  void TearDown() override { closeMainLoop(); }
};

TEST_F(MainLoopTest, AQuitPostedDuringStartUpEndsTheLoopAtOnce) {
  postQuitMessage(3);
  postQuitMessage(5);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_EQ(runMainLoop(), 3) << "the first quit message counts";
}

TEST_F(MainLoopTest, CallsPostedByOtherThreadsRunOnTheMainThread) {
  ThreadId mainThread = currentThreadId();
  std::atomic<ThreadId> ranOn{0};
  std::thread poster([&] {
    postMainThreadCall([&] {
      ranOn = currentThreadId();
      postQuitMessage(0);
    });
  });
  EXPECT_EQ(runMainLoop(), 0);
  poster.join();
  EXPECT_EQ(ranOn.load(), mainThread);
}

class ShutdownWaitTest : public MainLoopTest {
protected:
  void TearDown() override {
    lowerStopFlagForTests();
    MainLoopTest::TearDown();
  }
  test::NotifierScope notices_;
};

TEST_F(ShutdownWaitTest, WaitsForTheLastSessionAndKeepsDispatching) {
  sessionThreadStarted();
  std::atomic<bool> dispatched{false};
  std::thread session([&] {
    shutdownEvent().wait();
    // A session that needs the main thread before it can end.
    postMainThreadCall([&] { dispatched = true; });
    while (!dispatched) {
      sleepMs(10);
    }
    sessionThreadEnded();
  });
  waitForThreads();
  session.join();
  EXPECT_TRUE(stopRequested());
  EXPECT_TRUE(dispatched);
  EXPECT_EQ(runningSessionCount(), 0);
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(ShutdownWaitTest, AHangingSessionMakesItAskAboutEveryTenSeconds) {
  sessionThreadStarted();
  notices_.notifier().answerNext(NoticeAnswer::Yes);
  waitForThreads();
  ASSERT_EQ(notices_.notifier().count(), 1u);
  EXPECT_EQ(notices_.notifier().notices()[0].buttons, NoticeButtons::YesNo);
  sessionThreadEnded();
}

} // namespace
} // namespace km
