// White and black lists of e-mail addresses and IPv4 netblocks: their entry syntax,
// how list files are read, and the two matching rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ipv4.h"

namespace km {

struct Config;

// An address, a range "a.b.c.d-e.f.g.h" or a block "a.b.c.d/n". A range written
// backwards is stored forwards.
bool ParseNetblock(std::string_view text, Netblock& out);

// The e-mail address or pattern a list line holds: the run around the first "@"
// (so "Name <a@b>" and "From: a@b" give "a@b"), or without "@" the first word.
bool ParseListAddress(std::string_view line, std::string& out);

// Whole-address matching ignoring case, where "*" stands for any run of characters.
bool MatchEmailPattern(std::string_view pattern, std::string_view address);

// Whether any block of the list holds the address.
bool netblocksContain(const std::vector<Netblock>& blocks, const Ipv4Address& address);

// Whether any pattern of the list matches the address.
bool patternsMatch(const std::vector<std::string>& patterns, std::string_view address);

// Cleans one list line: cut at the first control byte and at "#", then drop
// trailing spaces.
std::string_view cleanListLine(std::string_view line);

// Reads a list file into netblocks or patterns; false when it cannot be opened.
bool readNetblockFile(const std::string& path, std::vector<Netblock>& out);
bool readPatternFile(const std::string& path, std::vector<std::string>& out);

// Reads the list files into a new snapshot, in loading order: black and white IP
// lists, black and white address lists (each main file, then its extra files),
// then ip_allow.dat and auto_wlist_from_never.dat; then indexes the four filter
// lists. A missing main file is an empty list; an extra file that cannot be opened
// is reported.
void LoadLists(Config& config);

// The auto-white lists: senders and relays that became white by sending clean
// mail, one per line.

// Reads auto_wlist_from.dat (one address per line) and auto_wlist_ip.dat (one
// dotted address per line; other lines are skipped) into the snapshot.
void loadAutoWhitelistFiles(Config& config);

// Rewrite auto_wlist_from.dat ("%s\n" per address) or auto_wlist_ip.dat
// ("%d.%d.%d.%d\n" per relay) from the snapshot, in list order. The new text
// goes to a temporary file that then takes the old one's place, so a failed
// write leaves the old list whole. A file that cannot be written is reported;
// false then.
bool saveAutoWhiteAddresses(const Config& config);
bool saveAutoWhiteRelays(const Config& config);

// Both of the above, from the current snapshot.
bool SaveAutoWhitelists();

} // namespace km
