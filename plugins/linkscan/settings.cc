// The link scanner's two files in its configuration folder: its settings
// (linkscan.txt) and its domain blocklists (domain_dnsbl.txt).
#include <algorithm>
#include <cstdio>

#include "links.h"

namespace linkscan {

namespace {

// Files larger than this are not read (no settings file is anywhere near it).
constexpr std::uintmax_t kLargestFile = 1 << 20;
constexpr size_t kMostDomainLists = 16;
constexpr size_t kFewestScanKb = 16;
constexpr size_t kMostScanKb = 4096;

constexpr std::string_view kDefaultSettings =
    R"(# Settings of the link scanner "linkscan". A line holds a key, a space and a
# value; lines starting with "#" are comments. Changes take effect when
# Kestrelmail reads its configuration again (when config.dat changes, or at its
# next start).
#
# The links of a message's body (http and https links, and bare host names such
# as www.example.com in the text) name hosts. Each distinct host, up to
# MAX_HOSTS_PER_MESSAGE of them (0 to 100), is checked: its addresses against
# the DNS blacklists enabled in Kestrelmail (CHECK_LINK_ADDRESSES YES or NO), its
# registered domain against the lists of domain_dnsbl.txt in this folder.
MAX_HOSTS_PER_MESSAGE 10
CHECK_LINK_ADDRESSES YES
# How much of a message's body is read for links, in KB (16 to 4096).
SCAN_KB 256
# Links to these domains and their sub-domains are not checked, one per line.
SKIP_DOMAIN w3.org
)";

constexpr std::string_view kDefaultDomainLists =
    R"(# Domain blocklists of the link scanner "linkscan". For every link host the
# domain its owner registered (shop.example.co.uk has example.co.uk) is looked
# up in each list below as <domain>.<zone>; a listed domain makes the message
# spam, labelled with the list's key and LINK (X-Kestrelmail: SPAM DBLX LINK).
# The lookups go to the same name servers as the DNS blacklist lookups.
#
# The format is that of extra_dnsbl.txt: "LIST <key>" (at most 7 characters)
# starts a list, then NAME, ZONE and RESULT_CODE lines follow. RESULT_CODE is an
# answer that counts as listed (repeat the line for several); a list without one
# counts every answer. Lines starting with "#" are comments. For example:
#
#LIST DBLX
#NAME Example domain blocklist
#ZONE dbl.example.net
#RESULT_CODE 127.0.1.2
)";

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

struct Line {
  int number = 0;
  std::string key; // upper case
  std::string_view value;
};

// Splits the text into "key value" lines: a line ends at any control byte, the
// key ends at the first blank or "=", the value starts after blanks and "=".
// Empty lines and lines starting with "#" are left out.
std::vector<Line> readLines(std::string_view text) {
  std::vector<Line> lines;
  int number = 1;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = at;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= 32) {
      ++end;
    }
    std::string_view line = trim(text.substr(at, end - at));
    int lineNumber = number;
    if (end < text.size() && text[end] == '\n') {
      ++number;
    }
    at = end + 1;
    if (line.empty() || line.front() == '#') {
      continue;
    }
    size_t keyEnd = line.find_first_of(" \t=");
    std::string_view value = keyEnd == std::string_view::npos ? "" : line.substr(keyEnd);
    while (!value.empty() &&
           (value.front() == ' ' || value.front() == '\t' || value.front() == '=')) {
      value.remove_prefix(1);
    }
    lines.push_back({lineNumber, upper(line.substr(0, keyEnd)), value});
  }
  return lines;
}

std::optional<size_t> number(std::string_view text, size_t least, size_t most) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  size_t value = std::stoul(std::string(text));
  if (value < least || value > most) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> yesNo(std::string_view text) {
  std::string word = upper(text);
  if (word == "YES" || word == "TRUE" || word == "1") {
    return true;
  }
  if (word == "NO" || word == "FALSE" || word == "0") {
    return false;
  }
  return std::nullopt;
}

void addProblem(Settings& settings, const char* file, int line, const std::string& what) {
  settings.problems.push_back(std::string(file) + " line " + std::to_string(line) + ": " + what);
}

std::optional<std::array<uint8_t, 4>> dottedAddress(std::string_view text) {
  std::optional<std::string> parsed = isDottedAddress(text) ? numericAddress(text) : std::nullopt;
  if (!parsed) {
    return std::nullopt;
  }
  std::array<uint8_t, 4> octets{};
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(parsed->c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  octets = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
            static_cast<uint8_t>(d)};
  return octets;
}

// The text of a file of the folder; the shipped text, written there, when the
// folder has none.
std::string fileText(const std::string& folder, const char* name, std::string_view shipped,
                     Settings& settings) {
  mailtext::ConfigFile file = mailtext::readConfigFile(folder, name, shipped, kLargestFile);
  if (file.state == mailtext::ConfigFileState::Unreadable) {
    settings.problems.push_back(std::string(name) + ": the file could not be read");
  } else if (file.state == mailtext::ConfigFileState::Unwritable) {
    settings.problems.push_back(std::string(name) + ": the file could not be written");
  }
  return std::move(file.text);
}

} // namespace

std::string_view defaultSettingsText() {
  return kDefaultSettings;
}

std::string_view defaultDomainListText() {
  return kDefaultDomainLists;
}

void parseSettings(std::string_view text, Settings& settings) {
  for (const Line& line : readLines(text)) {
    if (line.key == "MAX_HOSTS_PER_MESSAGE") {
      if (std::optional<size_t> n = number(line.value, 0, kMostHostsAllowed)) {
        settings.limits.mostHosts = *n;
      } else {
        addProblem(settings, kSettingsFileName, line.number,
                   "MAX_HOSTS_PER_MESSAGE takes a number from 0 to 100");
      }
    } else if (line.key == "CHECK_LINK_ADDRESSES") {
      if (std::optional<bool> yes = yesNo(line.value)) {
        settings.checkLinkAddresses = *yes;
      } else {
        addProblem(settings, kSettingsFileName, line.number,
                   "CHECK_LINK_ADDRESSES takes YES or NO");
      }
    } else if (line.key == "SCAN_KB") {
      if (std::optional<size_t> kb = number(line.value, kFewestScanKb, kMostScanKb)) {
        settings.limits.bodyBytes = settings.limits.textBytes = *kb * 1024;
      } else {
        addProblem(settings, kSettingsFileName, line.number,
                   "SCAN_KB takes a number from 16 to 4096");
      }
    } else if (line.key == "SKIP_DOMAIN") {
      if (std::optional<std::string> domain = normaliseHost(line.value)) {
        settings.skipDomains.push_back(std::move(*domain));
      } else {
        addProblem(settings, kSettingsFileName, line.number,
                   "\"" + std::string(line.value) + "\" is no domain name");
      }
    } else {
      addProblem(settings, kSettingsFileName, line.number,
                 "the key \"" + line.key + "\" is unknown");
    }
  }
}

void parseDomainLists(std::string_view text, Settings& settings) {
  std::vector<DomainList> lists;
  std::vector<int> startLines;
  bool inList = false; // false before the first LIST and after a rejected one
  for (const Line& line : readLines(text)) {
    if (line.key == "LIST") {
      std::string key = upper(line.value);
      inList = false;
      if (key.empty() || key.size() > kLongestListKey) {
        addProblem(settings, kDomainListFileName, line.number,
                   "the list key \"" + std::string(line.value) + "\" is not 1 to 7 characters");
      } else if (std::any_of(lists.begin(), lists.end(),
                             [&](const DomainList& list) { return list.key == key; })) {
        addProblem(settings, kDomainListFileName, line.number,
                   "the list key \"" + key + "\" is used twice");
      } else if (lists.size() >= kMostDomainLists) {
        addProblem(settings, kDomainListFileName, line.number, "more than 16 lists");
      } else {
        lists.push_back({key, "unnamed", "", {}});
        startLines.push_back(line.number);
        inList = true;
      }
      continue;
    }
    if (!inList) {
      continue;
    }
    DomainList& list = lists.back();
    if (line.key == "NAME") {
      list.name = std::string(line.value);
    } else if (line.key == "ZONE") {
      std::optional<std::string> zone = normaliseHost(line.value);
      if (zone && !isDottedAddress(*zone)) {
        list.zone = *zone;
      } else {
        addProblem(settings, kDomainListFileName, line.number,
                   "\"" + std::string(line.value) + "\" is no zone name");
      }
    } else if (line.key == "RESULT_CODE") {
      std::optional<std::array<uint8_t, 4>> code = dottedAddress(line.value);
      if (!code) {
        addProblem(settings, kDomainListFileName, line.number,
                   "the result code \"" + std::string(line.value) + "\" is no address");
      } else if (list.resultCodes.size() < kMostResultCodes) {
        list.resultCodes.push_back(*code);
      }
    }
  }
  for (size_t i = 0; i < lists.size(); ++i) {
    if (lists[i].zone.empty()) {
      addProblem(settings, kDomainListFileName, startLines[i],
                 "the list " + lists[i].key + " has no ZONE and is left out");
    } else {
      settings.domainLists.push_back(std::move(lists[i]));
    }
  }
}

Settings loadSettings(const std::string& folder) {
  Settings settings;
  parseSettings(fileText(folder, kSettingsFileName, kDefaultSettings, settings), settings);
  parseDomainLists(fileText(folder, kDomainListFileName, kDefaultDomainLists, settings), settings);
  return settings;
}

} // namespace linkscan
