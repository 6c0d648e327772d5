// Auto-whitelisting as the filters use it: senders and relays that became white by
// sending clean mail. Their files are read and written with the other list files
// (config/lists.h).
//
// State: the auto-white lists belong to the snapshot, which never changes once it
// is current; the lookups take the configuration lock all the same, so that lists
// that grow at run time (through updateConfig) stay safe to read. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/ipv4.h"

namespace km {

struct Config;
struct Message;

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
