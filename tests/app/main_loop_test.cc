#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
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
  void SetUp() override { ASSERT_TRUE(initMainLoop(handlers())); }
  void TearDown() override { closeMainLoop(); }
  virtual MainLoopHandlers handlers() { return {}; }
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

TEST_F(MainLoopTest, TimersRepeatUntilKilled) {
  int fired = 0;
  setTimer(1, 10, [&] {
    if (++fired == 3) {
      killTimer(1);
      postQuitMessage(0);
    }
  });
  EXPECT_TRUE(timerActive(1));
  runMainLoop();
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(timerActive(1));
}

TEST_F(MainLoopTest, ReadableDescriptorsAreDispatched) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::string got;
  watchReadable(pipeFds[0], [&] {
    char c;
    if (::read(pipeFds[0], &c, 1) == 1) {
      got += c;
    }
    if (got.size() == 2) {
      unwatchReadable(pipeFds[0]);
      postQuitMessage(0);
    }
  });
  std::thread writer([&] { EXPECT_EQ(::write(pipeFds[1], "ok", 2), 2); });
  runMainLoop();
  writer.join();
  EXPECT_EQ(got, "ok");
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

class SignalTest : public MainLoopTest {
protected:
  MainLoopHandlers handlers() override {
    MainLoopHandlers h;
    h.onExitRequested = [this] {
      ++exits;
      postQuitMessage(0);
    };
    h.onHangup = [this] {
      ++hangups;
    };
    return h;
  }
  int exits = 0;
  int hangups = 0;
};

TEST_F(SignalTest, TermTakesTheExitPathAndHangupReloads) {
  ::kill(::getpid(), SIGHUP);
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(runMainLoop(), 0);
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(hangups, 1);
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
