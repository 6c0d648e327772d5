// What the pages need of the application shell above them: the tray's state and
// the tray menu's commands. The application installs the hooks at start-up; until
// then the pages show filtering as the configuration says and refuse commands.
//
// State: the installed hooks, under their own mutex; any thread.
#pragma once

#include <functional>

namespace km {

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

struct ShellState {
  int iconId = 0;    // the icon the tray shows now
  int busyCount = 0; // proxy sessions at work
  bool filteringDisabled = false;
  bool updateCheckRunning = false;
};

struct ShellHooks {
  std::function<ShellState()> state;
  // Runs a menu command for a page, on the calling thread; questions it asks go
  // to the notifier. True when the command was taken (for the exit command: when
  // the program is going to end).
  std::function<bool(int commandId)> command;
};

void setShellHooks(ShellHooks hooks);
ShellState shellState();
bool runShellCommand(int commandId);

} // namespace km
