#include "app/tray.h"

#include <algorithm>
#include <mutex>

#include "app/app.h"
#include "config/config.h"
#include "filter/update_check.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/notifier.h"
#include "platform/text_ids.h"

namespace km {

namespace {

// The tray-icon lock is taken last: the configuration is read before it is taken,
// so it never waits for the configuration lock while held.
struct Tray {
  std::mutex lock;
  TrayState state;
};

Tray& tray() {
  static Tray instance;
  return instance;
}

bool filteringDisabledNow() {
  ConfigRef config = AcquireConfig();
  return config && config->filteringDisabled;
}

int restingIcon(bool disabled) {
  return disabled ? kIconFilteringDisabled : kIconNormal;
}

void advanceFrameLocked(bool disabled) {
  TrayState& state = tray().state;
  if (state.busyCount <= 0) {
    return;
  }
  state.frame = state.frame >= 2 ? 0 : state.frame + 1;
  if (trayIconWanted()) {
    state.iconId = disabled ? kIconFilteringDisabled : kIconBusyFirst + state.frame;
  }
  setTimer(kTrayTimerId, kTrayAnimationMs, animateTray);
}

} // namespace

void addTrayIcon() {
  if (!trayIconWanted()) {
    return;
  }
  bool disabled = filteringDisabledNow();
  std::lock_guard guard(tray().lock);
  tray().state.shown = true;
  tray().state.tip = kTrayTip;
  tray().state.iconId = restingIcon(disabled);
}

void removeTrayIcon() {
  if (!trayIconWanted()) {
    return;
  }
  std::lock_guard guard(tray().lock);
  tray().state.shown = false;
}

void showTrayState() {
  if (!trayIconWanted()) {
    return;
  }
  bool disabled = filteringDisabledNow();
  std::lock_guard guard(tray().lock);
  tray().state.iconId = restingIcon(disabled);
}

void sessionBusy() {
  bool disabled = filteringDisabledNow();
  std::lock_guard guard(tray().lock);
  if (++tray().state.busyCount == 1) {
    tray().state.frame = -1;
    advanceFrameLocked(disabled);
  }
}

void sessionIdle() {
  bool lastOne;
  {
    std::lock_guard guard(tray().lock);
    TrayState& state = tray().state;
    lastOne = state.busyCount == 1;
    if (state.busyCount > 0) {
      --state.busyCount;
    }
    if (lastOne) {
      killTimer(kTrayTimerId);
    }
  }
  if (lastOne) {
    showTrayState();
  }
}

void animateTray() {
  bool disabled = filteringDisabledNow();
  std::lock_guard guard(tray().lock);
  advanceFrameLocked(disabled);
}

TrayState trayState() {
  std::lock_guard guard(tray().lock);
  return tray().state;
}

bool confirmExit() {
  ConfigRef config = AcquireConfig();
  bool confirm = config && config->alwaysConfirmExit;
  config.reset();
  if (!confirm) {
    return true;
  }
  Notice notice;
  notice.title = languageText(kTextNoticeTitle);
  notice.text = languageText(kTextExitQuestion);
  notice.icon = NoticeIcon::Question;
  notice.buttons = NoticeButtons::YesNo;
  notice.headlessAnswer = NoticeAnswer::Yes;
  notice.checkBoxText = languageText(kTextDoNotAskAgain);
  NoticeReply reply = notifyForReply(notice);
  if (reply.checked) {
    updateConfig([](Config& changed) { changed.alwaysConfirmExit = false; });
  }
  return reply.answer != NoticeAnswer::No;
}

void exitWithConfirmation() {
  if (confirmExit()) {
    exitProgram();
  }
}

void setFilteringDisabled(bool disabled) {
  {
    RecursiveGuard guard(configLock());
    loadConfigFile();
    updateConfig([disabled](Config& changed) { changed.filteringDisabled = disabled; });
  }
  showTrayState();
}

bool runPageCommand(int commandId) {
  switch (commandId) {
  case kCommandExit:
    if (!confirmExit()) {
      return false;
    }
    postMainThreadCall(exitProgram);
    return true;
  case kCommandEnableFiltering:
  case kCommandDisableFiltering:
    setFilteringDisabled(commandId == kCommandDisableFiltering);
    return true;
  case kCommandCheckForUpdates:
    return startUpdateCheck(true, true);
  default:
    return false;
  }
}

ShellState trayShellState() {
  ShellState shell;
  shell.filteringDisabled = filteringDisabledNow();
  shell.updateCheckRunning = updateCheckRunning();
  std::lock_guard guard(tray().lock);
  const TrayState& state = tray().state;
  shell.busyCount = state.busyCount;
  // The icon the tray shows, or would show without "-trayicon none".
  shell.iconId = shell.filteringDisabled ? kIconFilteringDisabled
                 : state.busyCount > 0   ? kIconBusyFirst + std::max(state.frame, 0)
                                         : kIconNormal;
  return shell;
}

bool runMenuCommand(int commandId) {
  switch (commandId) {
  case kCommandExit:
    exitWithConfirmation();
    return true;
  case kCommandEnableFiltering:
    setFilteringDisabled(false);
    return true;
  case kCommandDisableFiltering:
    setFilteringDisabled(true);
    return true;
  case kCommandCheckForUpdates:
    startUpdateCheck(true, true);
    return true;
  default:
    // The About box, manual and web pages, the options, status and
    // add-to-list windows and plug-in windows belong to the user interface.
    return false;
  }
}

} // namespace km
