#include "wizard/prefs_js.h"

#include "platform/text.h"

namespace km {

namespace {

std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

// Reads a JavaScript string literal starting at `pos` (the opening quote); `pos`
// ends after the closing quote. Nothing when it does not close.
std::optional<std::string> readLiteral(std::string_view text, size_t& pos) {
  if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) {
    return std::nullopt;
  }
  char quote = text[pos++];
  std::string out;
  while (pos < text.size() && text[pos] != quote) {
    char c = text[pos++];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos >= text.size()) {
      return std::nullopt;
    }
    char escaped = text[pos++];
    switch (escaped) {
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'u':
    case 'x': {
      size_t digits = escaped == 'u' ? 4 : 2;
      if (pos + digits > text.size()) {
        return std::nullopt;
      }
      uint32_t code = 0;
      for (size_t i = 0; i < digits; ++i) {
        char d = text[pos + i];
        int value = (d >= '0' && d <= '9')   ? d - '0'
                    : (d >= 'a' && d <= 'f') ? d - 'a' + 10
                    : (d >= 'A' && d <= 'F') ? d - 'A' + 10
                                             : -1;
        if (value < 0) {
          return std::nullopt;
        }
        code = code * 16 + static_cast<uint32_t>(value);
      }
      pos += digits;
      if (code < 0x80) {
        out += static_cast<char>(code);
      } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      }
      break;
    }
    default:
      out += escaped;
    }
  }
  if (pos >= text.size()) {
    return std::nullopt;
  }
  ++pos;
  return out;
}

std::string literal(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void skipBlanks(std::string_view text, size_t& pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
    ++pos;
  }
}

// Finds the name and the value's extent in a user_pref line.
void parseLine(PrefsLine& line) {
  std::string_view text = withoutLineEnd(line.text);
  size_t pos = 0;
  skipBlanks(text, pos);
  for (std::string_view call : {"user_pref", "pref", "sticky_pref"}) {
    if (text.substr(pos).starts_with(call) &&
        text.substr(pos + call.size()).find('(') != std::string_view::npos) {
      size_t at = pos + call.size();
      skipBlanks(text, at);
      if (at >= text.size() || text[at] != '(') {
        continue;
      }
      ++at;
      skipBlanks(text, at);
      std::optional<std::string> name = readLiteral(text, at);
      skipBlanks(text, at);
      if (!name || at >= text.size() || text[at] != ',') {
        return;
      }
      ++at;
      skipBlanks(text, at);
      size_t start = at;
      if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
        if (!readLiteral(text, at)) {
          return;
        }
      } else {
        while (at < text.size() && text[at] != ')' && text[at] != ' ' && text[at] != '\t') {
          ++at;
        }
      }
      line.name = *name;
      line.valueStart = start;
      line.valueLength = at - start;
      return;
    }
  }
}

template <typename File>
auto findLine(File& file, std::string_view name) -> decltype(&file.lines[0]) {
  for (auto& line : file.lines) {
    if (!line.name.empty() && line.name == name) {
      return &line;
    }
  }
  return nullptr;
}

std::string lineEndOf(const PrefsFile& file) {
  for (const PrefsLine& line : file.lines) {
    std::string_view text = line.text;
    std::string_view end = text.substr(withoutLineEnd(text).size());
    if (!end.empty()) {
      return std::string(end);
    }
  }
  return "\n";
}

void setRawValue(PrefsFile& file, std::string_view name, const std::string& raw) {
  if (PrefsLine* line = findLine(file, name)) {
    if (line->text.compare(line->valueStart, line->valueLength, raw) != 0) {
      line->text.replace(line->valueStart, line->valueLength, raw);
      line->valueLength = raw.size();
    }
    return;
  }
  std::string end = lineEndOf(file);
  if (!file.lines.empty() && withoutLineEnd(file.lines.back().text) == file.lines.back().text) {
    file.lines.back().text += end;
  }
  PrefsLine line;
  line.text = "user_pref(" + literal(name) + ", " + raw + ");" + end;
  parseLine(line);
  file.lines.push_back(std::move(line));
}

} // namespace

PrefsFile parsePrefs(std::string_view text) {
  PrefsFile file;
  bool inComment = false;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    end = end == std::string_view::npos ? text.size() : end + 1;
    PrefsLine line;
    line.text = std::string(text.substr(pos, end - pos));
    pos = end;
    // Lines inside a block comment set nothing.
    std::string_view content = withoutLineEnd(line.text);
    size_t open = content.find("/*");
    if (!inComment && content.find_first_not_of(" \t") != std::string_view::npos &&
        content.substr(content.find_first_not_of(" \t")).starts_with("/*")) {
      inComment = content.find("*/", open + 2) == std::string_view::npos;
    } else if (inComment) {
      inComment = content.find("*/") == std::string_view::npos;
    } else {
      parseLine(line);
    }
    file.lines.push_back(std::move(line));
  }
  return file;
}

std::string formatPrefs(const PrefsFile& file) {
  std::string out;
  for (const PrefsLine& line : file.lines) {
    out += line.text;
  }
  return out;
}

std::optional<std::string> prefValue(const PrefsFile& file, std::string_view name) {
  const PrefsLine* line = findLine(file, name);
  if (line == nullptr) {
    return std::nullopt;
  }
  std::string_view raw = std::string_view(line->text).substr(line->valueStart, line->valueLength);
  if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
    size_t at = 0;
    return readLiteral(raw, at);
  }
  return std::string(raw);
}

std::optional<int64_t> prefNumber(const PrefsFile& file, std::string_view name) {
  std::optional<std::string> value = prefValue(file, name);
  if (!value || value->empty() || value->find_first_not_of("-0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return readLong(*value);
}

void setPrefString(PrefsFile& file, std::string_view name, std::string_view value) {
  // A value that already reads the same keeps its spelling (quotes, escapes).
  const PrefsLine* line = findLine(file, name);
  bool isLiteral = line != nullptr && line->valueLength > 0 &&
                   (line->text[line->valueStart] == '"' || line->text[line->valueStart] == '\'');
  if (isLiteral && prefValue(file, name) == std::string(value)) {
    return;
  }
  setRawValue(file, name, literal(value));
}

void setPrefNumber(PrefsFile& file, std::string_view name, int64_t value) {
  setRawValue(file, name, std::to_string(value));
}

bool removePref(PrefsFile& file, std::string_view name) {
  for (auto it = file.lines.begin(); it != file.lines.end(); ++it) {
    if (it->name == name) {
      file.lines.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> prefNames(const PrefsFile& file, std::string_view prefix) {
  std::vector<std::string> names;
  for (const PrefsLine& line : file.lines) {
    if (!line.name.empty() && line.name.starts_with(prefix)) {
      names.push_back(line.name);
    }
  }
  return names;
}

} // namespace km
