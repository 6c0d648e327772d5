// Host names as links write them, made into the names and addresses they are
// looked up under, and the public suffix list that tells a host's registered
// domain.
#include <idn2.h>

#include <cstdio>
#include <memory>

#include "links.h"

namespace linkscan {

namespace {

constexpr size_t kLongestHost = 253;
constexpr size_t kLongestLabel = 63;
// Longer text is no host, whatever its escapes and international letters give.
constexpr size_t kLongestWritten = 1024;

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
    i += 2;
  }
  return out;
}

// One part of a numeric address: decimal, octal after a leading 0, hexadecimal
// after 0x. Nothing for other text or a value above `most`.
std::optional<uint64_t> numberPart(std::string_view text, uint64_t most) {
  if (text.empty()) {
    return std::nullopt;
  }
  unsigned base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() >= 2 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  uint64_t value = 0;
  for (char c : text) {
    int digit = hexValue(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) {
      return std::nullopt;
    }
    value = value * base + static_cast<unsigned>(digit);
    if (value > most) {
      return std::nullopt;
    }
  }
  return value;
}

bool onlyDigitsAndDots(std::string_view text) {
  return text.find_first_not_of("0123456789.") == std::string_view::npos;
}

bool isLabelCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool validName(std::string_view name) {
  if (name.empty() || name.size() > kLongestHost) {
    return false;
  }
  size_t labels = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    size_t end = dot == std::string_view::npos ? name.size() : dot;
    std::string_view label = name.substr(start, end - start);
    if (label.empty() || label.size() > kLongestLabel) {
      return false;
    }
    for (char c : label) {
      if (!isLabelCharacter(c)) {
        return false;
      }
    }
    ++labels;
    if (dot == std::string_view::npos) {
      // The top-level label: letters (or an "xn--" name), never only digits.
      if (label.size() < 2 || label.find('_') != std::string_view::npos ||
          label.find_first_not_of("0123456789") == std::string_view::npos) {
        return false;
      }
      break;
    }
    start = dot + 1;
  }
  return labels >= 2;
}

struct IdnText {
  char* text = nullptr;
  ~IdnText() { idn2_free(text); }
};

// An international name in its ASCII ("xn--") form; nothing when the bytes are not
// a valid UTF-8 host name.
std::optional<std::string> asciiName(const std::string& name) {
  for (int flags : {IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL, IDN2_NFC_INPUT | IDN2_TRANSITIONAL}) {
    IdnText ascii;
    if (idn2_to_ascii_8z(name.c_str(), &ascii.text, flags) == IDN2_OK && ascii.text != nullptr) {
      return std::string(ascii.text);
    }
  }
  return std::nullopt;
}

} // namespace

std::optional<std::string> numericAddress(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (parts.size() <= 4) {
    size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) {
      break;
    }
    start = dot + 1;
  }
  if (parts.empty() || parts.size() > 4) {
    return std::nullopt;
  }
  uint32_t address = 0;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    std::optional<uint64_t> part = numberPart(parts[i], 255);
    if (!part) {
      return std::nullopt;
    }
    address |= static_cast<uint32_t>(*part) << (24 - 8 * i);
  }
  // The last part fills the bytes the others left.
  unsigned lastBits = 32 - 8 * static_cast<unsigned>(parts.size() - 1);
  std::optional<uint64_t> last = numberPart(parts.back(), (uint64_t{1} << lastBits) - 1);
  if (!last) {
    return std::nullopt;
  }
  address |= static_cast<uint32_t>(*last);
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                (address >> 8) & 255, address & 255);
  return std::string(dotted);
}

bool isDottedAddress(std::string_view host) {
  return onlyDigitsAndDots(host) && numericAddress(host).value_or("") == host;
}

std::optional<std::string> normaliseHost(std::string_view written) {
  if (written.empty() || written.size() > kLongestWritten) {
    return std::nullopt;
  }
  std::optional<std::string> decoded = percentDecoded(written);
  if (!decoded) {
    return std::nullopt;
  }
  std::string host = std::move(*decoded);
  if (!host.empty() && host.back() == '.') {
    host.pop_back(); // the root: "example.com." is "example.com"
  }
  bool ascii = true;
  for (char& c : host) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (host.empty()) {
    return std::nullopt;
  }
  if (ascii && host.find_first_not_of("0123456789abcdefx.") == std::string::npos) {
    if (std::optional<std::string> address = numericAddress(host)) {
      return address;
    }
    if (onlyDigitsAndDots(host)) {
      return std::nullopt; // "1.2.3.4.5", "300.1.1.1": no address, and no name either
    }
  }
  if (!ascii) {
    std::optional<std::string> converted = asciiName(host);
    if (!converted) {
      return std::nullopt;
    }
    host = std::move(*converted);
  }
  if (!validName(host)) {
    return std::nullopt;
  }
  return host;
}

Suffixes::Suffixes() {
  // The system's list (the publicsuffix package) when there is one, else the one
  // built into the library.
  latest_ = psl_latest(nullptr);
  context_ = latest_ != nullptr ? latest_ : psl_builtin();
}

Suffixes::~Suffixes() {
  if (latest_ != nullptr) {
    psl_free(latest_);
  }
}

bool Suffixes::knownTopLevel(std::string_view host) const {
  size_t dot = host.rfind('.');
  std::string top(dot == std::string_view::npos ? host : host.substr(dot + 1));
  if (top.empty()) {
    return false;
  }
  if (context_ == nullptr) {
    return top.size() >= 2 &&
           top.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
  }
  return psl_is_public_suffix2(context_, top.c_str(), PSL_TYPE_ICANN | PSL_TYPE_NO_STAR_RULE) != 0;
}

std::string Suffixes::registrableDomain(const std::string& host) const {
  if (host.empty() || isDottedAddress(host)) {
    return {};
  }
  if (context_ == nullptr) {
    size_t last = host.rfind('.');
    size_t second =
        last == std::string::npos || last == 0 ? std::string::npos : host.rfind('.', last - 1);
    return last == std::string::npos     ? std::string()
           : second == std::string::npos ? host
                                         : host.substr(second + 1);
  }
  const char* domain = psl_registrable_domain(context_, host.c_str());
  return domain == nullptr ? std::string() : std::string(domain);
}

} // namespace linkscan
