#include "platform/ipv4.h"

#include <algorithm>
#include <cstring>

namespace km {

bool parseIpv4(std::string_view text, Ipv4Address& out) {
  Ipv4Address parsed{};
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') {
        return false;
      }
      ++pos;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      if (value > 255) {
        return false;
      }
      ++pos;
      ++digits;
    }
    if (digits == 0) {
      return false;
    }
    parsed[static_cast<size_t>(part)] = static_cast<uint8_t>(value);
  }
  if (pos < text.size() && text[pos] != ' ' && !(text[pos] >= '\t' && text[pos] <= '\r')) {
    return false;
  }
  if (parsed == Ipv4Address{255, 255, 255, 255}) {
    return false;
  }
  out = parsed;
  return true;
}

bool ipEquals(const Ipv4Address& a, const Ipv4Address& b) {
  return a == b;
}

int ipCompare(const Ipv4Address& a, const Ipv4Address& b) {
  for (size_t i = 0; i < 4; ++i) {
    if (a[i] != b[i]) {
      return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    }
  }
  return 0;
}

bool ipInRange(const Ipv4Address& address, const Netblock& range) {
  return ipCompare(range.low, address) <= 0 && ipCompare(address, range.high) <= 0;
}

std::string ipToString(const Ipv4Address& address) {
  return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
         std::to_string(address[2]) + "." + std::to_string(address[3]);
}

} // namespace km
