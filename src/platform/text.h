// Text helpers: ASCII case rules, number reading as the data files need it, and
// printf-style formatting that is safe with formats read from files.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace km {

char asciiLower(char c);
char asciiUpper(char c);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);
std::string toLowerAscii(std::string_view text);

// Reads a decimal integer the way the data files are read: optional leading
// white space and sign, then the leading digits; no digits gives 0. Values beyond
// the type's range are clamped.
int32_t readInt(std::string_view text);
int64_t readLong(std::string_view text);
// Reads a floating-point number from the start of the text; 0 when there is none.
double readDouble(std::string_view text);

// One argument of formatText. Numbers and texts convert into each other when a
// format asks for the other kind, so a wrong template never reads bad memory.
class FormatArg {
public:
  FormatArg(int value) : value_(static_cast<int64_t>(value)) {}
  FormatArg(long value) : value_(static_cast<int64_t>(value)) {}
  FormatArg(long long value) : value_(static_cast<int64_t>(value)) {}
  FormatArg(unsigned value) : value_(static_cast<uint64_t>(value)) {}
  FormatArg(unsigned long value) : value_(static_cast<uint64_t>(value)) {}
  FormatArg(unsigned long long value) : value_(static_cast<uint64_t>(value)) {}
  FormatArg(double value) : value_(value) {}
  FormatArg(const char* value) : value_(std::string_view(value ? value : "")) {}
  FormatArg(std::string_view value) : value_(value) {}
  FormatArg(const std::string& value) : value_(std::string_view(value)) {}

  int64_t asSigned() const;
  uint64_t asUnsigned() const;
  double asDouble() const;
  std::string asText() const;

private:
  std::variant<int64_t, uint64_t, double, std::string_view> value_;
};

// printf-style formatting of %d %i %u %x %X %o %c %s %f %% with flags, width,
// precision and length modifiers. A missing argument formats as empty text (or 0).
std::string formatText(std::string_view format, std::initializer_list<FormatArg> args);

} // namespace km
