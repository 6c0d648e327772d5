#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

namespace km {

std::optional<std::string> randomHexToken(size_t byteCount) {
  std::vector<unsigned char> bytes(byteCount);
  size_t filled = 0;
  while (filled < byteCount) {
    ssize_t got = getrandom(bytes.data() + filled, byteCount - filled, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    filled += static_cast<size_t>(got);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(byteCount * 2);
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

} // namespace km
