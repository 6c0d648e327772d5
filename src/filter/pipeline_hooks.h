// What the filter pipeline tells other parts of the program about each message and
// session: the filtering statistics, the Received-line accounts of mail accounts
// and the update check.
//
// They will keep process-wide tables; each says its lock when it is built. Any
// session thread calls them.
#pragma once

namespace km {

struct Message;

// Starts an update check when one is due (or, when forced, at once).
void startUpdateCheck(bool interactive, bool forced);

} // namespace km
