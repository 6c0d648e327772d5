// Shared by the files of the configuration subsystem only.
#pragma once

#include "config/config.h"

namespace km {

// A fresh snapshot with the values of a file that names no key; freeing it gives
// the memory back to the system.
ConfigRef newConfigSnapshot();

// Makes the snapshot current; the previous one is released.
void makeConfigCurrent(ConfigRef config);

// Remembers the modification time of the config.dat this program wrote, so that
// its own writes do not count as changes for the hot reload.
void noteConfigFileWritten(int64_t modified);

void runConfigLoadedHandler();

}  // namespace km
