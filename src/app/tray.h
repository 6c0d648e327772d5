// The tray icon as a model that a user interface shows: which icon is current, its
// tip, and the busy animation that runs while any proxy session is at work. The
// menu commands are plain operations on the program.
//
// State: the tray model, under the tray-icon lock, which is taken last (the
// configuration is read before it is taken). Any thread may call the busy notes;
// the menu commands run on the main thread.
#pragma once

#include <string>

namespace km {

inline constexpr int kIconNormal = 110;
inline constexpr int kIconBusyFirst = 111; // 111, 112 and 113: the animation frames
inline constexpr int kIconFilteringDisabled = 114;
inline constexpr int kTrayTimerId = 1;
inline constexpr unsigned kTrayAnimationMs = 750;
inline constexpr const char* kTrayTip = "Kestrelmail";

struct TrayState {
  bool shown = false;
  int iconId = 0;
  std::string tip;
  int frame = -1; // 0..2 while animating; -1 before the first frame
  int busyCount = 0;
};

// Adds and removes the icon; nothing happens with "-trayicon none".
void addTrayIcon();
void removeTrayIcon();

// The resting icon: filtering disabled or normal.
void showTrayState();

// Every proxy session calls these at its start and end. The first busy session
// starts the animation; the last one to end stops it and shows the resting icon.
void sessionBusy();
void sessionIdle();

// The next animation frame, and the timer for the one after it.
void animateTray();

TrayState trayState();

// Commands of the tray menu, by the ids the menu's items carry.
enum MenuCommand : int {
  kCommandExit = 24476,
  kCommandAbout = 24487,
  kCommandCheckForUpdates = 24488,
  kCommandManual = 24489,
  kCommandWebPageFirst = 24490,
  kCommandWebPageLast = 24492,
  kCommandOptions = 24493,
  kCommandStatusWindow = 24494,
  kCommandEnableFiltering = 24495,
  kCommandDisableFiltering = 24496,
  kCommandAddToWhiteLists = 24497,
  kCommandAddToBlackLists = 24498,
  kCommandFirstPluginWindow = 24501,
};

// Runs a menu command; false for ids this program does not (yet) handle.
bool runMenuCommand(int commandId);

// The exit command: asks first when the configuration says so (ticking "do not ask
// again" turns that off and saves, whatever the answer), then takes the exit path
// unless the answer is no.
void exitWithConfirmation();

// Switches filtering on or off: reloads the configuration, sets the switch, saves,
// and shows the matching icon.
void setFilteringDisabled(bool disabled);

} // namespace km
