// The auto-white lists as the configuration loads and saves them: senders and
// relays that became white by sending clean mail, one per line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/ipv4.h"

namespace km {

struct Config;
struct Message;

// Reads auto_wlist_from.dat (one address per line) and auto_wlist_ip.dat (one
// dotted address per line; other lines are skipped) into the snapshot.
void loadAutoWhitelistFiles(Config& config);

// Rewrites auto_wlist_from.dat and auto_wlist_ip.dat from the current snapshot.
// A file that cannot be created is reported; false then.
bool SaveAutoWhitelists();

// The auto-white address equal to `address` ignoring case, as stored. The lists
// grow at run time, so both lookups take the configuration lock.
std::optional<std::string> IsAutoWhiteAddress(const Config& config, std::string_view address);
// Whether the relay address is auto-white.
bool IsAutoWhiteIp(const Config& config, const Ipv4Address& ip);

// Counts the senders and relays a clean message collected towards auto-whitelisting.
// The counting by mail (and its pending files) comes with auto-whitelisting
// proper; until then a clean message counts for nothing.
void feedAutoWhitelisting(const Message& message);

// Makes one address auto-white at once, keeping `note` with it (the SMTP proxy
// does so for recipients of outgoing mail). Comes with auto-whitelisting proper;
// until then it changes nothing.
void WhitelistAddressNow(std::string_view address, std::string_view note, const Config& config);

} // namespace km
