// Finding e-mail addresses and dotted IPv4 addresses in header text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/ipv4.h"

namespace km {

// The next address at or after `start`: the run of address characters (letters,
// digits and . ! # $ % & ' * + - / = ? ^ _ ` { | } ~) around the next at sign. A
// run that has nothing before or after its at sign is no address, and the search
// goes on behind it. `next` is the position after the address, or the end of the
// text when there is none.
std::optional<std::string_view> ExtractEmailAddress(std::string_view text, size_t start,
                                                    size_t& next);

// The next dotted address at or after `start`: a run of digits and dots that
// begins the text or follows a space, "(", "[" or "@", holds exactly three dots
// and reads as an address. `next` is the position after it, or the end of the text.
std::optional<Ipv4Address> ExtractIpAddress(std::string_view text, size_t start, size_t& next);

} // namespace km
