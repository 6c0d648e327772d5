// The Wine prefix in which the Windows clients run: its registry file and the
// Windows paths of its drives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "wizard/wine_registry.h"

namespace km {

// The current user's registry of the prefix, or nothing when it cannot be read.
std::optional<RegistryFile> loadUserRegistry(const std::string& winePrefix);
// Replaces user.reg with the changed registry. False with the reason.
bool saveUserRegistry(const std::string& winePrefix, const RegistryFile& registry,
                      std::string& error);

// The Linux path of a Windows path inside the prefix ("C:\users\me\AppData"):
// drive letters through dosdevices (C: is drive_c), "%APPDATA%", "%LOCALAPPDATA%"
// and "%USERPROFILE%" from the user's shell folders, and each existing part of the
// path matched ignoring case, as Windows does. Empty for a path that is not absolute.
std::string linuxPathOfWindowsPath(const std::string& winePrefix, const RegistryFile* registry,
                                   std::string_view windowsPath);

// A shell folder of the user ("AppData", "Local AppData") as a Linux path, from the
// registry, else the usual place under drive_c/users/<user>/. Ends in "/".
std::string shellFolder(const std::string& winePrefix, const RegistryFile* registry,
                        std::string_view name);

// The same for any path that exists under a folder: each part matched ignoring case.
std::string resolveIgnoringCase(const std::string& folder, std::string_view relative);

// "Cannot write <path>: <reason>" for the last failed file operation.
std::string writeErrorText(const std::string& path);

} // namespace km
