// Update checks: the program decides when to check, hands the update library
// (updates.so beside the program, include/kestrelmail/updates.h) a record with the
// current settings and callbacks, runs its checkForUpdates on a thread of its own,
// and afterwards saves the last-check times it wrote. New DNSBL definitions that
// the library stored are loaded at once, so the next configuration snapshot has
// them without a restart.
//
// State: the running check (at most one) and the loaded library, under the
// configuration lock; the library stays loaded for the rest of the run. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace km {

// Start-up names the update library (updateLibraryPath). Until then no check
// starts without a library given (tests that run sessions check nothing).
void useUpdateLibrary(std::string path);

// Starts a check unless one runs already. An automatic check (interactive and
// forced 0; the sessions' housekeeping) starts only when the program check or the
// DNSBL check is switched on and its interval has passed since its last check; a
// forced one (the user's command) always. True when a check was started.
bool startUpdateCheck(bool interactive, bool forced);

// The same with the update library and the time given (tests).
bool startUpdateCheck(bool interactive, bool forced, const std::string& libraryPath, int64_t now);

// Whether a check runs now: the menus grey their update command meanwhile, and
// shutdown waits for it like for a session.
bool updateCheckRunning();

// Where the update library is looked for: beside the program, then in the
// installed place under its prefix.
std::string updateLibraryPath();

} // namespace km
