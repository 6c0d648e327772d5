// The tray icon on a desktop: a StatusNotifierItem (libayatana-appindicator) that
// shows the tray's state (normal, the three busy frames, filtering disabled) and
// holds the tray menu, whose items open the pages or run the commands. Without a
// graphical session (no display, or no session bus) there is no icon and the
// program runs as before.
//
// State: the one icon, owned by a thread of its own that runs the desktop's event
// loop; started and stopped on the main thread.
#pragma once

#include <string>

namespace km {

// Shows the icon, with the icons named "kestrelmail-<id>" in the folder. False
// when there is no graphical session or the desktop toolkit cannot start.
bool startTrayIcon(const std::string& iconFolder);

// Removes the icon and ends its thread.
void stopTrayIcon();

// The icon's name for a tray icon id ("kestrelmail-110").
std::string trayIconName(int iconId);

} // namespace km
