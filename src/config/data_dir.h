// The per-user data directory: where it is, its sub-folders, the first-run files.
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

// Creates the directory if needed and then each sub-folder in turn. False when
// one could not be created (already reported); the program then ends with code 1.
bool prepareDataDirectory();

// Writes the initial config.dat, blist_email.dat and wlist_ip.dat, each only where
// no file of that name exists. False when config.dat could not be created.
bool writeFirstRunFiles();

} // namespace km
