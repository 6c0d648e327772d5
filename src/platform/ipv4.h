// IPv4 addresses and ranges as the lists, the listeners and the filters share them:
// four bytes in network order, compared byte by byte from the first.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km {

using Ipv4Address = std::array<uint8_t, 4>;

// An inclusive range, low then high; a single address has low == high.
struct Netblock {
  Ipv4Address low{};
  Ipv4Address high{};
  bool operator==(const Netblock&) const = default;
};

inline constexpr Ipv4Address kLoopbackAddress{127, 0, 0, 1};

// Parses the four-part decimal dotted form ("192.0.2.1"); white space may follow
// the address and ends it. "255.255.255.255" is refused, as the system's classic
// parser cannot tell it from an error.
bool parseIpv4(std::string_view text, Ipv4Address& out);

bool ipEquals(const Ipv4Address& a, const Ipv4Address& b);
// 0 when equal, else the difference of the first differing bytes.
int ipCompare(const Ipv4Address& a, const Ipv4Address& b);
bool ipInRange(const Ipv4Address& address, const Netblock& range);
std::string ipToString(const Ipv4Address& address);

} // namespace km
