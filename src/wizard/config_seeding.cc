#include "wizard/config_seeding.h"

#include <span>

#include "config/config.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

struct LevelLine {
  const char* key;
  const char* description; // nullptr: the list's zone
};

constexpr LevelLine kSafeLines[] = {
    {"PROXIES", nullptr}, {"ORDB", "ORDB"}, {"SBL", "Spamhaus SBL"}};
constexpr LevelLine kMediumLines[] = {{"CBL", "Composite Blocking List"},
                                      {"DSBL", "DSBL"},
                                      {"WIREHUB", "Easynet Blackholes"},
                                      {"PROXIES", nullptr},
                                      {"ORDB", "ORDB"},
                                      {"SBL", "Spamhaus SBL"}};
constexpr LevelLine kAggressiveLines[] = {
    {"CBL", "Composite Blocking List"}, {"DSBL", "DSBL"},     {"NJABL", "NJABL"},
    {"WIREHUB", "Easynet Blackholes"},  {"PROXIES", nullptr}, {"SPBAG", "SpamBag"},
    {"SPCOP", "SpamCop Blocking List"}, {"ORDB", "ORDB"},     {"SBL", "Spamhaus SBL"}};

// The line holding `at`: its start and the start of its line end.
std::pair<size_t, size_t> lineAround(std::string_view text, size_t at) {
  size_t start = text.rfind('\n', at);
  start = start == std::string_view::npos ? 0 : start + 1;
  size_t end = text.find('\n', at);
  end = end == std::string_view::npos ? text.size() : end;
  if (end > start && text[end - 1] == '\r') {
    --end;
  }
  return {start, end};
}

// The lines of the text as the configuration reader sees them (any control byte
// ends a line).
std::vector<std::string_view> logicalLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || static_cast<unsigned char>(text[i]) < 32) {
      if (i > start) {
        lines.push_back(text.substr(start, i - start));
      }
      start = i + 1;
    }
  }
  return lines;
}

bool parseDottedAddress(std::string_view text, SocketAddress4& address) {
  int part = 0;
  int value = -1;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) {
        return false;
      }
    } else if (c == '.' && value >= 0 && part < 3) {
      address[static_cast<size_t>(part++)] = static_cast<uint8_t>(value);
      value = -1;
    } else {
      return false;
    }
  }
  if (part != 3 || value < 0) {
    return false;
  }
  address[3] = static_cast<uint8_t>(value);
  return true;
}

// Whether a listening socket could be bound to the port now.
bool portCanListen(const SocketAddress4& address, int32_t port) {
  SocketHandle sock = createTcpSocket();
  if (sock == kInvalidSocket) {
    return true; // nothing to tell; the main program reports its own failure
  }
  int error = 0;
  bool bound = bindSocket(sock, address, port, error);
  closeSocket(sock);
  return bound || (error != wsa::kAddressInUse && error != wsa::kAccessDenied);
}

} // namespace

std::string removeSmtpPortBlocks(std::string text, std::vector<int32_t>& removedPorts) {
  static constexpr std::string_view kType = "PORT_TYPE SMTP_SPECIFIC";
  static constexpr std::string_view kAclKey = "PORT_SPECIAL_ACCESS_CONTROL_LIST";
  for (size_t at = text.find(kType); at != std::string::npos; at = text.find(kType, at)) {
    size_t start = text.find("PORT", at >= 12 ? at - 12 : 0);
    size_t acl = text.find(kAclKey, at);
    if (start == std::string::npos || start >= at || acl == std::string::npos) {
      at += kType.size();
      continue;
    }
    size_t end = text.find('\n', acl);
    end = end == std::string::npos ? text.size() : end + 1;
    removedPorts.push_back(readInt(std::string_view(text).substr(start + 4)));
    // The empty lines that open and close the block go with it.
    if (start > 0 && text[start - 1] == '\n' && (start == 1 || text[start - 2] == '\n')) {
      --start;
    }
    if (end < text.size() && text[end] == '\n') {
      ++end;
    }
    text.erase(start, end - start);
    at = start;
  }
  return text;
}

std::string smtpPortBlock(int32_t port, std::string_view server) {
  return "\nPORT " + std::to_string(port) +
         "\n"
         "PORT_TYPE SMTP_SPECIFIC\n"
         "PORT_SMTP_SERVERNAME " +
         std::string(server) +
         "\n"
         "PORT_SMTP_MUTE_CONNECTION_ERRORS NO\n"
         "PORT_SMTP_AWLIST_RCPT_TO YES\n"
         "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME YES\n"
         "PORT_SMTP_REJECT_ON_MAIL_FROM NO\n"
         "PORT_SMTP_REJECT_ON_ORIGINATING_IP NO\n"
         "PORT_SMTP_ADD_RECEIVIED_HEADER YES\n"
         "PORT_SMTP_USE_FILTERING NO\n"
         "PORT_SMTP_DEFAULT_BODY_FILTERING_K 64\n"
         "PORT_SMTP_LOCAL_EMAIL_LEAFNAME port25_permissions_email.txt\n"
         "PORT_SMTP_LOCAL_IP_LEAFNAME port25_permissions_ip.txt\n"
         "PORT_SPECIAL_ACCESS_CONTROL_LIST NO\n\n";
}

std::vector<int32_t> configuredPorts(std::string_view text) {
  std::vector<int32_t> ports;
  for (std::string_view line : logicalLines(text)) {
    if (line.size() > 5 && startsWithIgnoreCase(line, "PORT ")) {
      ports.push_back(readInt(line.substr(5)));
    }
  }
  return ports;
}

int32_t nextFreeSmtpPort(int32_t candidate, const std::vector<int32_t>& taken,
                         const std::vector<int32_t>& reusable, std::string_view configText) {
  SocketAddress4 address = {127, 0, 0, 1};
  for (std::string_view line : logicalLines(configText)) {
    SocketAddress4 parsed{};
    if (startsWithIgnoreCase(line, "IP_LISTEN ") && parseDottedAddress(line.substr(10), parsed)) {
      address = parsed;
    }
  }
  auto contains = [](const std::vector<int32_t>& ports, int32_t port) {
    for (int32_t held : ports) {
      if (held == port) {
        return true;
      }
    }
    return false;
  };
  for (; candidate < 65536; ++candidate) {
    if (contains(taken, candidate)) {
      continue;
    }
    if (contains(reusable, candidate) || portCanListen(address, candidate)) {
      return candidate;
    }
  }
  return candidate;
}

std::vector<std::string> dnsblLinesForLevel(ProtectionLevel level,
                                            const std::vector<DnsblList>& lists) {
  std::span<const LevelLine> table = kAggressiveLines;
  if (level == ProtectionLevel::Safe) {
    table = kSafeLines;
  } else if (level == ProtectionLevel::Medium) {
    table = kMediumLines;
  }
  std::vector<std::string> lines;
  std::vector<std::string> keys;
  for (const LevelLine& entry : table) {
    const DnsblList* known = nullptr;
    const DnsblList* replacement = nullptr;
    for (const DnsblList& list : lists) {
      if (equalsIgnoreCase(list.key, entry.key)) {
        known = &list;
      }
      for (const std::string& replaced : list.replaces) {
        if (replacement == nullptr && equalsIgnoreCase(replaced, entry.key)) {
          replacement = &list;
        }
      }
    }
    std::string key;
    std::string description;
    if (known != nullptr) {
      key = known->key;
      description = entry.description != nullptr ? entry.description : known->zone;
      if (description.empty()) {
        description = known->name;
      }
    } else if (replacement != nullptr) {
      key = replacement->key;
      description = replacement->name;
    } else {
      continue;
    }
    bool repeated = false;
    for (const std::string& held : keys) {
      repeated = repeated || equalsIgnoreCase(held, key);
    }
    if (!repeated) {
      keys.push_back(key);
      lines.push_back("DNSBL " + key + " " + description);
    }
  }
  return lines;
}

std::string insertDnsblLines(std::string text, const std::vector<std::string>& lines,
                             const std::vector<std::string>& wizardLines) {
  for (const std::string& line : wizardLines) {
    std::string inserted = "\r\n" + line;
    for (size_t at = text.find(inserted); at != std::string::npos; at = text.find(inserted, at)) {
      size_t after = at + inserted.size();
      if (after == text.size() || text[after] == '\r' || text[after] == '\n') {
        text.erase(at, inserted.size());
      } else {
        at = after;
      }
    }
  }
  std::vector<std::string_view> present;
  for (std::string_view line : logicalLines(text)) {
    KeyValue pair = splitKeyValue(line);
    if (equalsIgnoreCase(pair.key, "DNSBL")) {
      present.push_back(pair.value.substr(0, pair.value.find(' ')));
    }
  }
  std::vector<std::string> wanted;
  for (const std::string& line : lines) {
    std::string_view key = std::string_view(line).substr(6);
    key = key.substr(0, key.find(' '));
    bool enabled = false;
    for (std::string_view held : present) {
      enabled = enabled || equalsIgnoreCase(held, key);
    }
    if (!enabled) {
      wanted.push_back(line);
    }
  }
  size_t anchor = text.find("CREATE_DEFAULT_IMAP4_PORT");
  size_t insertAt;
  if (anchor != std::string::npos) {
    insertAt = lineAround(text, anchor).second;
  } else {
    size_t last = text.size();
    while (last > 0 && (text[last - 1] == '\n' || text[last - 1] == '\r')) {
      --last;
    }
    insertAt = last;
  }
  for (const std::string& line : wanted) {
    text.insert(insertAt, "\r\n" + line);
  }
  return text;
}

bool writePermissionFiles(std::string& error) {
  struct PermissionFile {
    const char* name;
    std::string_view content;
  };
  constexpr PermissionFile kFiles[] = {
      {"port25_permissions_ip.txt", "127.0.0.1"},
      {"port25_permissions_email.txt", ""},
  };
  for (const PermissionFile& file : kFiles) {
    std::string path = dataPath(file.name);
    if (!replaceFileContents(path, file.content)) {
      error = writeErrorText(path);
      return false;
    }
  }
  return true;
}

} // namespace km
