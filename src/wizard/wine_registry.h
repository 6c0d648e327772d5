// The registry file Wine keeps for the current user (user.reg in the Wine prefix),
// read and changed the way Wine itself writes it. Every line that is not changed
// keeps its bytes exactly, line ends, comments, time stamps and values of kinds
// this reader does not know included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// One value as Windows stores it: the type and the raw bytes (strings as UTF-16LE
// with their terminating zero, double words as four bytes, little-endian).
struct RegistryData {
  uint32_t type = REG_SZ;
  std::string bytes;
  bool operator==(const RegistryData&) const = default;
};

enum class RegistryLineKind { Other, Key, Value };

// One line of the file, or a value with its continuation lines.
struct RegistryLine {
  std::string text; // the bytes as in the file, line end included
  RegistryLineKind kind = RegistryLineKind::Other;
  std::string key;  // the key path of a key line, or of the key a value belongs to
  std::string name; // a value's name; empty for the default value "@"
};

struct RegistryFile {
  std::vector<RegistryLine> lines;
};

RegistryFile parseRegistry(std::string_view text);
std::string formatRegistry(const RegistryFile& file);

// The value, or nothing when the key or value is missing or its data is written in
// a form this reader does not know. Key paths ("Software\Vendor\Program") and value
// names are compared ignoring case.
std::optional<RegistryData> registryValue(const RegistryFile& file, std::string_view key,
                                          std::string_view name);

// The names of the key's direct subkeys, in file order.
std::vector<std::string> registrySubkeys(const RegistryFile& file, std::string_view key);

// Sets a value of an existing key: its line is written anew as Wine writes it,
// keeping the line end of the old line; an equal value is left as it stands. A
// new value goes after the key's last value. False when the key does not exist.
bool setRegistryValue(RegistryFile& file, std::string_view key, std::string_view name,
                      const RegistryData& data);
// Removes a value; false when there was none.
bool removeRegistryValue(RegistryFile& file, std::string_view key, std::string_view name);

// Value data from and to text (UTF-8 here, UTF-16LE in the registry).
RegistryData registryString(std::string_view text, uint32_t type = REG_EXPAND_SZ);
RegistryData registryDword(uint32_t number);
// A text stored as a binary value: its UTF-16LE bytes and a terminating zero.
RegistryData registryUtf16Binary(std::string_view text);
// The text of a string value, or of a binary value holding UTF-16LE text; up to the
// first zero character.
std::optional<std::string> registryText(const RegistryData& data);
std::optional<uint32_t> registryNumber(const RegistryData& data);

std::u16string utf16FromUtf8(std::string_view text);
std::string utf8FromUtf16(std::u16string_view text);

} // namespace km
