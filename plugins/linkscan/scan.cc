// Finding the hosts a message links to: the MIME parts of its body are walked (text
// parts decoded, multiparts and attached messages entered up to a depth), and each
// text is scanned once from start to end for links and bare host names.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "links.h"

namespace linkscan {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view lowerB) {
  if (a.size() != lowerB.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lowerB[i]) {
      return false;
    }
  }
  return true;
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

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = lower(c);
  }
  return out;
}

// Letters, digits and the punctuation of host names: the bytes a bare name is made of.
bool isNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// What ends a link's authority.
bool endsAuthority(char c) {
  return isBlank(c) || c == 0x7F || std::strchr("/\\?#\"'<>()[]{}|^`,;&", c) != nullptr;
}

// What, just before a bare name, says it is part of an address, a path or a link
// already read rather than a name of its own.
bool endsContext(char c) {
  return std::strchr("@/\\:%=&#?~+$", c) != nullptr;
}

struct ContentType {
  std::string value; // lower case, "" when absent
  std::string boundary;
};

ContentType parseContentType(std::string_view text) {
  ContentType type;
  size_t semicolon = text.find(';');
  type.value = lowered(trim(text.substr(0, semicolon)));
  size_t at = semicolon;
  while (at != std::string_view::npos && at < text.size()) {
    ++at;
    size_t equals = text.find('=', at);
    if (equals == std::string_view::npos) {
      break;
    }
    std::string key = lowered(trim(text.substr(at, equals - at)));
    size_t start = equals + 1;
    while (start < text.size() && isBlank(text[start])) {
      ++start;
    }
    std::string_view value;
    if (start < text.size() && text[start] == '"') {
      size_t close = text.find('"', start + 1);
      value = text.substr(start + 1,
                          (close == std::string_view::npos ? text.size() : close) - start - 1);
      at = close == std::string_view::npos ? close : text.find(';', close);
    } else {
      size_t end = text.find(';', start);
      value = trim(text.substr(start, (end == std::string_view::npos ? text.size() : end) - start));
      at = end;
    }
    if (key == "boundary") {
      type.boundary = std::string(value);
    }
  }
  return type;
}

// A header field's value with its folding undone.
std::string unfold(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

struct PartHeaders {
  ContentType type;
  std::string encoding; // lower case
};

PartHeaders readPartHeaders(const std::vector<std::string_view>& lines) {
  PartHeaders headers;
  for (std::string_view line : lines) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    std::string_view name = trim(line.substr(0, colon));
    if (equalsIgnoreCase(name, "content-type")) {
      headers.type = parseContentType(unfold(line.substr(colon + 1)));
    } else if (equalsIgnoreCase(name, "content-transfer-encoding")) {
      headers.encoding = lowered(trim(unfold(line.substr(colon + 1))));
    }
  }
  return headers;
}

// Splits the header block (up to the blank line) off `text` into whole fields.
void readHeaderBlock(std::string_view& text, std::vector<std::string_view>& lines) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(at, end - at);
    if (line == "\n" || line == "\r\n") {
      at = end;
      break;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
      std::string_view& last = lines.back();
      last = std::string_view(last.data(), last.size() + line.size());
    } else {
      lines.push_back(line);
    }
    at = end;
  }
  text.remove_prefix(at);
}

// The distinct hosts found so far, up to the limit.
class Collector {
public:
  Collector(const ScanLimits& limits, const Suffixes& suffixes,
            const std::vector<std::string>& skipDomains)
      : limits_(limits), suffixes_(suffixes), skipDomains_(skipDomains) {}

  bool full() const { return found_.moreHosts; }

  // A host as written; `bare` when it stood in the text without a scheme, which
  // only counts when it ends in a top-level domain that exists.
  bool add(std::string_view written, bool bare) {
    std::optional<std::string> host = normaliseHost(written);
    if (!host || (bare && (isDottedAddress(*host) || !suffixes_.knownTopLevel(*host)))) {
      return false;
    }
    if (skipped(*host) ||
        std::find(found_.hosts.begin(), found_.hosts.end(), *host) != found_.hosts.end()) {
      return true;
    }
    if (found_.hosts.size() >= limits_.mostHosts) {
      found_.moreHosts = true;
    } else {
      found_.hosts.push_back(std::move(*host));
    }
    return true;
  }

  LinkHosts take() { return std::move(found_); }

private:
  bool skipped(const std::string& host) const {
    for (const std::string& domain : skipDomains_) {
      if (host == domain || (host.size() > domain.size() && host.ends_with(domain) &&
                             host[host.size() - domain.size() - 1] == '.')) {
        return true;
      }
    }
    return false;
  }

  const ScanLimits& limits_;
  const Suffixes& suffixes_;
  const std::vector<std::string>& skipDomains_;
  LinkHosts found_;
};

enum class TextKind {
  Plain,  // links and bare names
  Markup, // HTML with its tags: links only, also "//host" in attribute values
};

// Reads the authority of a link starting at `at` (after its slashes) and hands its
// host to the collector; returns the position to go on from.
size_t takeLink(std::string_view text, size_t at, Collector& collector) {
  // However long the authority (a user name padded to push the host out of sight),
  // it is read once: the scan goes on after it.
  size_t end = at;
  while (end < text.size() && !endsAuthority(text[end])) {
    ++end;
  }
  std::string_view host = text.substr(at, end - at);
  if (size_t user = host.rfind('@'); user != std::string_view::npos) {
    host.remove_prefix(user + 1); // "http://www.bank.example@elsewhere.example/"
  }
  host = host.substr(0, host.find(':'));
  if (!collector.add(host, false)) {
    // A link running into text written in another character set: the host is the
    // part before the first byte beyond ASCII.
    size_t ascii = 0;
    while (ascii < host.size() && static_cast<unsigned char>(host[ascii]) < 0x80) {
      ++ascii;
    }
    if (ascii < host.size()) {
      collector.add(host.substr(0, ascii), false);
    }
  }
  return end;
}

// In markup, "//host" right after "=", "=\"" or "='" is a link on the page's own
// scheme.
bool startsSchemelessLink(std::string_view text, size_t at) {
  if (text.compare(at, 2, "//") != 0 || at == 0) {
    return false;
  }
  size_t before = at - 1;
  if ((text[before] == '"' || text[before] == '\'') && before > 0) {
    --before;
  }
  return text[before] == '=';
}

void scanText(std::string_view text, TextKind kind, Collector& collector) {
  size_t i = 0;
  while (i < text.size() && !collector.full()) {
    if (!isNameByte(text[i])) {
      if (kind == TextKind::Markup && text[i] == '/' && startsSchemelessLink(text, i)) {
        i = takeLink(text, i + 2, collector);
      } else {
        ++i;
      }
      continue;
    }
    size_t end = i;
    while (end < text.size() && isNameByte(text[end])) {
      ++end;
    }
    std::string_view run = text.substr(i, end - i);
    // "http:" and "https:" end a run of letters; browsers take backslashes for
    // slashes after them.
    if (end < text.size() && text[end] == ':' &&
        (endsWithIgnoreCase(run, "http") || endsWithIgnoreCase(run, "https"))) {
      size_t after = end + 1;
      while (after < text.size() && after - end <= 8 &&
             (text[after] == '/' || text[after] == '\\')) {
        ++after;
      }
      if (after - end - 1 >= 2) {
        i = takeLink(text, after, collector);
        continue;
      }
    }
    if (kind == TextKind::Plain) {
      std::string_view name = run;
      while (!name.empty() && std::strchr(".-_", name.front()) != nullptr) {
        name.remove_prefix(1);
      }
      while (!name.empty() && std::strchr(".-_", name.back()) != nullptr) {
        name.remove_suffix(1);
      }
      bool inContext =
          (i > 0 && endsContext(text[i - 1])) || (end < text.size() && text[end] == '@');
      if (!inContext && name.find('.') != std::string_view::npos) {
        collector.add(name, true);
      }
    }
    i = end;
  }
}

class BodyScanner {
public:
  BodyScanner(const ScanLimits& limits, Collector& collector)
      : limits_(limits), collector_(collector), textBudget_(limits.textBytes) {}

  void message(const std::vector<std::string_view>& headerLines, std::string_view body) {
    PartHeaders headers = readPartHeaders(headerLines);
    part(headers, body.substr(0, limits_.bodyBytes), 0);
  }

private:
  void part(const PartHeaders& headers, std::string_view body, int depth) {
    if (++parts_ > limits_.parts || collector_.full() || textBudget_ == 0) {
      return;
    }
    std::string_view kind = headers.type.value.empty() ? std::string_view("text/plain")
                                                       : std::string_view(headers.type.value);
    if (kind.starts_with("multipart/")) {
      if (depth < limits_.depth && !headers.type.boundary.empty()) {
        multipart(headers.type.boundary, body, depth + 1, kind == "multipart/digest");
      }
      return;
    }
    if (kind == "message/rfc822") {
      if (depth < limits_.depth) {
        std::vector<std::string_view> lines;
        readHeaderBlock(body, lines);
        part(readPartHeaders(lines), body, depth + 1);
      }
      return;
    }
    if (!kind.starts_with("text/")) {
      return; // pictures, programs, archives
    }
    bool html = kind == "text/html";
    // Decode no more than the budget can take.
    if (headers.encoding == "base64") {
      text(decodeBase64(body.substr(0, textBudget_ / 3 * 4 + 8)), html);
    } else if (headers.encoding == "quoted-printable") {
      text(decodeQuotedPrintable(body.substr(0, textBudget_ * 3 + 8)), html);
    } else {
      text(body, html);
    }
  }

  void text(std::string_view content, bool html) {
    content = content.substr(0, textBudget_);
    textBudget_ -= content.size();
    if (html) {
      // Links in the tags (href, src) with their character references decoded,
      // then the names a reader sees in the text.
      scanText(decodeEntities(content, content.size()), TextKind::Markup, collector_);
      scanText(htmlText(content, content.size()), TextKind::Plain, collector_);
    } else {
      scanText(content, TextKind::Plain, collector_);
    }
  }

  void multipart(const std::string& boundary, std::string_view body, int depth, bool digest) {
    // Each part starts after a line "--boundary" and ends at the next one; the line
    // "--boundary--" closes the multipart.
    std::string delimiter = "--" + boundary;
    size_t at = 0;
    bool inPart = false;
    size_t partStart = 0;
    while (at < body.size() && !collector_.full() && parts_ <= limits_.parts) {
      size_t end = body.find('\n', at);
      end = end == std::string_view::npos ? body.size() : end + 1;
      std::string_view line = body.substr(at, end - at);
      std::string_view rest = line.starts_with(delimiter) ? line.substr(delimiter.size()) : "x";
      bool closing = rest.starts_with("--");
      // "--b" followed by anything but blanks is no delimiter of "b" ("--b2" is not).
      if (closing || trim(rest).empty()) {
        if (inPart) {
          subpart(body.substr(partStart, at - partStart), depth, digest);
        }
        if (closing) {
          return;
        }
        inPart = true;
        partStart = end;
      }
      at = end;
    }
    if (inPart) {
      subpart(body.substr(partStart), depth, digest); // cut short: take what came
    }
  }

  void subpart(std::string_view text, int depth, bool digest) {
    std::vector<std::string_view> lines;
    readHeaderBlock(text, lines);
    PartHeaders headers = readPartHeaders(lines);
    if (headers.type.value.empty() && digest) {
      headers.type.value = "message/rfc822";
    }
    part(headers, text, depth);
  }

  const ScanLimits& limits_;
  Collector& collector_;
  size_t textBudget_;
  int parts_ = 0;
};

} // namespace

LinkHosts findLinkHosts(const std::vector<std::string_view>& headerLines, std::string_view body,
                        const ScanLimits& limits, const Suffixes& suffixes,
                        const std::vector<std::string>& skipDomains) {
  Collector collector(limits, suffixes, skipDomains);
  if (limits.mostHosts > 0) {
    BodyScanner(limits, collector).message(headerLines, body);
  }
  return collector.take();
}

LinkHosts findLinkHosts(std::string_view message, const ScanLimits& limits,
                        const Suffixes& suffixes, const std::vector<std::string>& skipDomains) {
  if (message.starts_with("From ")) {
    size_t end = message.find('\n');
    message.remove_prefix(end == std::string_view::npos ? message.size() : end + 1);
  }
  std::vector<std::string_view> lines;
  readHeaderBlock(message, lines);
  return findLinkHosts(lines, message, limits, suffixes, skipDomains);
}

} // namespace linkscan
