// ASCII text, the transfer encodings and the walk over HTML's text.
#include <algorithm>
#include <array>

#include "mailtext.h"

namespace mailtext {

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

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = lower(c);
  }
  return out;
}

bool equalsIgnoreCase(std::string_view text, std::string_view lowerOther) {
  if (text.size() != lowerOther.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != lowerOther[i]) {
      return false;
    }
  }
  return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view lowerPrefix) {
  return text.size() >= lowerPrefix.size() &&
         equalsIgnoreCase(text.substr(0, lowerPrefix.size()), lowerPrefix);
}

bool endsWithIgnoreCase(std::string_view text, std::string_view lowerSuffix) {
  return text.size() >= lowerSuffix.size() &&
         equalsIgnoreCase(text.substr(text.size() - lowerSuffix.size()), lowerSuffix);
}

bool isBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

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
    // the lines: a word or a link split over two lines is one again.
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

std::string htmlText(std::string_view html, size_t limit, EntityReader readEntity) {
  std::string out;
  out.reserve(std::min(html.size(), limit));
  size_t i = 0;
  while (i < html.size() && out.size() < limit) {
    char c = html[i];
    if (c == '&') {
      size_t next = readEntity(html, i + 1, out);
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
    // A comment ends at "-->"; an unterminated one hides the rest.
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
    std::string_view tag = html.substr(i + 1);
    bool script = startsWithIgnoreCase(tag, "script");
    bool style = startsWithIgnoreCase(tag, "style");
    size_t tagEnd = html.find('>', i + 1);
    if (tagEnd == std::string_view::npos) {
      break; // an unterminated tag hides the rest
    }
    i = tagEnd + 1;
    if (script || style) {
      // Their contents are no text a reader sees; they end at the closing tag.
      std::string_view closing = script ? "</script" : "</style";
      size_t end = html.find('<', i);
      while (end != std::string_view::npos && !startsWithIgnoreCase(html.substr(end), closing)) {
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

} // namespace mailtext
