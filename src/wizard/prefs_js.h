// Thunderbird's prefs.js: one user_pref("name", value); line per setting. Changing
// a setting rewrites the value inside its line and nothing else; comments and
// lines of settings nobody asked about keep their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct PrefsLine {
  std::string text; // the bytes as in the file, line end included
  std::string name; // empty for lines that set nothing
  size_t valueStart = 0;
  size_t valueLength = 0;
};

struct PrefsFile {
  std::vector<PrefsLine> lines;
};

PrefsFile parsePrefs(std::string_view text);
std::string formatPrefs(const PrefsFile& file);

// A string setting's text, or a number setting as decimal text.
std::optional<std::string> prefValue(const PrefsFile& file, std::string_view name);
std::optional<int64_t> prefNumber(const PrefsFile& file, std::string_view name);

// Sets a string or a number; a new setting is appended as its own line.
void setPrefString(PrefsFile& file, std::string_view name, std::string_view value);
void setPrefNumber(PrefsFile& file, std::string_view name, int64_t value);
bool removePref(PrefsFile& file, std::string_view name);

// The names of settings that start with the prefix, in file order.
std::vector<std::string> prefNames(const PrefsFile& file, std::string_view prefix);

} // namespace km
