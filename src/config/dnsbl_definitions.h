// DNS blacklist definitions: the shipped default_dnsbl.dat (beside the program),
// the current dnsbl.dat and the user's extra_dnsbl.txt (in the data directory).
#pragma once

#include <string>
#include <string_view>

namespace km {

struct Config;

// Fills the snapshot's DNSBL definitions: dnsbl.dat (or the shipped file when it is
// missing or older than the shipped one), then extra_dnsbl.txt.
void loadDnsblDefinitions(Config& config);

// Writes a new dnsbl.dat: "LAST_UPDATED <date>", an empty line, then the text.
// Takes effect at the next configuration load. False (reported) on failure; the
// old file then stays as it was.
bool storeDnsblDefinitions(std::string_view date, std::string_view text);

// The options' commands: open the user's own definitions for editing (made from
// the shipped template the first time), or the instructions. Without a desktop
// the user is told where the file is. False when the file could not be opened.
bool editExtraDnsblDefinitions();
bool showExtraDnsblInstructions();

} // namespace km
