// Decoding of transfer encodings and HTML, as far as finding links needs it.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "links.h"

namespace linkscan {

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

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

bool startsWithIgnoreCase(std::string_view text, size_t at, std::string_view lowerPrefix) {
  if (at > text.size() || text.size() - at < lowerPrefix.size()) {
    return false;
  }
  for (size_t i = 0; i < lowerPrefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != lowerPrefix[i]) {
      return false;
    }
  }
  return true;
}

void appendUtf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

struct Entity {
  const char* name;
  const char* text;
};

// The named references that matter for links: markup characters, and the ones
// spammers write a link's punctuation with to hide it from filters.
constexpr Entity kEntities[] = {
    {"amp", "&"},  {"AMP", "&"},     {"lt", "<"},     {"LT", "<"},     {"gt", ">"},
    {"GT", ">"},   {"quot", "\""},   {"QUOT", "\""},  {"apos", "'"},   {"nbsp", " "},
    {"sol", "/"},  {"colon", ":"},   {"period", "."}, {"commat", "@"}, {"percnt", "%"},
    {"num", "#"},  {"quest", "?"},   {"equals", "="}, {"lowbar", "_"}, {"dash", "-"},
    {"Tab", " "},  {"NewLine", " "}, {"bsol", "\\"},  {"semi", ";"},   {"comma", ","},
    {"excl", "!"}, {"plus", "+"},    {"ast", "*"},    {"lpar", "("},   {"rpar", ")"},
};

// Appends the text of the reference at `at` (just after its "&") and returns the
// position after it, or `at` when there is no reference there.
size_t appendEntity(std::string_view html, size_t at, std::string& out) {
  size_t end = at;
  while (end < html.size() && end - at < 12 &&
         (isAsciiLetter(html[end]) || isAsciiDigit(html[end]) || (end == at && html[end] == '#'))) {
    ++end;
  }
  std::string_view name = html.substr(at, end - at);
  if (name.empty()) {
    return at; // a lone "&", as often as a hostile page likes
  }
  size_t after = end < html.size() && html[end] == ';' ? end + 1 : end;
  if (name.size() >= 2 && name[0] == '#') {
    bool hex = name[1] == 'x' || name[1] == 'X';
    uint32_t code = 0;
    size_t digits = 0;
    for (size_t k = hex ? 2 : 1; k < name.size(); ++k) {
      int v = hex ? hexValue(name[k]) : (isAsciiDigit(name[k]) ? name[k] - '0' : -1);
      if (v < 0) {
        break; // "&#58abc": the number ends where the digits do
      }
      code = code > 0x10FFFF ? code : code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
      ++digits;
    }
    if (digits == 0) {
      return at;
    }
    size_t numberEnd = at + 1 + (hex ? 1 : 0) + digits;
    after = numberEnd < html.size() && html[numberEnd] == ';' ? numberEnd + 1 : numberEnd;
    if (code < 32 || code == 160 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out.push_back(' ');
    } else {
      appendUtf8(code, out);
    }
    return after;
  }
  for (const Entity& entity : kEntities) {
    if (name == entity.name) {
      out += entity.text;
      return after;
    }
  }
  return at;
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
    // A soft line break, "=" at the end of a line (perhaps before blanks), joins
    // the lines: a link split over two lines is one link again.
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
    out.push_back(c); // a lone "=" stays
  }
  return out;
}

std::string decodeEntities(std::string_view html, size_t limit) {
  std::string out;
  out.reserve(std::min(html.size(), limit));
  size_t i = 0;
  while (i < html.size() && out.size() < limit) {
    size_t amp = html.find('&', i);
    size_t stop = amp == std::string_view::npos ? html.size() : amp;
    out.append(html.substr(i, std::min(stop - i, limit - out.size())));
    if (amp == std::string_view::npos || out.size() >= limit) {
      break;
    }
    size_t next = appendEntity(html, amp + 1, out);
    if (next == amp + 1) {
      out.push_back('&');
    }
    i = next;
  }
  if (out.size() > limit) {
    out.resize(limit);
  }
  return out;
}

std::string htmlText(std::string_view html, size_t limit) {
  std::string out;
  out.reserve(std::min(html.size(), limit));
  size_t i = 0;
  while (i < html.size() && out.size() < limit) {
    char c = html[i];
    if (c == '&') {
      size_t next = appendEntity(html, i + 1, out);
      if (next == i + 1) {
        out.push_back(c);
      }
      i = next;
      continue;
    }
    if (c != '<') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (html.compare(i, 4, "<!--") == 0) {
      size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      out.push_back(' ');
      continue;
    }
    // A "<" that does not start a tag is text ("a < b").
    char first = i + 1 < html.size() ? html[i + 1] : ' ';
    if (!(isAsciiLetter(first) || first == '/' || first == '!' || first == '?')) {
      out.push_back(c);
      ++i;
      continue;
    }
    bool script = startsWithIgnoreCase(html, i + 1, "script");
    bool style = startsWithIgnoreCase(html, i + 1, "style");
    size_t tagEnd = html.find('>', i + 1);
    if (tagEnd == std::string_view::npos) {
      break; // an unterminated tag hides the rest
    }
    i = tagEnd + 1;
    if (script || style) {
      // Their contents are no text a reader sees; they end at the closing tag.
      std::string_view closing = script ? "</script" : "</style";
      size_t end = html.find('<', i);
      while (end != std::string_view::npos && !startsWithIgnoreCase(html, end, closing)) {
        end = html.find('<', end + 1);
      }
      size_t close = end == std::string_view::npos ? end : html.find('>', end);
      i = close == std::string_view::npos ? html.size() : close + 1;
    }
    out.push_back(' ');
  }
  if (out.size() > limit) {
    out.resize(limit);
  }
  return out;
}

} // namespace linkscan
