// The tokeniser: a message's header fields and the decoded text of its MIME parts
// become a set of tokens. Header tokens carry the field's name, so that a word in
// the Subject and the same word in the body are told apart.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "bayes.h"

namespace bayes {

namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

using mailtext::equalsIgnoreCase;
using mailtext::FieldValue;
using mailtext::HeaderField;
using mailtext::isBlank;
using mailtext::lower;
using mailtext::lowered;
using mailtext::parseFieldValue;
using mailtext::PartHeaders;
using mailtext::readHeaderBlock;
using mailtext::readPartHeaders;
using mailtext::splitField;
using mailtext::startsWithIgnoreCase;
using mailtext::trim;
using mailtext::unfold;

bool isDottedQuad(std::string_view text) {
  int dots = 0, digits = 0;
  for (char c : text) {
    if (c == '.') {
      if (digits == 0 || ++dots > 3) {
        return false;
      }
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) {
        return false;
      }
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

// The form of an identifier: runs of digits become "9", runs of letters "a" (upper
// case "A"), other bytes stay: "----=_NextPart_000_0012" reads "----=_AaAa_9_9".
// Mailing programs give themselves away by the form of the names they make up.
std::string shape(std::string_view text) {
  std::string out;
  char last = 0;
  for (char c : text.substr(0, 80)) {
    char kind = std::isdigit(static_cast<unsigned char>(c))   ? '9'
                : std::isupper(static_cast<unsigned char>(c)) ? 'A'
                : std::isalpha(static_cast<unsigned char>(c)) ? 'a'
                                                              : c;
    if (kind != last || !(kind == '9' || kind == 'a' || kind == 'A')) {
      out.push_back(kind);
    }
    last = kind;
  }
  return out;
}

class Tokeniser {
public:
  Tokeniser(const TokenLimits& limits, std::vector<std::string>* texts)
      : limits_(limits), texts_(texts), textBudget_(limits.textBytes) {
    hashes_.reserve(1024);
  }

  // One token: the prefix and the word, the word in lower case.
  void add(std::string_view prefix, std::string_view word) {
    uint64_t hash = kFnvOffset;
    for (char c : prefix) {
      hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
    }
    for (char c : word) {
      hash = (hash ^ static_cast<unsigned char>(lower(c))) * kFnvPrime;
    }
    hashes_.push_back(hash);
    if (texts_ != nullptr) {
      texts_->push_back(std::string(prefix) + lowered(word));
    }
  }

  void message(const std::vector<std::string_view>& headerLines, std::string_view body) {
    size_t headerBytes = 0;
    FieldValue contentType, transferEncoding;
    bool sawMessageId = false, sawDate = false;
    for (std::string_view line : headerLines) {
      headerBytes += line.size();
      if (headerBytes > limits_.headerBytes) {
        add("", "header:truncated");
        break;
      }
      HeaderField field = splitField(line);
      if (equalsIgnoreCase(field.name, "content-type")) {
        contentType = parseFieldValue(unfold(field.value));
      } else if (equalsIgnoreCase(field.name, "content-transfer-encoding")) {
        transferEncoding = parseFieldValue(unfold(field.value));
      }
      sawMessageId = sawMessageId || equalsIgnoreCase(field.name, "message-id");
      sawDate = sawDate || equalsIgnoreCase(field.name, "date");
      headerTokens(field);
    }
    if (!sawMessageId) {
      add("", "header-missing:message-id");
    }
    if (!sawDate) {
      add("", "header-missing:date");
    }
    if (body.size() > limits_.bodyBytes) {
      body = body.substr(0, limits_.bodyBytes);
      add("", "body:truncated");
    }
    part(contentType, transferEncoding, body, 0);
  }

  TokenSet finish() {
    std::sort(hashes_.begin(), hashes_.end());
    hashes_.erase(std::unique(hashes_.begin(), hashes_.end()), hashes_.end());
    return std::move(hashes_);
  }

private:
  void words(std::string_view prefix, std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && isBlank(text[i])) {
        ++i;
      }
      size_t start = i;
      while (i < text.size() && !isBlank(text[i])) {
        ++i;
      }
      if (i > start) {
        word(prefix, text.substr(start, i - start));
      }
    }
  }

  void word(std::string_view prefix, std::string_view w) {
    // Quotes, brackets and sentence marks around a word say little.
    while (!w.empty() && std::strchr("\"'([{<*,.:;", w.front()) != nullptr) {
      w.remove_prefix(1);
    }
    while (!w.empty() && std::strchr("\"')]}>*,.:;", w.back()) != nullptr) {
      w.remove_suffix(1);
    }
    if (w.size() >= 3 && w.size() <= 12) {
      add(prefix, w);
      return;
    }
    if (w.size() < 3) {
      return;
    }
    size_t at = w.find('@');
    if (at != std::string_view::npos && at > 0 && at + 1 < w.size()) {
      emailAddress(prefix, w);
      return;
    }
    // Long words are rare in ham and common in spam's encoded junk; only their
    // first letter and rough length count.
    char skip[32];
    std::snprintf(skip, sizeof skip, "skip:%c %zu", lower(w[0]), w.size() / 10 * 10);
    add(prefix, skip);
  }

  void emailAddress(std::string_view prefix, std::string_view address) {
    size_t at = address.find('@');
    std::string_view user = address.substr(0, at);
    std::string_view domain = address.substr(at + 1);
    while (!user.empty() && std::strchr("<(\"'[:", user.front()) != nullptr) {
      user.remove_prefix(1);
    }
    while (!domain.empty() && std::strchr(">)\"'];,.", domain.back()) != nullptr) {
      domain.remove_suffix(1);
    }
    std::string p(prefix);
    add(p + "email name:", user);
    add(p + "email addr:", domain);
  }

  // http, https and ftp links and bare www. names: the scheme and the host's last
  // labels become tokens, the rest of the link is dropped.
  void links(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      size_t found = std::string_view::npos;
      std::string_view scheme;
      for (size_t k = i; k + 4 < text.size(); ++k) {
        char c = lower(text[k]);
        if (c == 'h' && startsWithIgnoreCase(text.substr(k), "http://")) {
          found = k + 7, scheme = "http";
        } else if (c == 'h' && startsWithIgnoreCase(text.substr(k), "https://")) {
          found = k + 8, scheme = "https";
        } else if (c == 'f' && startsWithIgnoreCase(text.substr(k), "ftp://")) {
          found = k + 6, scheme = "ftp";
        } else if (c == 'w' && startsWithIgnoreCase(text.substr(k), "www.") &&
                   (k == 0 || isBlank(text[k - 1]) || text[k - 1] == '"' || text[k - 1] == '>')) {
          found = k, scheme = "www";
        }
        if (found != std::string_view::npos) {
          break;
        }
      }
      if (found == std::string_view::npos) {
        return;
      }
      add("proto:", scheme);
      size_t end = found;
      while (end < text.size() && !isBlank(text[end]) &&
             std::strchr("/?#:\"'<>)]&", text[end]) == nullptr && end - found < 255) {
        ++end;
      }
      host("url:", text.substr(found, end - found));
      i = std::max(end, found + 1);
    }
  }

  // A host name's last two and three labels (or a dotted address's first three
  // octets), which name who runs it.
  void host(std::string_view prefix, std::string_view name) {
    if (size_t at = name.rfind('@'); at != std::string_view::npos) {
      name.remove_prefix(at + 1);
    }
    while (!name.empty() && name.back() == '.') {
      name.remove_suffix(1);
    }
    if (name.empty() || name.size() > 253) {
      return;
    }
    if (isDottedQuad(name)) {
      std::string p(prefix);
      add(p + "ip:", name.substr(0, name.rfind('.')));
      return;
    }
    size_t last = name.rfind('.');
    if (last == std::string_view::npos) {
      add(prefix, name);
      return;
    }
    size_t second = last == 0 ? std::string_view::npos : name.rfind('.', last - 1);
    add(prefix, second == std::string_view::npos ? name : name.substr(second + 1));
    if (second != std::string_view::npos && second > 0) {
      size_t third = name.rfind('.', second - 1);
      add(prefix, third == std::string_view::npos ? name : name.substr(third + 1));
    }
  }

  void addresses(std::string_view prefix, std::string_view value) {
    std::string decoded = decodeHeaderWords(unfold(value));
    std::string p(prefix);
    size_t i = 0;
    bool any = false;
    while (i < decoded.size()) {
      while (i < decoded.size() && (isBlank(decoded[i]) || decoded[i] == ',')) {
        ++i;
      }
      size_t start = i;
      while (i < decoded.size() && !isBlank(decoded[i]) && decoded[i] != ',') {
        ++i;
      }
      std::string_view w = std::string_view(decoded).substr(start, i - start);
      while (!w.empty() && std::strchr("<(\"'[", w.front()) != nullptr) {
        w.remove_prefix(1);
      }
      while (!w.empty() && std::strchr(">)\"']", w.back()) != nullptr) {
        w.remove_suffix(1);
      }
      size_t at = w.find('@');
      if (at != std::string_view::npos && at > 0) {
        add(p + "addr:", w);
        host(p + "domain:", w.substr(at + 1));
        any = true;
      } else if (w.size() >= 2 && w.size() <= 20) {
        add(p + "name:", w);
      }
    }
    if (!any) {
      add(p, "no address");
    }
  }

  void received(std::string_view value) {
    std::string text = unfold(value);
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && std::strchr(" \t()[];", text[i]) != nullptr) {
        ++i;
      }
      size_t start = i;
      while (i < text.size() && std::strchr(" \t()[];", text[i]) == nullptr) {
        ++i;
      }
      std::string_view w = std::string_view(text).substr(start, i - start);
      if (w.find('.') != std::string_view::npos && w.find('@') == std::string_view::npos &&
          w.find('/') == std::string_view::npos && w.find(':') == std::string_view::npos &&
          w.size() < 100) {
        host("received:", w);
      }
    }
  }

  void headerTokens(const HeaderField& field) {
    std::string name = lowered(field.name);
    if (name == "subject") {
      std::string decoded = decodeHeaderWords(unfold(field.value));
      words("subject:", decoded);
      links(decoded);
    } else if (name == "from" || name == "to" || name == "cc" || name == "reply-to" ||
               name == "sender" || name == "return-path" || name == "errors-to") {
      addresses(name + ":", field.value);
    } else if (name == "received") {
      received(field.value);
    } else if (name == "message-id") {
      std::string_view id = trim(field.value);
      size_t at = id.rfind('@');
      if (at == std::string_view::npos) {
        add("message-id:", "no domain");
      } else {
        std::string_view domain = id.substr(at + 1);
        if (!domain.empty() && domain.back() == '>') {
          domain.remove_suffix(1);
        }
        host("message-id:@", domain);
        add("message-id shape:", shape(id.substr(0, at)));
      }
    } else if (name == "content-type") {
      FieldValue type = parseFieldValue(unfold(field.value));
      add("content-type:", type.value);
      if (!type.charset.empty()) {
        add("charset:", type.charset);
      }
      if (!type.boundary.empty()) {
        add("boundary:", shape(type.boundary));
      }
    } else if (name == "content-transfer-encoding") {
      add("content-transfer-encoding:", trim(unfold(field.value)));
    } else if (name == "x-mailer" || name == "user-agent" || name == "x-mimeole" ||
               name == "organization" || name == "list-id" || name == "precedence" ||
               name == "x-priority" || name == "x-msmail-priority") {
      std::string value = unfold(field.value);
      add(name + ":", trim(value).substr(0, 60));
      words(name + ":", value);
    }
  }

  void text(std::string_view content, bool html) {
    if (textBudget_ == 0) {
      return;
    }
    if (content.size() > textBudget_ * (html ? 4 : 1)) {
      content = content.substr(0, textBudget_ * (html ? 4 : 1));
    }
    links(content);
    if (html) {
      std::string plain = htmlToText(content, textBudget_);
      textBudget_ -= std::min(textBudget_, plain.size());
      words("", plain);
    } else {
      textBudget_ -= std::min(textBudget_, content.size());
      words("", content);
    }
  }

  void part(const FieldValue& type, const FieldValue& encoding, std::string_view body, int depth) {
    if (++parts_ > limits_.parts) {
      add("", "parts:too many");
      return;
    }
    std::string_view kind = type.value.empty() ? std::string_view("text/plain") : type.value;
    if (startsWithIgnoreCase(kind, "multipart/")) {
      if (depth >= limits_.depth || type.boundary.empty()) {
        add("", "multipart:unreadable");
        return;
      }
      multipart(type.boundary, body, depth + 1, kind == "multipart/digest");
      return;
    }
    if (kind == "message/rfc822") {
      if (depth >= limits_.depth) {
        return;
      }
      std::vector<std::string_view> lines;
      readHeaderBlock(body, lines);
      attachedMessage(lines, body, depth + 1);
      return;
    }
    if (!type.name.empty()) {
      size_t dot = type.name.rfind('.');
      add("filename:", dot == std::string::npos ? std::string_view("no extension")
                                                : std::string_view(type.name).substr(dot));
    }
    if (!startsWithIgnoreCase(kind, "text/")) {
      return; // images, programs, archives: their type token is enough
    }
    // Decode no more than the text budget can take.
    size_t encodedLimit = textBudget_ * (kind == "text/html" ? 4 : 1) * 4 / 3 + 8;
    std::string_view raw = body.size() > encodedLimit ? body.substr(0, encodedLimit) : body;
    if (encoding.value == "base64") {
      text(decodeBase64(raw), kind == "text/html");
    } else if (encoding.value == "quoted-printable") {
      text(decodeQuotedPrintable(raw), kind == "text/html");
    } else {
      text(raw, kind == "text/html");
    }
  }

  void attachedMessage(const std::vector<std::string_view>& lines, std::string_view body,
                       int depth) {
    PartHeaders headers = readPartHeaders(lines);
    for (std::string_view line : lines) {
      HeaderField field = splitField(line);
      if (equalsIgnoreCase(field.name, "subject")) {
        words("subject:", decodeHeaderWords(unfold(field.value)));
      }
    }
    part(headers.type, headers.encoding, body, depth);
  }

  void multipart(const std::string& boundary, std::string_view body, int depth, bool digest) {
    mailtext::forEachPart(body, boundary, [&](std::string_view text) {
      subpart(text, depth, digest);
      return parts_ <= limits_.parts;
    });
  }

  void subpart(std::string_view text, int depth, bool digest) {
    std::vector<std::string_view> lines;
    readHeaderBlock(text, lines);
    PartHeaders headers = readPartHeaders(lines);
    FieldValue& contentType = headers.type;
    if (contentType.value.empty() && digest) {
      contentType.value = "message/rfc822";
    }
    if (contentType.name.empty()) {
      contentType.name = headers.disposition.name;
    }
    add("part:", contentType.value.empty() ? std::string_view("text/plain") : contentType.value);
    if (!headers.encoding.value.empty()) {
      add("part encoding:", headers.encoding.value);
    }
    if (!contentType.charset.empty()) {
      add("charset:", contentType.charset);
    }
    part(contentType, headers.encoding, text, depth);
  }

  const TokenLimits& limits_;
  std::vector<std::string>* texts_;
  size_t textBudget_;
  int parts_ = 0;
  std::vector<uint64_t> hashes_;
};

} // namespace

uint64_t tokenHash(std::string_view text) {
  uint64_t hash = kFnvOffset;
  for (char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
  }
  return hash;
}

TokenSet tokeniseParts(const std::vector<std::string_view>& headerLines, std::string_view body,
                       const TokenLimits& limits) {
  Tokeniser tokeniser(limits, nullptr);
  tokeniser.message(headerLines, body);
  return tokeniser.finish();
}

TokenSet tokeniseMessage(std::string_view message, const TokenLimits& limits) {
  std::vector<std::string_view> lines;
  std::string_view body;
  splitMessage(message, lines, body);
  return tokeniseParts(lines, body, limits);
}

std::vector<std::string> tokenTexts(std::string_view message, const TokenLimits& limits) {
  std::vector<std::string_view> lines;
  std::string_view body;
  splitMessage(message, lines, body);
  std::vector<std::string> texts;
  Tokeniser tokeniser(limits, &texts);
  tokeniser.message(lines, body);
  return texts;
}

uint64_t messageFingerprint(const std::vector<std::string_view>& headerLines,
                            std::string_view body) {
  std::string_view subject, date;
  for (std::string_view line : headerLines) {
    HeaderField field = splitField(line);
    if (equalsIgnoreCase(field.name, "message-id") && !trim(field.value).empty()) {
      return tokenHash("message-id " + unfold(trim(field.value)));
    }
    if (equalsIgnoreCase(field.name, "subject")) {
      subject = trim(field.value);
    } else if (equalsIgnoreCase(field.name, "date")) {
      date = trim(field.value);
    }
  }
  std::string text = "content ";
  text.append(subject).append("\n").append(date).append("\n").append(body.substr(0, 4096));
  return tokenHash(text);
}

uint64_t messageFingerprint(std::string_view message) {
  std::vector<std::string_view> lines;
  std::string_view body;
  splitMessage(message, lines, body);
  return messageFingerprint(lines, body);
}

} // namespace bayes
