#include "wizard/wine_registry.h"

#include <cstdio>

#include "platform/text.h"

namespace km {

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hexValue(char c) {
  return c <= '9' ? c - '0' : asciiLower(c) - 'a' + 10;
}
bool isOctalDigit(char16_t c) {
  return c >= '0' && c <= '7';
}

// The line without its line end.
std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

std::string_view lineEndOf(std::string_view line) {
  return line.substr(withoutLineEnd(line).size());
}

// Decodes one UTF-8 sequence at `pos`; a byte that starts none is taken as Latin-1.
void decodeByteRun(std::string_view text, size_t& pos, std::u16string& out) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length > 1 && pos + static_cast<size_t>(length) <= text.size()) {
    uint32_t code = lead & (0x3F >> (length - 1));
    bool valid = true;
    for (int i = 1; i < length && valid; ++i) {
      unsigned char next = static_cast<unsigned char>(text[pos + static_cast<size_t>(i)]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (valid) {
      pos += static_cast<size_t>(length);
      if (code >= 0x10000) {
        code -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (code >> 10));
        out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
      } else {
        out += static_cast<char16_t>(code);
      }
      return;
    }
  }
  ++pos;
  out += static_cast<char16_t>(lead);
}

// Reads a quoted or bracketed name or string up to the unescaped end character,
// undoing Wine's escapes. `pos` starts after the opening character and ends after
// the closing one. Nothing when the end character never comes.
std::optional<std::u16string> parseEscaped(std::string_view text, size_t& pos, char end) {
  std::u16string out;
  while (pos < text.size() && text[pos] != end) {
    char c = text[pos];
    if (c != '\\') {
      if (static_cast<unsigned char>(c) >= 0x80) {
        decodeByteRun(text, pos, out);
      } else {
        out += static_cast<char16_t>(c);
        ++pos;
      }
      continue;
    }
    if (++pos >= text.size()) {
      return std::nullopt;
    }
    c = text[pos];
    switch (c) {
    case 'a':
      out += u'\a';
      ++pos;
      break;
    case 'b':
      out += u'\b';
      ++pos;
      break;
    case 'e':
      out += char16_t{27};
      ++pos;
      break;
    case 'f':
      out += u'\f';
      ++pos;
      break;
    case 'n':
      out += u'\n';
      ++pos;
      break;
    case 'r':
      out += u'\r';
      ++pos;
      break;
    case 't':
      out += u'\t';
      ++pos;
      break;
    case 'v':
      out += u'\v';
      ++pos;
      break;
    case 'x': {
      ++pos;
      if (pos >= text.size() || !isHexDigit(text[pos])) {
        out += u'x';
        break;
      }
      char16_t value = 0;
      for (int i = 0; i < 4 && pos < text.size() && isHexDigit(text[pos]); ++i) {
        value = static_cast<char16_t>(value * 16 + hexValue(text[pos++]));
      }
      out += value;
      break;
    }
    default:
      if (isOctalDigit(static_cast<char16_t>(c))) {
        char16_t value = 0;
        for (int i = 0;
             i < 3 && pos < text.size() && isOctalDigit(static_cast<char16_t>(text[pos])); ++i) {
          value = static_cast<char16_t>(value * 8 + (text[pos++] - '0'));
        }
        out += value;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        decodeByteRun(text, pos, out);
      } else {
        out += static_cast<char16_t>(c);
        ++pos;
      }
    }
  }
  if (pos >= text.size()) {
    return std::nullopt;
  }
  ++pos;
  return out;
}

// Writes text the way Wine writes names and strings: characters above 127 as hex
// escapes, control characters as C or octal escapes, and a backslash before
// backslashes and the two given characters. A final zero is left out.
std::string dumpEscaped(std::u16string_view text, char escape1, char escape2) {
  static const char escapes[33] = ".......abtnvfr.............e....";
  std::string out;
  char buffer[16];
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool hasNext = i + 1 < text.size();
    if (c > 127) {
      bool hexFollows = hasNext && text[i + 1] < 128 && isHexDigit(static_cast<char>(text[i + 1]));
      std::snprintf(buffer, sizeof buffer, hexFollows ? "\\x%04x" : "\\x%x", unsigned{c});
      out += buffer;
    } else if (c < 32) {
      if (c == 0 && !hasNext) {
        continue;
      }
      if (escapes[c] != '.') {
        out += '\\';
        out += escapes[c];
      } else {
        bool octalFollows = hasNext && isOctalDigit(text[i + 1]);
        std::snprintf(buffer, sizeof buffer, octalFollows ? "\\%03o" : "\\%o", unsigned{c});
        out += buffer;
      }
    } else {
      if (c == '\\' || c == escape1 || c == escape2) {
        out += '\\';
      }
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::u16string u16FromBytes(std::string_view bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return out;
}

std::string bytesFromU16(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

// Parses the data part of a value line ("..." / str(n):"..." / dword:... /
// hex:... / hex(n):...). Continuation lines of hex data are part of the text.
std::optional<RegistryData> parseData(std::string_view text) {
  RegistryData data;
  size_t pos = 0;
  auto parseTypeNumber = [&](uint32_t& type) {
    if (pos >= text.size() || text[pos] != '(') {
      return false;
    }
    size_t close = text.find(')', pos);
    if (close == std::string_view::npos || close == pos + 1) {
      return false;
    }
    type = 0;
    for (size_t i = pos + 1; i < close; ++i) {
      if (!isHexDigit(text[i])) {
        return false;
      }
      type = type * 16 + static_cast<uint32_t>(hexValue(text[i]));
    }
    pos = close + 1;
    return true;
  };
  if (text.starts_with("str")) {
    pos = 3;
    if (!parseTypeNumber(data.type) || pos + 1 >= text.size() || text[pos] != ':' ||
        text[pos + 1] != '"') {
      return std::nullopt;
    }
    pos += 2;
  } else if (text.starts_with("\"")) {
    pos = 1;
    data.type = REG_SZ;
  } else if (text.starts_with("dword:")) {
    std::string_view digits = withoutLineEnd(text.substr(6));
    if (digits.size() != 8) {
      return std::nullopt;
    }
    uint32_t number = 0;
    for (char c : digits) {
      if (!isHexDigit(c)) {
        return std::nullopt;
      }
      number = number * 16 + static_cast<uint32_t>(hexValue(c));
    }
    return registryDword(number);
  } else if (text.starts_with("hex")) {
    pos = 3;
    data.type = REG_BINARY;
    if (pos < text.size() && text[pos] == '(' && !parseTypeNumber(data.type)) {
      return std::nullopt;
    }
    if (pos >= text.size() || text[pos] != ':') {
      return std::nullopt;
    }
    ++pos;
    while (pos < text.size()) {
      char c = text[pos];
      if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\\') {
        ++pos;
        continue;
      }
      if (pos + 1 >= text.size() || !isHexDigit(c) || !isHexDigit(text[pos + 1])) {
        return std::nullopt;
      }
      data.bytes += static_cast<char>(hexValue(c) * 16 + hexValue(text[pos + 1]));
      pos += 2;
    }
    return data;
  } else {
    return std::nullopt;
  }
  std::optional<std::u16string> value = parseEscaped(text, pos, '"');
  if (!value) {
    return std::nullopt;
  }
  value->push_back(u'\0');
  data.bytes = bytesFromU16(*value);
  return data;
}

// The value line text, as Wine writes it, without a line end.
std::string formatValue(std::string_view name, const RegistryData& data) {
  std::string out;
  if (name.empty()) {
    out = "@=";
  } else {
    out = "\"" + dumpEscaped(utf16FromUtf8(name), '"', '"') + "\"=";
  }
  const bool isString = data.type == REG_SZ || data.type == REG_EXPAND_SZ || data.type == 7;
  if (isString && data.bytes.size() >= 2 && data.bytes.size() % 2 == 0 &&
      data.bytes[data.bytes.size() - 1] == 0 && data.bytes[data.bytes.size() - 2] == 0) {
    if (data.type != REG_SZ) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "str(%x):", unsigned{data.type});
      out += buffer;
    }
    out += "\"" + dumpEscaped(u16FromBytes(data.bytes), '"', '"') + "\"";
    return out;
  }
  if (data.type == REG_DWORD && data.bytes.size() == 4) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "dword:%08x", *registryNumber(data));
    return out + buffer;
  }
  // Hex bytes, wrapped the way Wine wraps them: the count includes the name part.
  if (data.type == REG_BINARY) {
    out += "hex:";
  } else {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "hex(%x):", unsigned{data.type});
    out += buffer;
  }
  size_t count = out.size();
  for (size_t i = 0; i < data.bytes.size(); ++i) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02x",
                  unsigned{static_cast<unsigned char>(data.bytes[i])});
    out += buffer;
    count += 2;
    if (i + 1 < data.bytes.size()) {
      out += ',';
      if (++count > 76) {
        out += "\\\n  ";
        count = 2;
      }
    }
  }
  return out;
}

// Parses a value line's name; `pos` ends after the "=".
std::optional<std::string> parseValueName(std::string_view line, size_t& pos) {
  if (line.starts_with("@=")) {
    pos = 2;
    return std::string();
  }
  pos = 1;
  std::optional<std::u16string> name = parseEscaped(line, pos, '"');
  if (!name || pos >= line.size() || line[pos] != '=') {
    return std::nullopt;
  }
  ++pos;
  return utf8FromUtf16(*name);
}

template <typename File>
auto findValueLine(File& file, std::string_view key, std::string_view name)
    -> decltype(&file.lines[0]) {
  for (auto& line : file.lines) {
    if (line.kind == RegistryLineKind::Value && equalsIgnoreCase(line.key, key) &&
        equalsIgnoreCase(line.name, name)) {
      return &line;
    }
  }
  return nullptr;
}

std::string dominantLineEnd(const RegistryFile& file) {
  for (const RegistryLine& line : file.lines) {
    std::string_view end = lineEndOf(line.text);
    if (!end.empty()) {
      return std::string(end);
    }
  }
  return "\n";
}

} // namespace

std::u16string utf16FromUtf8(std::string_view text) {
  std::u16string out;
  for (size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      out += static_cast<char16_t>(text[pos++]);
    } else {
      decodeByteRun(text, pos, out);
    }
  }
  return out;
}

std::string utf8FromUtf16(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

RegistryFile parseRegistry(std::string_view text) {
  RegistryFile file;
  std::string currentKey;
  bool inKey = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string_view::npos ? text.size() : end + 1;
    RegistryLine line;
    line.text = std::string(text.substr(pos, end - pos));
    pos = end;
    std::string_view content = withoutLineEnd(line.text);
    if (content.starts_with("[")) {
      size_t at = 1;
      if (std::optional<std::u16string> path = parseEscaped(content, at, ']')) {
        line.kind = RegistryLineKind::Key;
        line.key = utf8FromUtf16(*path);
        currentKey = line.key;
        inKey = true;
      }
    } else if (inKey && (content.starts_with("\"") || content.starts_with("@="))) {
      size_t at = 0;
      if (std::optional<std::string> name = parseValueName(content, at)) {
        line.kind = RegistryLineKind::Value;
        line.key = currentKey;
        line.name = *name;
        // Hex data may go on over lines that end in a backslash.
        if (content.substr(at).starts_with("hex")) {
          while (withoutLineEnd(line.text).ends_with("\\") && pos < text.size()) {
            size_t next = text.find('\n', pos);
            next = next == std::string_view::npos ? text.size() : next + 1;
            line.text += text.substr(pos, next - pos);
            pos = next;
          }
        }
      }
    }
    file.lines.push_back(std::move(line));
  }
  return file;
}

std::string formatRegistry(const RegistryFile& file) {
  std::string out;
  for (const RegistryLine& line : file.lines) {
    out += line.text;
  }
  return out;
}

std::optional<RegistryData> registryValue(const RegistryFile& file, std::string_view key,
                                          std::string_view name) {
  const RegistryLine* line = findValueLine(file, key, name);
  if (line == nullptr) {
    return std::nullopt;
  }
  size_t at = 0;
  std::string_view text = line->text;
  parseValueName(text, at);
  std::string_view data = text.substr(at);
  if (!data.starts_with("hex")) {
    data = withoutLineEnd(data);
  }
  return parseData(data);
}

std::vector<std::string> registrySubkeys(const RegistryFile& file, std::string_view key) {
  std::vector<std::string> names;
  std::string prefix = std::string(key) + "\\";
  for (const RegistryLine& line : file.lines) {
    if (line.kind != RegistryLineKind::Key || !startsWithIgnoreCase(line.key, prefix)) {
      continue;
    }
    std::string rest = line.key.substr(prefix.size());
    std::string child = rest.substr(0, rest.find('\\'));
    bool known = child.empty();
    for (const std::string& name : names) {
      known = known || equalsIgnoreCase(name, child);
    }
    if (!known) {
      names.push_back(child);
    }
  }
  return names;
}

bool setRegistryValue(RegistryFile& file, std::string_view key, std::string_view name,
                      const RegistryData& data) {
  if (RegistryLine* existing = findValueLine(file, key, name)) {
    if (registryValue(file, key, name) == data) {
      return true;
    }
    RegistryLine& line = *existing;
    std::string end(lineEndOf(line.text));
    std::string text = formatValue(line.name, data);
    if (end.size() == 2) {
      // A file with CR LF line ends gets them on continuation lines too.
      for (size_t at = text.find("\\\n"); at != std::string::npos; at = text.find("\\\n", at + 3)) {
        text.insert(at + 1, "\r");
      }
    }
    line.text = text + (end.empty() ? "\n" : end);
    return true;
  }
  // A new value goes after the last value or comment of the key's section.
  size_t insertAt = file.lines.size();
  bool found = false;
  for (size_t i = 0; i < file.lines.size(); ++i) {
    if (file.lines[i].kind == RegistryLineKind::Key && equalsIgnoreCase(file.lines[i].key, key)) {
      found = true;
      insertAt = i + 1;
      while (insertAt < file.lines.size() && file.lines[insertAt].kind != RegistryLineKind::Key &&
             !withoutLineEnd(file.lines[insertAt].text).empty()) {
        ++insertAt;
      }
      break;
    }
  }
  if (!found) {
    return false;
  }
  // The line before may lack a line end when it is the last of the file.
  if (insertAt > 0 && lineEndOf(file.lines[insertAt - 1].text).empty()) {
    file.lines[insertAt - 1].text += dominantLineEnd(file);
  }
  RegistryLine line;
  line.kind = RegistryLineKind::Value;
  line.key = std::string(key);
  line.name = std::string(name);
  line.text = formatValue(name, data) + dominantLineEnd(file);
  file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
  return true;
}

bool removeRegistryValue(RegistryFile& file, std::string_view key, std::string_view name) {
  for (auto it = file.lines.begin(); it != file.lines.end(); ++it) {
    if (it->kind == RegistryLineKind::Value && equalsIgnoreCase(it->key, key) &&
        equalsIgnoreCase(it->name, name)) {
      file.lines.erase(it);
      return true;
    }
  }
  return false;
}

RegistryData registryString(std::string_view text, uint32_t type) {
  std::u16string wide = utf16FromUtf8(text);
  wide.push_back(u'\0');
  return {type, bytesFromU16(wide)};
}

RegistryData registryDword(uint32_t number) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    bytes += static_cast<char>((number >> (8 * i)) & 0xFF);
  }
  return {REG_DWORD, bytes};
}

RegistryData registryUtf16Binary(std::string_view text) {
  return registryString(text, REG_BINARY);
}

std::optional<std::string> registryText(const RegistryData& data) {
  if (data.type != REG_SZ && data.type != REG_EXPAND_SZ && data.type != REG_BINARY) {
    return std::nullopt;
  }
  std::u16string wide = u16FromBytes(data.bytes);
  size_t zero = wide.find(u'\0');
  if (zero != std::u16string::npos) {
    wide.resize(zero);
  }
  return utf8FromUtf16(wide);
}

std::optional<uint32_t> registryNumber(const RegistryData& data) {
  if (data.type != REG_DWORD || data.bytes.size() != 4) {
    return std::nullopt;
  }
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) {
    number = (number << 8) | static_cast<unsigned char>(data.bytes[static_cast<size_t>(i)]);
  }
  return number;
}

} // namespace km
