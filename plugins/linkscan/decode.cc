// HTML character references, as far as finding links needs them.
#include <algorithm>

#include "links.h"

namespace linkscan {

namespace {

using mailtext::hexValue;

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
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
  return mailtext::htmlText(html, limit, appendEntity);
}

} // namespace linkscan
