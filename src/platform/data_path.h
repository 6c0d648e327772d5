// Where the per-user data directory is. Every data file goes through dataPath.
//
// State: the directory, decided once per run under its own mutex; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace km {

// Decides the data directory once per run: the -configdir value (with a final "/"
// added), else the user's configuration folder + "Kestrelmail/", else "config/"
// beside the executable. Later calls change nothing unless `force` is set (tests).
void chooseDataDirectory(const std::optional<std::string>& commandLineDirectory,
                         bool force = false);

// The data directory followed by the name; an empty name gives the directory.
std::string dataPath(std::string_view name);

} // namespace km
