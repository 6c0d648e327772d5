// Handing a file or a web address to the user's desktop.
#pragma once

#include <string>

namespace km {

// Whether a graphical desktop session is present (an X11 or Wayland display).
bool desktopSessionPresent();

// Opens the file or address with the desktop's default application (xdg-open)
// when a desktop session is present. False when there is none or the file could not be handed on.
bool openWithDesktop(const std::string& path);

} // namespace km
