// The tray icon as a model that a user interface shows: which icon is current, its
// tip, and the busy animation that runs while any proxy session is at work. The
// menu commands are plain operations on the program.
//
// State: the tray model, under the tray-icon lock, which is taken last (the
// configuration is read before it is taken). Any thread may call the busy notes;
// the menu commands run on the main thread.
#pragma once

#include <string>

#include "ui/shell.h"

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

// Runs a menu command; false for ids this program does not (yet) handle.
bool runMenuCommand(int commandId);

// The exit command: asks first when the configuration says so (ticking "do not ask
// again" turns that off and saves, whatever the answer), then takes the exit path
// unless the answer is no.
void exitWithConfirmation();

// The question of the exit command alone: true unless the answer is no. Any
// thread.
bool confirmExit();

// A menu command given in the program's pages, on the page's thread: the exit
// question is asked there and the exit path then runs on the main thread; the
// other commands run at once. False for commands this program does not offer.
bool runPageCommand(int commandId);

// The tray's state as the pages show it.
ShellState trayShellState();

// Switches filtering on or off: reloads the configuration, sets the switch, saves,
// and shows the matching icon.
void setFilteringDisabled(bool disabled);

} // namespace km
