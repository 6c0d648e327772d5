// Handing a file to the user's desktop.
#pragma once

#include <string>

namespace km {

// Opens the file with the desktop's default application (xdg-open) when a desktop
// session is present. False when there is none or the file could not be handed on.
bool openWithDesktop(const std::string& path);

} // namespace km
