#include "platform/md5.h"

#include <openssl/evp.h>

namespace km {

Md5Digest md5(std::string_view data) {
  Md5Digest digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

std::string md5Hex(std::string_view data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : md5(data)) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

} // namespace km
