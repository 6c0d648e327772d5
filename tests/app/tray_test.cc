#include <gtest/gtest.h>

#include <set>

#include "app/main_loop.h"
#include "app/tray.h"
#include "config/config.h"
#include "config/data_dir.h"
#include "platform/sync.h"
#include "support/test_support.h"

namespace km {
namespace {

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
  notifier_.answerNext(NoticeAnswer::No);
  notifier_.tick = true;
  EXPECT_TRUE(runMenuCommand(kCommandExit));
  EXPECT_FALSE(quitMessagePosted());
  EXPECT_FALSE(stopRequested());
  ASSERT_EQ(notifier_.count(), 1u);
  EXPECT_FALSE(notifier_.notices().front().checkBoxText.empty());
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT NO"), std::string::npos);
  // Not asked again: the exit goes ahead.
  runMenuCommand(kCommandExit);
  EXPECT_EQ(notifier_.count(), 1u);
  EXPECT_TRUE(quitMessagePosted());
}

TEST_F(TrayTest, AnsweringYesExits) {
  notifier_.answerNext(NoticeAnswer::Yes);
  exitWithConfirmation();
  EXPECT_EQ(notifier_.count(), 1u);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT YES"), std::string::npos);
}

} // namespace
} // namespace km
