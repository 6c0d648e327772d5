// INI files ("[Section]" lines and "key=value" entries) as the Windows profile
// functions read and write them: sections and keys compared ignoring case, blanks
// around keys and values dropped. Changing an entry rewrites that line only; every
// other line keeps its bytes, comments and line ends included.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

enum class IniLineKind { Other, Section, Entry };

struct IniLine {
  std::string text; // the bytes as in the file, line end included
  IniLineKind kind = IniLineKind::Other;
  std::string section; // a section line's name, or the section an entry belongs to
  std::string key;
};

struct IniFile {
  std::vector<IniLine> lines;
};

IniFile parseIni(std::string_view text);
std::string formatIni(const IniFile& file);

// The first entry of the key in the section (the first section of that name).
std::optional<std::string> iniValue(const IniFile& file, std::string_view section,
                                    std::string_view key);
// The section names, in file order.
std::vector<std::string> iniSections(const IniFile& file);
// The keys of a section, in file order.
std::vector<std::string> iniKeys(const IniFile& file, std::string_view section);

// Sets an entry: an existing line keeps its key and the blanks around "=" and gets
// the new value; a new entry goes after the section's last entry; a new section
// goes at the end.
void setIniValue(IniFile& file, std::string_view section, std::string_view key,
                 std::string_view value);
// Removes the entry; false when there was none.
bool removeIniValue(IniFile& file, std::string_view section, std::string_view key);

} // namespace km
