#include "filter/address_scan.h"

#include <algorithm>
#include <cctype>

namespace km {

namespace {

bool isAddressCharacter(char c) {
  static constexpr std::string_view kSymbols = ".!#$%&'*+-/=?^_`{|}~";
  return std::isalnum(static_cast<unsigned char>(c)) || kSymbols.find(c) != std::string_view::npos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool opensAddress(char c) {
  return c == ' ' || c == '(' || c == '[' || c == '@';
}

} // namespace

std::optional<std::string_view> ExtractEmailAddress(std::string_view text, size_t start,
                                                    size_t& next) {
  for (size_t at = text.find('@', start); at != std::string_view::npos;
       at = text.find('@', at + 1)) {
    size_t first = at;
    while (first > 0 && isAddressCharacter(text[first - 1])) {
      --first;
    }
    size_t end = at + 1;
    while (end < text.size() && isAddressCharacter(text[end])) {
      ++end;
    }
    if (first < at && end > at + 1) {
      next = end;
      return text.substr(first, end - first);
    }
  }
  next = text.size();
  return std::nullopt;
}

std::optional<Ipv4Address> ExtractIpAddress(std::string_view text, size_t start, size_t& next) {
  size_t i = start;
  while (i < text.size()) {
    if (!isDigit(text[i]) || (i > 0 && !opensAddress(text[i - 1]))) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && (isDigit(text[end]) || text[end] == '.')) {
      ++end;
    }
    std::string_view run = text.substr(i, end - i);
    Ipv4Address address;
    if (std::count(run.begin(), run.end(), '.') == 3 && parseIpv4(run, address)) {
      next = end;
      return address;
    }
    i = end;
  }
  next = text.size();
  return std::nullopt;
}

} // namespace km
