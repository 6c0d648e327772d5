#include "config/lists.h"

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kMaxAddressText = 128;

size_t skipSpaces(std::string_view text, size_t pos) {
  while (pos < text.size() && text[pos] == ' ') {
    ++pos;
  }
  return pos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

uint32_t toNumber(const Ipv4Address& a) {
  return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

Ipv4Address fromNumber(uint32_t n) {
  return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

// Case-insensitive search of `needle` in `haystack` from `from`; npos if absent.
size_t findIgnoringCase(std::string_view haystack, std::string_view needle, size_t from) {
  if (needle.size() > haystack.size()) {
    return std::string_view::npos;
  }
  for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    if (equalsIgnoreCase(haystack.substr(i, needle.size()), needle)) {
      return i;
    }
  }
  return std::string_view::npos;
}

template <typename Add> bool readListFile(const std::string& path, Add add) {
  File file = openFileRetrying(path, "r");
  if (!file) {
    return false;
  }
  std::string line;
  while (readConfigLine(file.get(), line)) {
    std::string_view entry = cleanListLine(line);
    if (!entry.empty()) {
      add(entry);
    }
  }
  return true;
}

void reportUnreadableExtraFile(const std::string& path) {
  tellUser(languageText(kTextErrorTitle),
           formatText(languageText(kTextExtraListUnreadable), {path}), NoticeIcon::Exclamation);
}

void loadNetblockList(const char* mainFile, const std::vector<std::string>& extraFiles,
                      std::vector<Netblock>& out) {
  readNetblockFile(dataPath(mainFile), out);
  for (const std::string& path : extraFiles) {
    if (!readNetblockFile(path, out)) {
      reportUnreadableExtraFile(path);
    }
  }
}

void loadPatternList(const char* mainFile, const std::vector<std::string>& extraFiles,
                     std::vector<std::string>& out) {
  readPatternFile(dataPath(mainFile), out);
  for (const std::string& path : extraFiles) {
    if (!readPatternFile(path, out)) {
      reportUnreadableExtraFile(path);
    }
  }
}

} // namespace

bool ParseNetblock(std::string_view text, Netblock& out) {
  size_t pos = skipSpaces(text, 0);
  if (pos == text.size()) {
    return false;
  }
  size_t end = text.find_first_of(" /-", pos);
  if (end == std::string_view::npos) {
    end = text.size();
  }
  Ipv4Address low;
  if (end - pos > kMaxAddressText || !parseIpv4(text.substr(pos, end - pos), low)) {
    return false;
  }
  Ipv4Address high = low;
  pos = skipSpaces(text, end);
  if (pos < text.size() && text[pos] == '/') {
    pos = skipSpaces(text, pos + 1);
    if (pos == text.size()) {
      return false;
    }
    int prefix = 0;
    for (; pos < text.size(); ++pos) {
      if (!isDigit(text[pos])) {
        return false;
      }
      prefix = prefix * 10 + (text[pos] - '0');
      if (prefix > 32) {
        return false;
      }
    }
    uint32_t hostBits = prefix == 0 ? 0xffffffffu : (prefix == 32 ? 0u : (0xffffffffu >> prefix));
    uint32_t base = toNumber(low) & ~hostBits;
    low = fromNumber(base);
    high = fromNumber(base | hostBits);
  } else if (pos < text.size() && text[pos] == '-') {
    pos = skipSpaces(text, pos + 1);
    size_t runEnd = pos;
    while (runEnd < text.size() && (isDigit(text[runEnd]) || text[runEnd] == '.')) {
      ++runEnd;
    }
    std::string_view last = text.substr(pos, runEnd - pos);
    if (last == "255.255.255.255") {
      high = {255, 255, 255, 255};
    } else if (!parseIpv4(last, high)) {
      return false;
    }
  } else if (pos < text.size()) {
    return false;
  }
  if (ipCompare(low, high) > 0) {
    std::swap(low, high);
  }
  out = Netblock{low, high};
  return true;
}

bool ParseListAddress(std::string_view line, std::string& out) {
  std::string_view text = line.substr(0, line.find('#'));
  size_t at = text.find('@');
  if (at != std::string_view::npos) {
    size_t start = line.find_last_of("< :", at);
    start = start == std::string_view::npos ? 0 : start + 1;
    size_t end = line.find_first_of("> #", at);
    end = end == std::string_view::npos ? line.size() : end;
    std::string_view entry = line.substr(start, end - start);
    if (entry.front() == '@' || entry.back() == '@') {
      return false;
    }
    out.assign(entry);
    return true;
  }
  size_t start = skipSpaces(line, 0);
  if (start == line.size() || line[start] == '#') {
    return false;
  }
  size_t end = line.find_first_of(" <>#", start);
  out.assign(line.substr(start, end == std::string_view::npos ? end : end - start));
  return !out.empty();
}

bool MatchEmailPattern(std::string_view pattern, std::string_view address) {
  size_t firstStar = pattern.find('*');
  if (firstStar == std::string_view::npos) {
    return equalsIgnoreCase(pattern, address);
  }
  size_t lastStar = pattern.rfind('*');
  std::string_view head = pattern.substr(0, firstStar);
  std::string_view tail = pattern.substr(lastStar + 1);
  if (address.size() < head.size() + tail.size() ||
      !equalsIgnoreCase(address.substr(0, head.size()), head) ||
      !equalsIgnoreCase(address.substr(address.size() - tail.size()), tail)) {
    return false;
  }
  // The literal pieces between the stars, each at its leftmost place in order,
  // inside the part between the matched head and tail.
  std::string_view middle = address.substr(head.size(), address.size() - head.size() - tail.size());
  size_t from = 0;
  size_t segmentStart = firstStar + 1;
  while (segmentStart <= lastStar) {
    size_t segmentEnd = pattern.find('*', segmentStart);
    std::string_view segment = pattern.substr(segmentStart, segmentEnd - segmentStart);
    if (!segment.empty()) {
      size_t found = findIgnoringCase(middle, segment, from);
      if (found == std::string_view::npos) {
        return false;
      }
      from = found + segment.size();
    }
    segmentStart = segmentEnd + 1;
  }
  return true;
}

bool netblocksContain(const std::vector<Netblock>& blocks, const Ipv4Address& address) {
  for (const Netblock& block : blocks) {
    if (ipInRange(address, block)) {
      return true;
    }
  }
  return false;
}

bool patternsMatch(const std::vector<std::string>& patterns, std::string_view address) {
  for (const std::string& pattern : patterns) {
    if (MatchEmailPattern(pattern, address)) {
      return true;
    }
  }
  return false;
}

std::string_view cleanListLine(std::string_view line) {
  line = cutAtControl(line);
  line = line.substr(0, line.find('#'));
  while (!line.empty() && line.back() == ' ') {
    line.remove_suffix(1);
  }
  return line;
}

bool readNetblockFile(const std::string& path, std::vector<Netblock>& out) {
  return readListFile(path, [&](std::string_view entry) {
    Netblock block;
    if (ParseNetblock(entry, block)) {
      out.push_back(block);
    }
  });
}

bool readPatternFile(const std::string& path, std::vector<std::string>& out) {
  return readListFile(path, [&](std::string_view entry) {
    std::string pattern;
    if (ParseListAddress(entry, pattern)) {
      out.push_back(std::move(pattern));
    }
  });
}

void LoadLists(Config& config) {
  loadNetblockList("blist_ip.dat", config.extraBlistIpFiles, config.blacklistIp);
  loadNetblockList("wlist_ip.dat", config.extraWlistIpFiles, config.whitelistIp);
  loadPatternList("blist_email.dat", config.extraBlistFromFiles, config.blacklistEmail);
  loadPatternList("wlist_email.dat", config.extraWlistFromFiles, config.whitelistEmail);
  readNetblockFile(dataPath("ip_allow.dat"), config.ipAllowList);
  readPatternFile(dataPath("auto_wlist_from_never.dat"), config.neverAutoWhitelist);

  config.whitelistEmailIndex = PatternIndex(config.whitelistEmail);
  config.whitelistIpIndex = NetblockIndex(config.whitelistIp);
  config.blacklistEmailIndex = PatternIndex(config.blacklistEmail);
  config.blacklistIpIndex = NetblockIndex(config.blacklistIp);
}

// --- The auto-white lists ---

namespace {

// Splits text into its non-empty lines; any control byte ends a line.
template <typename OnLine> void forEachLine(const std::string& text, OnLine onLine) {
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || static_cast<unsigned char>(text[i]) < 32) {
      if (i > start) {
        onLine(std::string_view(text).substr(start, i - start));
      }
      start = i + 1;
    }
  }
}

bool writeListFile(const std::string& name, const std::string& text) {
  std::string path = dataPath(name);
  if (replaceFileContents(path, text)) {
    return true;
  }
  int failure = lastErrorNumber();
  tellUser(languageText(kTextErrorTitle),
           formatText(languageText(kTextAutoWhitelistUnwritable), {path, errorText(failure)}),
           NoticeIcon::Exclamation);
  return false;
}

} // namespace

void loadAutoWhitelistFiles(Config& config) {
  if (std::optional<std::string> text = readWholeFile(dataPath("auto_wlist_from.dat"))) {
    forEachLine(*text, [&](std::string_view line) { config.autoWlistFrom.emplace_back(line); });
  }
  if (std::optional<std::string> text = readWholeFile(dataPath("auto_wlist_ip.dat"))) {
    forEachLine(*text, [&](std::string_view line) {
      Ipv4Address address;
      if (parseIpv4(line, address)) {
        config.autoWlistIp.push_back(address);
      }
    });
  }
}

bool saveAutoWhiteAddresses(const Config& config) {
  std::string senders;
  for (const std::string& address : config.autoWlistFrom) {
    senders += address + "\n";
  }
  return writeListFile("auto_wlist_from.dat", senders);
}

bool saveAutoWhiteRelays(const Config& config) {
  std::string relays;
  for (const Ipv4Address& address : config.autoWlistIp) {
    relays += ipToString(address) + "\n";
  }
  return writeListFile("auto_wlist_ip.dat", relays);
}

bool SaveAutoWhitelists() {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  if (!config) {
    return false;
  }
  bool sendersSaved = saveAutoWhiteAddresses(*config);
  bool relaysSaved = saveAutoWhiteRelays(*config);
  return sendersSaved && relaysSaved;
}

} // namespace km
