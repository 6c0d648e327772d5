// Decoding of transfer encodings, header encoded words and HTML to plain text.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "bayes.h"

namespace bayes {

namespace {

constexpr std::array<int8_t, 256> base64Values() {
  std::array<int8_t, 256> values{};
  for (auto& v : values) {
    v = -1;
  }
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  }
  return values;
}

constexpr std::array<int8_t, 256> kBase64 = base64Values();

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool startsWithIgnoreCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) {
    return false;
  }
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[at + i]) != prefix[i]) {
      return false;
    }
  }
  return true;
}

} // namespace

std::string decodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') {
      break; // padding ends the data
    }
    int8_t value = kBase64[static_cast<unsigned char>(c)];
    if (value < 0) {
      continue; // line ends and stray bytes
    }
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out.push_back(static_cast<char>(bits >> 4));
  } else if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2));
  }
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
      continue;
    }
    // A soft line break: "=" before the line end, perhaps after trailing blanks.
    size_t j = i + 1;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) {
      ++j;
    }
    if (j < text.size() && text[j] == '\r') {
      ++j;
    }
    if (j < text.size() && text[j] == '\n') {
      i = j;
      continue;
    }
    if (j >= text.size()) {
      break;
    }
    out.push_back(c); // a lone "=" stays as it is
  }
  return out;
}

std::string decodeHeaderWords(std::string_view value) {
  std::string out;
  size_t i = 0;
  bool lastWasEncoded = false;
  while (i < value.size()) {
    size_t start = value.find("=?", i);
    if (start == std::string_view::npos) {
      out.append(value.substr(i));
      break;
    }
    // =?charset?E?text?=
    size_t charsetEnd = value.find('?', start + 2);
    size_t textEnd = charsetEnd == std::string_view::npos || charsetEnd + 2 >= value.size() ||
                             value[charsetEnd + 2] != '?'
                         ? std::string_view::npos
                         : value.find("?=", charsetEnd + 3);
    if (textEnd == std::string_view::npos) {
      out.append(value.substr(i, start + 2 - i));
      i = start + 2;
      lastWasEncoded = false;
      continue;
    }
    std::string_view between = value.substr(i, start - i);
    // Blanks between two encoded words belong to neither.
    if (!(lastWasEncoded && between.find_first_not_of(" \t\r\n") == std::string_view::npos)) {
      out.append(between);
    }
    char encoding = lower(value[charsetEnd + 1]);
    std::string_view encoded = value.substr(charsetEnd + 3, textEnd - charsetEnd - 3);
    if (encoding == 'b') {
      out += decodeBase64(encoded);
    } else {
      std::string spaced(encoded);
      for (char& c : spaced) {
        if (c == '_') {
          c = ' ';
        }
      }
      out += decodeQuotedPrintable(spaced);
    }
    i = textEnd + 2;
    lastWasEncoded = true;
  }
  return out;
}

namespace {

struct Entity {
  const char* name;
  const char* text;
};

constexpr Entity kEntities[] = {
    {"nbsp", " "},    {"amp", "&"},    {"lt", "<"},    {"gt", ">"},     {"quot", "\""},
    {"apos", "'"},    {"copy", "(c)"}, {"reg", "(r)"}, {"trade", "tm"}, {"euro", "EUR"},
    {"pound", "GBP"}, {"yen", "JPY"},  {"cent", "c"},  {"middot", "."}, {"bull", "*"},
};

// Appends the text of an entity at `at` (just after its "&") and returns the
// position after it, or `at` when it is not an entity.
size_t appendEntity(std::string_view html, size_t at, std::string& out) {
  size_t end = at;
  while (end < html.size() && end - at < 10 && html[end] != ';' &&
         (std::isalnum(static_cast<unsigned char>(html[end])) || html[end] == '#')) {
    ++end;
  }
  std::string_view name = html.substr(at, end - at);
  size_t after = end < html.size() && html[end] == ';' ? end + 1 : end;
  if (name.size() >= 2 && name[0] == '#') {
    bool hex = name[1] == 'x' || name[1] == 'X';
    uint32_t code = 0;
    size_t digits = 0;
    for (size_t k = hex ? 2 : 1; k < name.size(); ++k) {
      int v = hex ? hexValue(name[k])
                  : (std::isdigit(static_cast<unsigned char>(name[k])) ? name[k] - '0' : -1);
      if (v < 0 || code > 0x10FFFF) {
        return at;
      }
      code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
      ++digits;
    }
    if (digits == 0) {
      return at;
    }
    // Spammers write ordinary letters as numbered entities to hide words.
    if (code < 128) {
      out.push_back(code < 32 ? ' ' : static_cast<char>(code));
    } else if (code == 160) {
      out.push_back(' ');
    } else if (code < 256) {
      out.push_back(static_cast<char>(code));
    } else {
      out.push_back(' ');
    }
    return after;
  }
  for (const Entity& entity : kEntities) {
    if (name.size() == std::strlen(entity.name) && startsWithIgnoreCase(name, 0, entity.name)) {
      out += entity.text;
      return after;
    }
  }
  return at;
}

} // namespace

std::string htmlToText(std::string_view html, size_t limit) {
  std::string out;
  out.reserve(std::min(html.size(), limit));
  size_t i = 0;
  while (i < html.size() && out.size() < limit) {
    char c = html[i];
    if (c == '&') {
      size_t next = appendEntity(html, i + 1, out);
      if (next != i + 1) {
        i = next;
        continue;
      }
      out.push_back(c);
      ++i;
      continue;
    }
    if (c != '<') {
      out.push_back(c);
      ++i;
      continue;
    }
    // A comment ends at "-->"; an unterminated one hides the rest.
    if (html.compare(i, 4, "<!--") == 0) {
      size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      out.push_back(' ');
      continue;
    }
    // Scripts and styles hold no text a reader sees.
    // A "<" that does not begin a tag is text ("a < b").
    char first = i + 1 < html.size() ? html[i + 1] : ' ';
    if (!(std::isalpha(static_cast<unsigned char>(first)) || first == '/' || first == '!' ||
          first == '?')) {
      out.push_back(c);
      ++i;
      continue;
    }
    bool script = startsWithIgnoreCase(html, i + 1, "script");
    bool style = startsWithIgnoreCase(html, i + 1, "style");
    size_t tagEnd = html.find('>', i + 1);
    if (tagEnd == std::string_view::npos) {
      break; // an unterminated tag: nothing after it is shown
    }
    i = tagEnd + 1;
    if (script || style) {
      std::string_view closing = script ? "</script" : "</style";
      size_t end = i;
      while (end < html.size() && !startsWithIgnoreCase(html, end, closing)) {
        end = html.find('<', end + 1);
        if (end == std::string_view::npos) {
          end = html.size();
        }
      }
      size_t close = html.find('>', end);
      i = close == std::string_view::npos ? html.size() : close + 1;
    }
    out.push_back(' ');
  }
  if (out.size() > limit) {
    out.resize(limit);
  }
  return out;
}

} // namespace bayes
