#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "app/app.h"
#include "app/command_line.h"
#include "app/tray.h"
#include "config/config.h"
#include "config/data_dir.h"
#include "platform/main_loop.h"
#include "platform/sync.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

using Values = std::vector<std::string>;

TEST(FindOption, TakesTheValueAfterEveryWholeWordOccurrenceIgnoringCase) {
  EXPECT_EQ(findOption("-configdir /srv/mail -trayicon none", "-configdir"), Values{"/srv/mail"});
  EXPECT_EQ(findOption("-trayicon    none", "-trayicon"), Values{"none"});
  EXPECT_TRUE(findOption("-trayicon none", "-configdir").empty());
  EXPECT_EQ(findOption("-configdir \"/home/u/My Mail/data\" -trayicon none", "-configdir"),
            Values{"/home/u/My Mail/data"});
  // An unterminated quote runs to the end of the line; no escapes inside quotes.
  EXPECT_EQ(findOption("-configdir \"/a b c", "-configdir"), Values{"/a b c"});
  EXPECT_EQ(findOption("-configdir \"a\\\" b", "-configdir"), Values{"a\\"});
  EXPECT_EQ(findOption("-a 1 -b 2 -a \"three 3\" -a", "-a"), (Values{"1", "three 3", ""}));
  // Scanning resumes after the value: a value that looks like the option is no
  // other occurrence.
  EXPECT_EQ(findOption("-a -a", "-a"), Values{"-a"});
  // Whole words only, in any case.
  EXPECT_TRUE(findOption("-configdirectory /x", "-configdir").empty());
  EXPECT_TRUE(findOption("x-configdir /x", "-configdir").empty());
  EXPECT_EQ(findOption("-CONFIGDIR /x", "-configdir"), Values{"/x"});
  EXPECT_EQ(findOption("-configdirectory /x -configdir /y", "-configdir"), Values{"/y"});
}

TEST(CommandLineFromArguments, QuotesArgumentsWithSpaces) {
  const char* argv[] = {"kestrelmail", "-configdir", "/home/u/My Mail", "-trayicon", "none"};
  std::string line = commandLineFromArguments(5, argv);
  EXPECT_EQ(line, "-configdir \"/home/u/My Mail\" -trayicon none");
  EXPECT_EQ(findOption(line, "-configdir"), Values{"/home/u/My Mail"});
}

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

class TrayTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(initMainLoop({}));
    ASSERT_TRUE(prepareDataDirectory());
    data_.load("CREATE_DEFAULT_IMAP4_PORT NO\n");
    addTrayIcon();
  }
  void TearDown() override {
    while (trayState().busyCount > 0) {
      sessionIdle();
    }
    removeTrayIcon();
    closeMainLoop();
    lowerStopFlagForTests();
  }
  std::string configFile() const { return test::readFile(data_.file("config.dat")); }

  test::DataDirScope data_;
  test::NotifierScope notices_;
  test::RecordingNotifier& notifier_ = notices_.notifier();
};

TEST_F(TrayTest, TwoSessionsAnimateFromTheFirstStartToTheLastEnd) {
  EXPECT_TRUE(trayState().shown);
  EXPECT_EQ(trayState().tip, "Kestrelmail");
  EXPECT_EQ(trayState().iconId, kIconNormal);
  sessionBusy();
  EXPECT_EQ(trayState().iconId, kIconBusyFirst);
  EXPECT_TRUE(timerActive(kTrayTimerId));
  sessionBusy();
  animateTray(); // what the 750 ms timer does
  EXPECT_EQ(trayState().iconId, kIconBusyFirst + 1);
  animateTray();
  animateTray();
  EXPECT_EQ(trayState().frame, 0) << "the frames wrap after the third";
  EXPECT_EQ(trayState().iconId, kIconBusyFirst);
  sessionIdle();
  EXPECT_TRUE(timerActive(kTrayTimerId)) << "one session is still busy";
  sessionIdle();
  EXPECT_FALSE(timerActive(kTrayTimerId));
  EXPECT_EQ(trayState().iconId, kIconNormal);
  sessionIdle(); // one too many changes nothing
  EXPECT_EQ(trayState().busyCount, 0);
}

TEST_F(TrayTest, TheAnimationRunsOnTheMainLoopTimer) {
  sessionBusy();
  std::set<int> framesSeen;
  // Watches the frames until the timer has moved the icon through all three.
  setTimer(2, 50, [&] {
    framesSeen.insert(trayState().iconId);
    if (framesSeen.size() == 3) {
      killTimer(2);
      sessionIdle();
      postQuitMessage(0);
    }
  });
  setTimer(3, 30000, [] { postQuitMessage(1); });
  EXPECT_EQ(runMainLoop(), 0) << "the animation stalled";
  EXPECT_EQ(framesSeen, (std::set<int>{kIconBusyFirst, kIconBusyFirst + 1, kIconBusyFirst + 2}));
  EXPECT_EQ(trayState().iconId, kIconNormal);
  EXPECT_FALSE(timerActive(kTrayTimerId));
}

TEST_F(TrayTest, TheFilteringCommandsSaveTheSwitchAndEveryFrameShowsIt) {
  EXPECT_TRUE(runMenuCommand(kCommandDisableFiltering));
  EXPECT_NE(configFile().find("FILTERING_DISABLED YES"), std::string::npos);
  sessionBusy();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
    animateTray();
  }
  sessionIdle();
  EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
  EXPECT_TRUE(runMenuCommand(kCommandEnableFiltering));
  EXPECT_EQ(configFile().find("FILTERING_DISABLED YES"), std::string::npos);
  EXPECT_EQ(trayState().iconId, kIconNormal);
  EXPECT_FALSE(runMenuCommand(12345));
}

TEST_F(TrayTest, TheExitIsConfirmedAndDoNotAskAgainIsRemembered) {
  notifier_.answerNext(NoticeAnswer::Yes);
  exitWithConfirmation();
  EXPECT_TRUE(quitMessagePosted()) << "answering yes exits";
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT YES"), std::string::npos);
  closeMainLoop(); // forgets the quit message
  lowerStopFlagForTests();
  ASSERT_TRUE(initMainLoop({}));

  notifier_.answerNext(NoticeAnswer::No);
  notifier_.tick = true;
  EXPECT_TRUE(runMenuCommand(kCommandExit));
  EXPECT_FALSE(quitMessagePosted());
  EXPECT_FALSE(stopRequested());
  ASSERT_EQ(notifier_.count(), 2u);
  EXPECT_FALSE(notifier_.notices().back().checkBoxText.empty());
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT NO"), std::string::npos);
  // Not asked again: the exit goes ahead.
  runMenuCommand(kCommandExit);
  EXPECT_EQ(notifier_.count(), 2u);
  EXPECT_TRUE(quitMessagePosted());
}

} // namespace
} // namespace km
