// MD5 digests, for the APOP log-in and the message digests the IMAP4 state keeps.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace km {

using Md5Digest = std::array<uint8_t, 16>;

Md5Digest md5(std::string_view data);

// The digest as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view data);

} // namespace km
