// The line syntax of config.dat and the list files: lines are read in pieces of at
// most 1023 bytes (a longer line reads as several), and the first byte from 0 to 31
// ends a line's text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace km {

inline constexpr size_t kConfigLineBuffer = 1024;

// Reads the next piece: up to and including a line feed, or 1023 bytes, whichever
// comes first. False at the end of the file when nothing was read. `line` gets
// the text cut at its first control byte; `endsLine`, when given, whether the
// piece ended with a line feed.
bool readConfigLine(FILE* file, std::string& line, bool* endsLine = nullptr);

// A number as the configuration files write it: the decimal digits the value
// starts with (blanks before them skipped); anything else, a sign included, gives
// 0. Values too large for the type are read as its largest.
int32_t readConfigNumber(std::string_view value);
int64_t readConfigLong(std::string_view value);

// The byte-order mark some editors put before the first line of a UTF-8 file.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// A config.dat line: the key is the text up to the first space, the value all
// after that space as it stands; a line without a space has an empty value.
struct KeyValue {
  std::string_view key;
  std::string_view value;
};
KeyValue splitKeyValue(std::string_view line);

// The value of a key in config.dat as the file holds it now (the first line with
// that key, ignoring case), read without loading the configuration: for a program
// that only looks (kestrelmail -stats). Nothing without the file or the key.
std::optional<std::string> readSavedSetting(std::string_view key);

// Cuts text at its first control byte (1 to 31, and NUL).
std::string_view cutAtControl(std::string_view text);

} // namespace km
