// Finding the hosts a message links to: the MIME parts of its body are walked (text
// parts decoded, multiparts and attached messages entered up to a depth), and each
// text is scanned once from start to end for links and bare host names.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "links.h"

namespace linkscan {

namespace {

using mailtext::endsWithIgnoreCase;
using mailtext::isBlank;
using mailtext::PartHeaders;
using mailtext::readHeaderBlock;
using mailtext::readPartHeaders;

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
    if (headers.encoding.value == "base64") {
      text(decodeBase64(body.substr(0, textBudget_ / 3 * 4 + 8)), html);
    } else if (headers.encoding.value == "quoted-printable") {
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
    mailtext::forEachPart(body, boundary, [&](std::string_view text) {
      subpart(text, depth, digest);
      return !collector_.full() && parts_ <= limits_.parts;
    });
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
  std::vector<std::string_view> lines;
  std::string_view body;
  mailtext::splitMessage(message, lines, body);
  return findLinkHosts(lines, body, limits, suffixes, skipDomains);
}

} // namespace linkscan
