// Decoding of header encoded words and of HTML to plain text.
#include <cctype>

#include "bayes.h"

namespace bayes {

using mailtext::hexValue;
using mailtext::lower;

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
    if (mailtext::equalsIgnoreCase(name, entity.name)) {
      out += entity.text;
      return after;
    }
  }
  return at;
}

} // namespace

std::string htmlToText(std::string_view html, size_t limit) {
  return mailtext::htmlText(html, limit, appendEntity);
}

} // namespace bayes
