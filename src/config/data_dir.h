// The per-user data directory: its sub-folders and the first-run files. Where it
// is (dataPath) is decided below, in platform/data_path.h, since the diagnostics
// write there too.
#pragma once

#include "platform/data_path.h"

namespace km {

// Creates the directory if needed and then each sub-folder in turn. False when
// one could not be created (already reported); the program then ends with code 1.
bool prepareDataDirectory();

// Writes the initial config.dat, blist_email.dat and wlist_ip.dat, each only where
// no file of that name exists. False when config.dat could not be created.
bool writeFirstRunFiles();

} // namespace km
