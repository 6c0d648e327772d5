// Feeds arbitrary lines to the list-entry parsers and the pattern matcher, and
// checks the invariants of what they return.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  size_t firstBreak = bytes.find('\n');
  std::string_view pattern = bytes.substr(0, firstBreak);
  size_t pos = 0;
  while (pos <= bytes.size()) {
    size_t end = bytes.find('\n', pos);
    std::string_view line = bytes.substr(pos, end == std::string_view::npos ? end : end - pos);
    std::string_view entry = km::cleanListLine(line);

    km::Netblock block;
    if (km::ParseNetblock(entry, block) && km::ipCompare(block.low, block.high) > 0) {
      __builtin_trap(); // a block is always stored low to high
    }
    std::string address;
    if (km::ParseListAddress(entry, address) &&
        (address.empty() || address.find(' ') != std::string::npos ||
         (address.find('@') != std::string::npos &&
          (address.front() == '@' || address.back() == '@')))) {
      __builtin_trap();
    }
    // A pattern without stars matches exactly itself; every pattern matches itself
    // once its stars are taken as empty.
    std::string literal(line);
    std::erase(literal, '*');
    if (!km::MatchEmailPattern(line, literal)) {
      __builtin_trap();
    }
    km::MatchEmailPattern(pattern, line);

    if (end == std::string_view::npos) {
      break;
    }
    pos = end + 1;
  }
  return 0;
}
