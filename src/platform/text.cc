#include "platform/text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace km {

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char asciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string toLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    c = asciiLower(c);
  }
  return lower;
}

namespace {

bool isBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

template <typename Int> Int readInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that the type's minimum is reachable.
  constexpr Int kLowest = std::numeric_limits<Int>::min();
  Int value = 0;
  bool clamped = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    Int digit = text[i] - '0';
    if (value < (kLowest + digit) / 10) {
      clamped = true;
      value = kLowest;
      continue;
    }
    if (!clamped) {
      value = value * 10 - digit;
    }
  }
  if (negative) {
    return value;
  }
  return value == kLowest ? std::numeric_limits<Int>::max() : -value;
}

} // namespace

int32_t readInt(std::string_view text) {
  return readInteger<int32_t>(text);
}
int64_t readLong(std::string_view text) {
  return readInteger<int64_t>(text);
}

double readDouble(std::string_view text) {
  std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

int64_t FormatArg::asSigned() const {
  if (auto* v = std::get_if<int64_t>(&value_)) {
    return *v;
  }
  if (auto* v = std::get_if<uint64_t>(&value_)) {
    return static_cast<int64_t>(*v);
  }
  if (auto* v = std::get_if<double>(&value_)) {
    return static_cast<int64_t>(*v);
  }
  return readLong(std::get<std::string_view>(value_));
}

uint64_t FormatArg::asUnsigned() const {
  if (auto* v = std::get_if<uint64_t>(&value_)) {
    return *v;
  }
  return static_cast<uint64_t>(asSigned());
}

double FormatArg::asDouble() const {
  if (auto* v = std::get_if<double>(&value_)) {
    return *v;
  }
  if (auto* v = std::get_if<std::string_view>(&value_)) {
    return readDouble(*v);
  }
  if (auto* v = std::get_if<uint64_t>(&value_)) {
    return static_cast<double>(*v);
  }
  return static_cast<double>(std::get<int64_t>(value_));
}

std::string FormatArg::asText() const {
  if (auto* v = std::get_if<std::string_view>(&value_)) {
    return std::string(*v);
  }
  if (auto* v = std::get_if<uint64_t>(&value_)) {
    return std::to_string(*v);
  }
  if (auto* v = std::get_if<double>(&value_)) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", *v);
    return buffer;
  }
  return std::to_string(std::get<int64_t>(value_));
}

namespace {

// Formats one conversion whose specification (flags, width, precision, without
// the length modifier) is `spec`, followed by the conversion letter.
template <typename T> void appendFormatted(std::string& out, const std::string& spec, T value) {
  char buffer[128];
  int needed = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
  if (needed < 0) {
    return;
  }
  if (static_cast<size_t>(needed) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(needed));
    return;
  }
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  std::snprintf(large.data(), large.size(), spec.c_str(), value);
  out.append(large.data(), static_cast<size_t>(needed));
}

} // namespace

std::string formatText(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 32);
  const FormatArg* next = args.begin();
  auto take = [&]() -> const FormatArg* {
    return next != args.end() ? next++ : nullptr;
  };

  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    size_t start = i++;
    std::string spec = "%";
    while (i < format.size() &&
           std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
      spec += format[i++];
    }
    // Widths and precisions are limited so a hostile template cannot ask for
    // gigabytes of padding.
    auto copyNumber = [&] {
      size_t digits = 0;
      while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) {
        if (++digits <= 3) {
          spec += format[i];
        }
        ++i;
      }
    };
    copyNumber();
    if (i < format.size() && format[i] == '.') {
      spec += format[i++];
      copyNumber();
    }
    while (i < format.size() &&
           std::string_view("hlLqjzt").find(format[i]) != std::string_view::npos) {
      ++i;
    }
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    char conversion = format[i];
    switch (conversion) {
    case '%':
      out += '%';
      break;
    case 'd':
    case 'i': {
      const FormatArg* arg = take();
      appendFormatted(out, spec + "lld", static_cast<long long>(arg ? arg->asSigned() : 0));
      break;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      const FormatArg* arg = take();
      appendFormatted(out, spec + "ll" + conversion,
                      static_cast<unsigned long long>(arg ? arg->asUnsigned() : 0));
      break;
    }
    case 'c': {
      const FormatArg* arg = take();
      appendFormatted(out, spec + "c", static_cast<int>(arg ? arg->asSigned() : ' '));
      break;
    }
    case 'f':
    case 'g':
    case 'e': {
      const FormatArg* arg = take();
      appendFormatted(out, spec + conversion, arg ? arg->asDouble() : 0.0);
      break;
    }
    case 's': {
      const FormatArg* arg = take();
      std::string text = arg ? arg->asText() : std::string();
      appendFormatted(out, spec + "s", text.c_str());
      break;
    }
    default:
      // Not a conversion this formatter knows: keep the text as written.
      out.append(format.substr(start, i - start + 1));
      break;
    }
  }
  return out;
}

} // namespace km
