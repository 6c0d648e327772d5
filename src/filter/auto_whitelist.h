// The auto-white lists as the configuration loads and saves them: senders and
// relays that became white by sending clean mail, one per line.
#pragma once

namespace km {

struct Config;

// Reads auto_wlist_from.dat (one address per line) and auto_wlist_ip.dat (one
// dotted address per line; other lines are skipped) into the snapshot.
void loadAutoWhitelistFiles(Config& config);

// Rewrites auto_wlist_from.dat and auto_wlist_ip.dat from the current snapshot.
// A file that cannot be created is reported; false then.
bool SaveAutoWhitelists();

}  // namespace km
