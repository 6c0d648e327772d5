#include "wizard/ini_file.h"

#include "platform/text.h"

namespace km {

namespace {

std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string lineEndOf(const IniFile& file) {
  for (const IniLine& line : file.lines) {
    std::string_view text = line.text;
    std::string_view end = text.substr(withoutLineEnd(text).size());
    if (!end.empty()) {
      return std::string(end);
    }
  }
  return "\n";
}

template <typename File>
auto findEntry(File& file, std::string_view section, std::string_view key)
    -> decltype(&file.lines[0]) {
  for (auto& line : file.lines) {
    if (line.kind == IniLineKind::Entry && equalsIgnoreCase(line.section, section) &&
        equalsIgnoreCase(line.key, key)) {
      return &line;
    }
  }
  return nullptr;
}

// Makes sure the last line ends, so that a line can follow it.
void endLastLine(IniFile& file) {
  if (!file.lines.empty() && withoutLineEnd(file.lines.back().text) == file.lines.back().text) {
    file.lines.back().text += lineEndOf(file);
  }
}

} // namespace

IniFile parseIni(std::string_view text) {
  IniFile file;
  std::string section;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    end = end == std::string_view::npos ? text.size() : end + 1;
    IniLine line;
    line.text = std::string(text.substr(pos, end - pos));
    pos = end;
    std::string_view content = trimmed(withoutLineEnd(line.text));
    if (content.starts_with("[")) {
      size_t close = content.find(']');
      section = std::string(trimmed(
          content.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
      line.kind = IniLineKind::Section;
      line.section = section;
    } else if (!content.empty() && content.front() != ';' && content.front() != '#' &&
               content.find('=') != std::string_view::npos) {
      line.kind = IniLineKind::Entry;
      line.section = section;
      line.key = std::string(trimmed(content.substr(0, content.find('='))));
    }
    file.lines.push_back(std::move(line));
  }
  return file;
}

std::string formatIni(const IniFile& file) {
  std::string out;
  for (const IniLine& line : file.lines) {
    out += line.text;
  }
  return out;
}

std::optional<std::string> iniValue(const IniFile& file, std::string_view section,
                                    std::string_view key) {
  const IniLine* line = findEntry(file, section, key);
  if (line == nullptr) {
    return std::nullopt;
  }
  std::string_view content = withoutLineEnd(line->text);
  return std::string(trimmed(content.substr(content.find('=') + 1)));
}

std::vector<std::string> iniSections(const IniFile& file) {
  std::vector<std::string> names;
  for (const IniLine& line : file.lines) {
    if (line.kind == IniLineKind::Section) {
      names.push_back(line.section);
    }
  }
  return names;
}

std::vector<std::string> iniKeys(const IniFile& file, std::string_view section) {
  std::vector<std::string> keys;
  for (const IniLine& line : file.lines) {
    if (line.kind == IniLineKind::Entry && equalsIgnoreCase(line.section, section)) {
      keys.push_back(line.key);
    }
  }
  return keys;
}

void setIniValue(IniFile& file, std::string_view section, std::string_view key,
                 std::string_view value) {
  if (IniLine* line = findEntry(file, section, key)) {
    std::string_view text = line->text;
    std::string_view content = withoutLineEnd(text);
    std::string_view end = text.substr(content.size());
    size_t valueStart = content.find('=') + 1;
    while (valueStart < content.size() &&
           (content[valueStart] == ' ' || content[valueStart] == '\t')) {
      ++valueStart;
    }
    std::string_view oldValue = trimmed(content.substr(valueStart));
    if (oldValue == value) {
      return;
    }
    std::string_view after = content.substr(valueStart + oldValue.size());
    line->text = std::string(content.substr(0, valueStart)) + std::string(value) +
                 std::string(after) + std::string(end.empty() ? lineEndOf(file) : end);
    return;
  }
  IniLine entry;
  entry.kind = IniLineKind::Entry;
  entry.section = std::string(section);
  entry.key = std::string(key);
  entry.text = std::string(key) + "=" + std::string(value) + lineEndOf(file);

  // After the section's last entry (or its heading when it has none).
  std::optional<size_t> insertAt;
  for (size_t i = 0; i < file.lines.size(); ++i) {
    const IniLine& line = file.lines[i];
    if (equalsIgnoreCase(line.section, section) &&
        (line.kind == IniLineKind::Entry || line.kind == IniLineKind::Section)) {
      insertAt = i + 1;
    }
    if (line.kind == IniLineKind::Section && insertAt && !equalsIgnoreCase(line.section, section)) {
      break;
    }
  }
  if (insertAt) {
    if (*insertAt == file.lines.size()) {
      endLastLine(file);
    }
    file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(*insertAt),
                      std::move(entry));
    return;
  }
  endLastLine(file);
  IniLine heading;
  heading.kind = IniLineKind::Section;
  heading.section = std::string(section);
  heading.text = "[" + std::string(section) + "]" + lineEndOf(file);
  file.lines.push_back(std::move(heading));
  file.lines.push_back(std::move(entry));
}

bool removeIniValue(IniFile& file, std::string_view section, std::string_view key) {
  for (auto it = file.lines.begin(); it != file.lines.end(); ++it) {
    if (it->kind == IniLineKind::Entry && equalsIgnoreCase(it->section, section) &&
        equalsIgnoreCase(it->key, key)) {
      file.lines.erase(it);
      return true;
    }
  }
  return false;
}

} // namespace km
