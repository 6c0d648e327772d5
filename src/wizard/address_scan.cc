#include "wizard/address_scan.h"

#include "platform/text.h"

namespace km {

namespace {

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isLocalChar(char c) {
  return isLetter(c) || isDigit(c) || c == '-' || c == '_' || c == '.';
}
bool isDomainChar(char c) {
  return isLetter(c) || isDigit(c) || c == '-' || c == '_';
}
bool isMiddleChar(char c) {
  return isLetter(c) || isDigit(c) || c == '_' || c == '.' || c == '\\';
}

// Runs longer than this are not addresses; the bound keeps the backtracking short.
constexpr size_t kLongestRun = 256;

// The end of the address whose domain starts at `start`, or 0 when none fits there.
// Tries the greedy lengths first and gives back characters one by one.
size_t matchDomain(std::string_view text, size_t start) {
  size_t firstRun = 0;
  while (start + firstRun < text.size() && firstRun < kLongestRun &&
         isDomainChar(text[start + firstRun])) {
    ++firstRun;
  }
  for (size_t first = firstRun; first >= 1; --first) {
    size_t middleStart = start + first;
    size_t middleRun = 0;
    while (middleStart + middleRun < text.size() && middleRun < kLongestRun &&
           isMiddleChar(text[middleStart + middleRun])) {
      ++middleRun;
    }
    for (size_t middle = middleRun + 1; middle-- > 0;) {
      size_t dot = middleStart + middle;
      if (dot + 2 < text.size() && text[dot] == '.' && isLetter(text[dot + 1]) &&
          isLetter(text[dot + 2])) {
        // The top-level part takes every letter that follows: cut after three, a
        // longer one (".info") would give a wrong address.
        size_t end = dot + 3;
        while (end < text.size() && end - dot <= kLongestRun && isLetter(text[end])) {
          ++end;
        }
        return end;
      }
    }
  }
  return 0;
}

} // namespace

std::vector<std::string> scanAddresses(std::string_view text) {
  std::vector<std::string> found;
  size_t searchFrom = 0;
  for (size_t at = text.find('@'); at != std::string_view::npos; at = text.find('@', at + 1)) {
    if (at < searchFrom) {
      continue;
    }
    size_t start = at;
    while (start > searchFrom && at - start < kLongestRun && isLocalChar(text[start - 1])) {
      --start;
    }
    if (start == at) {
      continue;
    }
    size_t end = matchDomain(text, at + 1);
    if (end == 0) {
      continue;
    }
    found.emplace_back(text.substr(start, end - start));
    searchFrom = end;
    at = end - 1;
  }
  return found;
}

std::vector<std::string> scanAddressesInBinary(std::string_view bytes) {
  std::vector<std::string> found = scanAddresses(bytes);
  // UTF-16LE text: an ASCII character followed by a zero byte.
  std::string narrowed;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    narrowed += bytes[i + 1] == 0 && bytes[i] != 0 ? bytes[i] : ' ';
  }
  mergeAddresses(found, scanAddresses(narrowed));
  narrowed.clear();
  for (size_t i = 1; i + 1 < bytes.size(); i += 2) {
    narrowed += bytes[i + 1] == 0 && bytes[i] != 0 ? bytes[i] : ' ';
  }
  mergeAddresses(found, scanAddresses(narrowed));
  return found;
}

void mergeAddresses(std::vector<std::string>& list, const std::vector<std::string>& more) {
  for (const std::string& address : more) {
    bool known = false;
    for (const std::string& held : list) {
      known = known || equalsIgnoreCase(held, address);
    }
    if (!known) {
      list.push_back(address);
    }
  }
}

} // namespace km
