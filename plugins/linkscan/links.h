// The link scanner's core: finds the hosts that a message's body links to (http and
// https links, and bare host names in the text), in text and HTML parts, with their
// transfer encodings and HTML entities decoded; reads the scanner's settings and
// its domain blocklists. Every step is bounded, so that a huge or hostile message
// costs bounded work.
#pragma once

#include <libpsl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mailtext.h"

namespace linkscan {

// ---- Decoding

using mailtext::decodeBase64;
using mailtext::decodeQuotedPrintable;
// Decodes HTML character references (named ones of a small table, and numbered
// ones, which come out as UTF-8). At most `limit` bytes of output.
std::string decodeEntities(std::string_view html, size_t limit);
// The text a reader of the HTML sees: tags, comments, scripts and styles removed
// (each leaves a space), entities decoded. At most `limit` bytes of output.
std::string htmlText(std::string_view html, size_t limit);

// ---- Host names

// The public suffix list (libpsl): which top-level names exist, and which part of
// a host name its owner registered. Lookups may run on many threads at once.
class Suffixes {
public:
  Suffixes();
  ~Suffixes();
  Suffixes(const Suffixes&) = delete;
  Suffixes& operator=(const Suffixes&) = delete;

  // Whether the host's last label is a top-level domain of the list.
  bool knownTopLevel(std::string_view host) const;
  // The registered domain of a host ("shop.example.co.uk" gives "example.co.uk");
  // empty for a dotted address or a host that is itself a public suffix.
  std::string registrableDomain(const std::string& host) const;

private:
  psl_ctx_t* latest_ = nullptr; // the system's list, when it could be read
  const psl_ctx_t* context_ = nullptr;
};

// A host as written in a link made into the form it is looked up under: percent
// escapes decoded, lower case, the trailing dot dropped, an international name in
// its "xn--" form, an address written as a number ("3221225994", "0xC0.0.2.10") in
// dotted form. Nothing when it cannot be a host on the Internet: a single label, an
// empty or overlong label, a name longer than 253 bytes, bytes no host name holds.
std::optional<std::string> normaliseHost(std::string_view written);

// Reads an IPv4 address the way browsers do: one to four parts, each decimal,
// octal (leading 0) or hexadecimal (leading 0x), the last filling the remaining
// bytes. Nothing for anything else.
std::optional<std::string> numericAddress(std::string_view text);

bool isDottedAddress(std::string_view host);

// ---- Finding links

struct ScanLimits {
  size_t bodyBytes = 256 * 1024; // of the raw body (the plug-in reads no more)
  size_t textBytes = 256 * 1024; // of decoded text scanned, all parts together
  int parts = 64;                // MIME parts visited
  int depth = 8;                 // nesting of multiparts and attached messages
  size_t mostHosts = 10;         // distinct hosts collected
};

struct LinkHosts {
  // Distinct hosts in the order first linked, at most ScanLimits::mostHosts.
  std::vector<std::string> hosts;
  // More distinct hosts were linked than were collected.
  bool moreHosts = false;
};

// Finds the link hosts of a message given as its header lines (each a whole field
// with its line end) and body. Hosts of `skipDomains` (and their sub-domains) are
// left out and do not count.
LinkHosts findLinkHosts(const std::vector<std::string_view>& headerLines, std::string_view body,
                        const ScanLimits& limits, const Suffixes& suffixes,
                        const std::vector<std::string>& skipDomains);

// The same for a whole message (header block, blank line, body).
LinkHosts findLinkHosts(std::string_view message, const ScanLimits& limits,
                        const Suffixes& suffixes, const std::vector<std::string>& skipDomains);

// ---- Settings

// A domain blocklist: the registered domain of a link host is looked up as
// "<domain>.<zone>"; an answer among the result codes (any answer when there are
// none) lists the domain.
struct DomainList {
  std::string key; // at most 7 characters: the label shows it
  std::string name;
  std::string zone;
  std::vector<std::array<uint8_t, 4>> resultCodes;
};

struct Settings {
  ScanLimits limits;
  bool checkLinkAddresses = true; // look the link hosts' addresses up in the DNSBLs
  std::vector<std::string> skipDomains;
  std::vector<DomainList> domainLists;
  // One text per line that was left out: "<file> line N: what is wrong".
  std::vector<std::string> problems;
};

inline constexpr const char* kSettingsFileName = "linkscan.txt";
inline constexpr const char* kDomainListFileName = "domain_dnsbl.txt";
inline constexpr size_t kLongestListKey = 7;
inline constexpr size_t kMostHostsAllowed = 100;
inline constexpr size_t kMostResultCodes = 256;

// Reads the settings text (linkscan.txt) into `settings`.
void parseSettings(std::string_view text, Settings& settings);
// Reads domain blocklist definitions (domain_dnsbl.txt): "LIST key" starts one,
// then NAME, ZONE and RESULT_CODE lines; a key, a space (or "=") and a value per
// line, keys in any case, lines starting with "#" and unknown keys ignored.
void parseDomainLists(std::string_view text, Settings& settings);

// Reads both files of a configuration folder (ending in "/"); writes the shipped
// ones there first when they are missing.
Settings loadSettings(const std::string& folder);

std::string_view defaultSettingsText();
std::string_view defaultDomainListText();

} // namespace linkscan
