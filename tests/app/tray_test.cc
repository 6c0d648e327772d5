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

using test::readFile;
using test::writeFile;

// Answers the exit question from a script.
class AnsweringNotifier : public test::RecordingNotifier {
public:
  NoticeReply reply(const Notice& notice) override {
    show(notice);
    return NoticeReply{answer, 0, tick};
  }
  NoticeAnswer answer = NoticeAnswer::Yes;
  bool tick = false;
};

class TrayTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = setNotifier(notifier_);
    ASSERT_TRUE(initMainLoop({}));
    ASSERT_TRUE(prepareDataDirectory());
    configure("CREATE_DEFAULT_IMAP4_PORT NO\n");
    addTrayIcon();
  }
  void TearDown() override {
    while (trayState().busyCount > 0) {
      sessionIdle();
    }
    removeTrayIcon();
    closeMainLoop();
    lowerStopFlagForTests();
    setNotifier(previous_);
  }
  void configure(const std::string& text) {
    writeFile(data_.file("config.dat"), text);
    ASSERT_TRUE(loadConfigFile());
  }
  std::string configFile() const { return readFile(data_.file("config.dat")); }

  test::DataDirScope data_;
  std::shared_ptr<AnsweringNotifier> notifier_ = std::make_shared<AnsweringNotifier>();
  std::shared_ptr<Notifier> previous_;
};

TEST_F(TrayTest, TheIconShowsTheTipAndTheRestingState) {
  TrayState state = trayState();
  EXPECT_TRUE(state.shown);
  EXPECT_EQ(state.tip, "Kestrelmail");
  EXPECT_EQ(state.iconId, kIconNormal);
  configure("FILTERING_DISABLED YES\n");
  showTrayState();
  EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
}

TEST_F(TrayTest, TwoSessionsAnimateFromTheFirstStartToTheLastEnd) {
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

TEST_F(TrayTest, WithFilteringDisabledEveryFrameShowsTheDisabledIcon) {
  configure("FILTERING_DISABLED YES\n");
  sessionBusy();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
    animateTray();
  }
  sessionIdle();
  EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
}

TEST_F(TrayTest, TheFilteringCommandsSaveTheSwitchAndShowIt) {
  EXPECT_TRUE(runMenuCommand(kCommandDisableFiltering));
  EXPECT_NE(configFile().find("FILTERING_DISABLED YES"), std::string::npos);
  EXPECT_EQ(trayState().iconId, kIconFilteringDisabled);
  EXPECT_TRUE(runMenuCommand(kCommandEnableFiltering));
  EXPECT_EQ(configFile().find("FILTERING_DISABLED YES"), std::string::npos);
  EXPECT_EQ(trayState().iconId, kIconNormal);
  EXPECT_FALSE(runMenuCommand(12345));
}

TEST_F(TrayTest, AnsweringNoWithDoNotAskAgainKeepsRunningAndStopsAsking) {
  notifier_->answer = NoticeAnswer::No;
  notifier_->tick = true;
  EXPECT_TRUE(runMenuCommand(kCommandExit));
  EXPECT_FALSE(quitMessagePosted());
  EXPECT_FALSE(stopRequested());
  ASSERT_EQ(notifier_->count(), 1u);
  EXPECT_FALSE(notifier_->notices().front().checkBoxText.empty());
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT NO"), std::string::npos);

  // Not asked again: the exit goes ahead.
  runMenuCommand(kCommandExit);
  EXPECT_EQ(notifier_->count(), 1u);
  EXPECT_TRUE(quitMessagePosted());
}

TEST_F(TrayTest, AnsweringYesExits) {
  notifier_->answer = NoticeAnswer::Yes;
  exitWithConfirmation();
  EXPECT_EQ(notifier_->count(), 1u);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_NE(configFile().find("ALWAYS_CONFIRM_EXIT YES"), std::string::npos);
}

} // namespace
} // namespace km
