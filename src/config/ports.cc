// Port definitions: the port keys of config.dat and their written form, the older
// single-port format, per-port files, generic-port creation, the access decision.
#include <algorithm>
#include <ctime>

#include "config/config_internal.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "config/lists.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kMaxSpamtrapFolder = 64;

bool isYes(std::string_view value) {
  return equalsIgnoreCase(value, "YES");
}
const char* yesNo(bool flag) {
  return flag ? "YES" : "NO";
}

// 0 when a listening socket could be bound to the address and port, else the code of
// the failure.
int probeListenPort(const Ipv4Address& address, int port) {
  SocketHandle sock = createTcpSocket();
  if (sock == kInvalidSocket) {
    return lastSocketError();
  }
  int error = 0;
  bool bound = bindSocket(sock, address, port, error);
  closeSocket(sock);
  return bound ? 0 : error;
}

bool isPop3(PortType type) {
  return type == PortType::Pop3Specific || type == PortType::Pop3Generic;
}
bool isImap4(PortType type) {
  return type == PortType::Imap4Specific || type == PortType::Imap4Generic;
}

struct TypeName {
  PortType type;
  const char* word;
};
constexpr TypeName kTypeNames[] = {
    {PortType::Pop3Specific, "POP3_SPECIFIC"},   {PortType::Pop3Generic, "POP3_GENERIC"},
    {PortType::Imap4Specific, "IMAP4_SPECIFIC"}, {PortType::Imap4Generic, "IMAP4_GENERIC"},
    {PortType::SmtpSpecific, "SMTP_SPECIFIC"},
};

struct TlsName {
  UpstreamTls mode;
  const char* word;
};
constexpr TlsName kTlsNames[] = {
    {UpstreamTls::Auto, "AUTO"},
    {UpstreamTls::Implicit, "IMPLICIT"},
    {UpstreamTls::StartTls, "STARTTLS"},
    {UpstreamTls::None, "NONE"},
};

// A port as a PORT line creates it: POP3_GENERIC with the POP3 defaults.
PortConfig newPort(const std::vector<PortConfig>& ports, int32_t listenPort) {
  PortConfig port;
  port.id = newPortId(ports);
  port.listenPort = listenPort;
  port.type = PortType::Pop3Generic;
  return port;
}

// A listen port of the older format moves past every earlier port that has a
// number at least as high.
int32_t adjustedListenPort(const std::vector<PortConfig>& ports, size_t earlierCount,
                           int32_t number) {
  for (size_t i = 0; i < earlierCount; ++i) {
    if (ports[i].listenPort >= number) {
      ++number;
    }
  }
  return number;
}

void applyPortType(Config& config, PortLoadState& state, PortConfig& port, std::string_view value) {
  for (const TypeName& name : kTypeNames) {
    if (!equalsIgnoreCase(value, name.word)) {
      continue;
    }
    port.type = name.type;
    if (isImap4(port.type)) {
      port.imap4 = Imap4PortOptions{};
      state.createDefaultImap4Port = false;
    } else if (port.type == PortType::SmtpSpecific) {
      std::vector<PortConfig> before(config.ports.begin(), config.ports.end() - 1);
      port.smtp = SmtpPortOptions{};
      port.smtp.localEmailFile = makePortFileName(port.listenPort, "permissions_email", before);
      port.smtp.localIpFile = makePortFileName(port.listenPort, "permissions_ip", before);
    }
    return;
  }
}

// Keys that belong to the most recent PORT line. False when the key is not one.
bool applyKeyOfPort(Config& config, PortLoadState& state, std::string_view key,
                    std::string_view value) {
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(key, name);
  };
  if (!startsWithIgnoreCase(key, "PORT_")) {
    return false;
  }
  if (config.ports.empty()) {
    return true; // a port key before any PORT line is skipped
  }
  PortConfig& port = config.ports.back();
  const bool pop3 = isPop3(port.type);
  const bool imap4 = isImap4(port.type);
  const bool smtp = port.type == PortType::SmtpSpecific;

  if (is("PORT_TYPE")) {
    applyPortType(config, state, port, value);
  } else if (is("PORT_POP3_SERVERNAME") || is("PORT_IMAP4_SERVERNAME") ||
             is("PORT_SMTP_SERVERNAME")) {
    port.serverName = std::string(value);
  } else if (is("PORT_SPECIAL_ACCESS_CONTROL_LIST")) {
    if (isYes(value)) {
      port.specialAcl = true;
    }
  } else if (is("PORT_ACCESS_CONTROL_LIST_FNAME")) {
    port.aclFileName = std::string(value);
  } else if (is("PORT_UPSTREAM_TLS")) {
    for (const TlsName& name : kTlsNames) {
      if (equalsIgnoreCase(value, name.word)) {
        port.upstreamTls = name.mode;
      }
    }
  } else if (is("PORT_TLS_VERIFY")) {
    port.tlsVerify = !equalsIgnoreCase(value, "NO");
  } else if (is("PORT_TLS_CA_FILE")) {
    port.tlsCaFile = std::string(value);
  } else if (is("PORT_POP3_SUPPRESS_CLIENT_ERRORS")) {
    if (pop3)
      port.pop3.suppressClientErrors = isYes(value);
  } else if (is("PORT_POP3_MUTE_CONNECTION_ERRORS")) {
    if (pop3)
      port.pop3.muteConnectionErrors = isYes(value);
  } else if (is("PORT_POP3_ATTEMPT_APOP")) {
    if (port.type == PortType::Pop3Generic)
      port.pop3.attemptApop = isYes(value);
  } else if (is("PORT_POP3_DEFAULT_BODY_FILTERING_K_TOP")) {
    port.pop3.bodyKTop = readConfigNumber(value);
  } else if (is("PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR")) {
    port.pop3.bodyKRetr = readConfigNumber(value);
  } else if (is("PORT_IMAP4_MUTE_CONNECTION_ERRORS")) {
    if (imap4)
      port.imap4.muteConnectionErrors = isYes(value);
  } else if (is("PORT_IMAP4_DEFAULT_BODY_FILTERING_K")) {
    port.imap4.bodyK = readConfigNumber(value);
  } else if (is("PORT_IMAP4_REWRITE")) {
    if (imap4) {
      if (equalsIgnoreCase(value, "ALWAYS"))
        port.imap4.rewrite = Imap4Rewrite::Always;
      if (equalsIgnoreCase(value, "NEVER"))
        port.imap4.rewrite = Imap4Rewrite::Never;
      if (equalsIgnoreCase(value, "SPAM"))
        port.imap4.rewrite = Imap4Rewrite::Spam;
    }
  } else if (is("PORT_IMAP4_AUTO_DELETE_SPAM")) {
    if (imap4)
      port.imap4.autoDeleteSpam = isYes(value);
  } else if (is("PORT_IMAP4_AUTO_MOVE_SPAM")) {
    if (imap4)
      port.imap4.autoMoveSpam = isYes(value);
  } else if (is("PORT_IMAP4_SPAMTRAP_FOLDER")) {
    if (imap4)
      port.imap4.spamtrapFolder = std::string(value);
  } else if (is("PORT_IMAP4_EXPUNGE_DELETIONS")) {
    if (imap4)
      port.imap4.expungeDeletions = isYes(value);
  } else if (is("PORT_IMAP4_FILTER_ONE_MAILBOX")) {
    if (imap4)
      port.imap4.filterOneMailbox = isYes(value);
  } else if (is("PORT_IMAP4_FILTER_MAILBOX")) {
    if (imap4)
      port.imap4.filterMailbox = std::string(value);
  } else if (is("PORT_IMAP4_FILTER_TYPE")) {
    if (imap4) {
      port.imap4.filterType = equalsIgnoreCase(value, "ALL")      ? Imap4FilterType::All
                              : equalsIgnoreCase(value, "UNSEEN") ? Imap4FilterType::Unseen
                                                                  : Imap4FilterType::Recent;
    }
  } else if (is("PORT_IMAP4_CHECK_HEADERS_UNFILTERED")) {
    port.imap4.checkHeadersUnfiltered = isYes(value);
  } else if (is("PORT_SMTP_MUTE_CONNECTION_ERRORS")) {
    if (smtp)
      port.smtp.muteConnectionErrors = isYes(value);
  } else if (is("PORT_SMTP_AWLIST_RCPT_TO")) {
    if (smtp)
      port.smtp.awlistRcptTo = isYes(value);
  } else if (is("PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME")) {
    if (smtp)
      port.smtp.removeServerNameFromUserName = isYes(value);
  } else if (is("PORT_SMTP_REJECT_ON_MAIL_FROM")) {
    if (smtp)
      port.smtp.rejectOnMailFrom = isYes(value);
  } else if (is("PORT_SMTP_REJECT_ON_ORIGINATING_IP")) {
    if (smtp)
      port.smtp.rejectOnOriginatingIp = isYes(value);
  } else if (is("PORT_SMTP_ADD_RECEIVIED_HEADER")) {
    if (smtp)
      port.smtp.addReceivedHeader = isYes(value);
  } else if (is("PORT_SMTP_USE_FILTERING")) {
    if (smtp)
      port.smtp.useFiltering = isYes(value);
  } else if (is("PORT_SMTP_DEFAULT_BODY_FILTERING_K")) {
    if (smtp)
      port.smtp.bodyK = readConfigNumber(value);
  } else if (is("PORT_SMTP_LOCAL_EMAIL_LEAFNAME")) {
    if (smtp)
      port.smtp.localEmailFile = std::string(value);
  } else if (is("PORT_SMTP_LOCAL_IP_LEAFNAME")) {
    if (smtp)
      port.smtp.localIpFile = std::string(value);
  } else if (is("PORT_SMTP_PERMIT_ALL_AUTHENTICATED_RELAYING")) {
    if (smtp)
      port.smtp.permitAllAuthenticatedRelaying = isYes(value);
  }
  return true;
}

// Keys of the older single-port format, each of which asks for a rewrite.
bool applyOlderPortKey(Config& config, PortLoadState& state, std::string_view key,
                       std::string_view value) {
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(key, name);
  };
  std::vector<PortConfig>& ports = config.ports;
  PortConfig* generic =
      state.genericPort >= 0 ? &ports[static_cast<size_t>(state.genericPort)] : nullptr;
  if (is("PROTOCOL")) {
    return true;
  }
  if (is("MULTIPLE_SERVERS_USE_ONE_PORT")) {
    if (isYes(value)) {
      ports.push_back(newPort(ports, 110));
      state.genericPort = static_cast<int>(ports.size() - 1);
    }
  } else if (is("POP3_LISTEN_PORT")) {
    if (generic)
      generic->listenPort = readConfigNumber(value);
  } else if (is("ATTEMPT_APOP_AUTH")) {
    if (generic)
      generic->pop3.attemptApop = isYes(value);
  } else if (is("REPORT_ALL_RESOLVING_ERRORS")) {
    if (generic)
      generic->pop3.suppressClientErrors = !isYes(value);
  } else if (is("SERVER")) {
    PortConfig port = newPort(ports, 110);
    port.type = PortType::Pop3Specific;
    port.serverName = std::string(value);
    port.listenPort = adjustedListenPort(ports, ports.size(), 110);
    ports.push_back(std::move(port));
  } else if (is("LISTEN_PORT")) {
    if (!ports.empty()) {
      ports.back().listenPort =
          adjustedListenPort(ports, ports.size() - 1, readConfigNumber(value));
    }
  } else if (is("REPORT_RESOLVING_ERRORS")) {
    if (!ports.empty()) {
      bool report = isYes(value);
      ports.back().pop3.suppressClientErrors = !report;
      ports.back().pop3.muteConnectionErrors = report ? state.muteConnectionErrors : true;
    }
  } else if (is("MUTE_CONN_ERR_BOXES")) {
    state.muteConnectionErrors = isYes(value);
    if (state.muteConnectionErrors) {
      for (PortConfig& port : ports) {
        port.pop3.muteConnectionErrors = true;
      }
    }
  } else {
    return false;
  }
  state.converted = true;
  return true;
}

void writePortBlock(std::string& out, const PortConfig& port) {
  auto line = [&](std::string_view format, std::initializer_list<FormatArg> args = {}) {
    out += formatText(format, args);
  };
  line("PORT %d\n", {port.listenPort});
  switch (port.type) {
  case PortType::Pop3Specific:
  case PortType::Pop3Generic:
    line(port.type == PortType::Pop3Specific ? "PORT_TYPE POP3_SPECIFIC\n"
                                             : "PORT_TYPE POP3_GENERIC\n");
    line("PORT_POP3_SUPPRESS_CLIENT_ERRORS %s\n", {yesNo(port.pop3.suppressClientErrors)});
    line("PORT_POP3_MUTE_CONNECTION_ERRORS %s\n", {yesNo(port.pop3.muteConnectionErrors)});
    if (port.type == PortType::Pop3Specific) {
      line("PORT_POP3_SERVERNAME %s\n", {port.serverName});
    } else {
      line("PORT_POP3_ATTEMPT_APOP %s\n", {yesNo(port.pop3.attemptApop)});
    }
    line("PORT_POP3_DEFAULT_BODY_FILTERING_K_TOP %d\n", {port.pop3.bodyKTop});
    line("PORT_POP3_DEFAULT_BODY_FILTERING_K_RETR %d\n", {port.pop3.bodyKRetr});
    break;
  case PortType::Imap4Specific:
  case PortType::Imap4Generic: {
    const Imap4PortOptions& imap4 = port.imap4;
    if (port.type == PortType::Imap4Specific) {
      line("PORT_TYPE IMAP4_SPECIFIC\n");
      line("PORT_IMAP4_SERVERNAME %s\n", {port.serverName});
    } else {
      line("PORT_TYPE IMAP4_GENERIC\n");
    }
    line("PORT_IMAP4_MUTE_CONNECTION_ERRORS %s\n", {yesNo(imap4.muteConnectionErrors)});
    line("PORT_IMAP4_DEFAULT_BODY_FILTERING_K %d\n", {imap4.bodyK});
    if (imap4.rewrite == Imap4Rewrite::Never)
      line("PORT_IMAP4_REWRITE NEVER\n");
    if (imap4.rewrite == Imap4Rewrite::Always)
      line("PORT_IMAP4_REWRITE ALWAYS\n");
    if (imap4.rewrite == Imap4Rewrite::Spam)
      line("PORT_IMAP4_REWRITE SPAM\n");
    line("PORT_IMAP4_AUTO_DELETE_SPAM %s\n", {yesNo(imap4.autoDeleteSpam)});
    line("PORT_IMAP4_AUTO_MOVE_SPAM %s\n", {yesNo(imap4.autoMoveSpam)});
    line("PORT_IMAP4_SPAMTRAP_FOLDER %s\n", {imap4.spamtrapFolder});
    line("PORT_IMAP4_EXPUNGE_DELETIONS %s\n", {yesNo(imap4.expungeDeletions)});
    line("PORT_IMAP4_FILTER_ONE_MAILBOX %s\n", {yesNo(imap4.filterOneMailbox)});
    line("PORT_IMAP4_FILTER_MAILBOX %s\n", {imap4.filterMailbox});
    line("PORT_IMAP4_FILTER_TYPE %s\n", {imap4.filterType == Imap4FilterType::All      ? "ALL"
                                         : imap4.filterType == Imap4FilterType::Unseen ? "UNSEEN"
                                                                                       : "RECENT"});
    line("PORT_IMAP4_CHECK_HEADERS_UNFILTERED %s\n", {yesNo(imap4.checkHeadersUnfiltered)});
    break;
  }
  case PortType::SmtpSpecific: {
    const SmtpPortOptions& smtp = port.smtp;
    line("PORT_TYPE SMTP_SPECIFIC\n");
    line("PORT_SMTP_SERVERNAME %s\n", {port.serverName});
    line("PORT_SMTP_MUTE_CONNECTION_ERRORS %s\n", {yesNo(smtp.muteConnectionErrors)});
    line("PORT_SMTP_AWLIST_RCPT_TO %s\n", {yesNo(smtp.awlistRcptTo)});
    line("PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME %s\n",
         {yesNo(smtp.removeServerNameFromUserName)});
    line("PORT_SMTP_REJECT_ON_MAIL_FROM %s\n", {yesNo(smtp.rejectOnMailFrom)});
    line("PORT_SMTP_REJECT_ON_ORIGINATING_IP %s\n", {yesNo(smtp.rejectOnOriginatingIp)});
    line("PORT_SMTP_ADD_RECEIVIED_HEADER %s\n", {yesNo(smtp.addReceivedHeader)});
    line("PORT_SMTP_USE_FILTERING %s\n", {yesNo(smtp.useFiltering)});
    line("PORT_SMTP_DEFAULT_BODY_FILTERING_K %d\n", {smtp.bodyK});
    line("PORT_SMTP_LOCAL_EMAIL_LEAFNAME %s\n", {smtp.localEmailFile});
    line("PORT_SMTP_LOCAL_IP_LEAFNAME %s\n", {smtp.localIpFile});
    line("PORT_SMTP_PERMIT_ALL_AUTHENTICATED_RELAYING %s\n",
         {yesNo(smtp.permitAllAuthenticatedRelaying)});
    break;
  }
  }
  // Keys added by this platform come after the type's own keys and only when they
  // differ from the default; the setup wizard cuts a block at the access-list line.
  if (port.upstreamTls != UpstreamTls::Auto) {
    for (const TlsName& name : kTlsNames) {
      if (name.mode == port.upstreamTls) {
        line("PORT_UPSTREAM_TLS %s\n", {name.word});
      }
    }
  }
  if (port.tlsVerify) {
    line("PORT_TLS_VERIFY %s\n", {yesNo(*port.tlsVerify)});
  }
  if (!port.tlsCaFile.empty()) {
    line("PORT_TLS_CA_FILE %s\n", {port.tlsCaFile});
  }
  line("PORT_SPECIAL_ACCESS_CONTROL_LIST %s\n", {yesNo(port.specialAcl)});
  if (!port.aclFileName.empty()) {
    line("PORT_ACCESS_CONTROL_LIST_FNAME %s\n", {port.aclFileName});
  }
  line("\n");
}

} // namespace

void applyPortLine(Config& config, std::string_view value) {
  config.ports.push_back(newPort(config.ports, readConfigNumber(value)));
}

bool applyPortKey(Config& config, PortLoadState& state, std::string_view key,
                  std::string_view value) {
  return applyKeyOfPort(config, state, key, value) || applyOlderPortKey(config, state, key, value);
}

void keepPortNumbersInRange(std::vector<PortConfig>& ports) {
  constexpr int32_t kLargestBodyK = 65536;
  for (PortConfig& port : ports) {
    port.listenPort = std::clamp(port.listenPort, 1, 65535);
    for (int32_t* bodyK :
         {&port.pop3.bodyKTop, &port.pop3.bodyKRetr, &port.imap4.bodyK, &port.smtp.bodyK}) {
      *bodyK = std::min(*bodyK, kLargestBodyK);
    }
  }
}

void readPortFiles(Config& config) {
  for (PortConfig& port : config.ports) {
    if (port.type == PortType::SmtpSpecific) {
      if (!port.smtp.localEmailFile.empty()) {
        readPatternFile(dataPath(port.smtp.localEmailFile), port.smtp.localEmails);
      }
      if (!port.smtp.localIpFile.empty()) {
        readNetblockFile(dataPath(port.smtp.localIpFile), port.smtp.localIpBlocks);
      }
    }
    if (!port.aclFileName.empty()) {
      readNetblockFile(dataPath(port.aclFileName), port.aclBlocks);
    }
  }
}

void appendPortBlocks(std::string& out, const Config& config) {
  for (const PortConfig& port : config.ports) {
    writePortBlock(out, port);
  }
}

PortKeyValues portKeyValues(const PortConfig& port) {
  std::string block;
  writePortBlock(block, port);
  PortKeyValues keys;
  size_t start = block.find('\n') + 1; // after "PORT n"
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    std::string_view line(block.data() + start, end - start);
    start = end + 1;
    if (line.empty()) {
      continue;
    }
    size_t blank = line.find(' ');
    keys.emplace_back(std::string(line.substr(0, blank)),
                      blank == std::string_view::npos ? "" : std::string(line.substr(blank + 1)));
  }
  return keys;
}

PortConfig portFromKeyValues(const Config& config, int32_t listenPort, const PortKeyValues& keys) {
  Config building;
  building.ports = config.ports;
  PortLoadState state;
  applyPortLine(building, std::to_string(listenPort));
  for (const auto& [key, value] : keys) {
    applyKeyOfPort(building, state, key, value);
  }
  std::vector<PortConfig> made(1, std::move(building.ports.back()));
  keepPortNumbersInRange(made);
  return std::move(made.front());
}

uint32_t newPortId(const std::vector<PortConfig>& ports) {
  uint32_t candidate = static_cast<uint32_t>(std::time(nullptr));
  for (bool clash = true; clash;) {
    clash = false;
    for (const PortConfig& port : ports) {
      if (port.id == candidate) {
        ++candidate;
        clash = true;
        break;
      }
    }
  }
  return candidate;
}

std::string makePortFileName(int32_t listenPort, std::string_view base,
                             const std::vector<PortConfig>& ports) {
  for (int attempt = 0;; ++attempt) {
    std::string name = attempt == 0
                           ? formatText("port%d_%s%s%s.txt", {listenPort, base, "", ""})
                           : formatText("port%d_%s%s%s.txt", {listenPort, base, "_", attempt});
    bool used = fileExists(dataPath(name));
    for (const PortConfig& port : ports) {
      used = used || equalsIgnoreCase(port.aclFileName, name) ||
             (port.type == PortType::SmtpSpecific &&
              (equalsIgnoreCase(port.smtp.localEmailFile, name) ||
               equalsIgnoreCase(port.smtp.localIpFile, name)));
    }
    if (!used) {
      return name;
    }
  }
}

void createGenericPort(Config& config, PortType type, std::string* statusText) {
  if (type != PortType::Pop3Generic && type != PortType::Imap4Generic) {
    tellUser("Impossible error from Kestrelmail", "Cannot create initial port for this protocol!",
             NoticeIcon::Stop);
    return;
  }
  const char* label = type == PortType::Pop3Generic ? "POP3" : "IMAP4";
  int32_t candidate = type == PortType::Pop3Generic ? 110 : 143;
  int error = 0;
  for (;;) {
    bool taken = false;
    for (const PortConfig& port : config.ports) {
      taken = taken || port.listenPort == candidate;
    }
    if (!taken) {
      int result = probeListenPort(config.listenIp, candidate);
      // Ports below 1024 are refused to ordinary users; such a port is as good as
      // taken, and the search moves on to one that can be used.
      taken = result == wsa::kAddressInUse || result == wsa::kAccessDenied;
      if (!taken) {
        error = result;
        break;
      }
    }
    candidate += candidate < 1000 ? 1000 : 1;
  }

  std::string text;
  if (error != 0) {
    text = formatText(languageText(kTextGenericPortFailed), {label, error, candidate});
    if (statusText) {
      *statusText = text;
    }
    tellUser(languageText(kTextErrorTitle), text, NoticeIcon::Stop);
  } else {
    text = candidate >= 1024 ? formatText(languageText(kTextGenericPortCreated), {label, candidate})
                             : formatText(languageText(kTextGenericPortCreatedStandard), {label});
    if (statusText) {
      *statusText = text;
    } else {
      tellUser(languageText(kTextInformationTitle), text, NoticeIcon::Information);
    }
  }

  PortConfig port;
  port.id = newPortId(config.ports);
  port.listenPort = candidate;
  port.type = type;
  if (type == PortType::Imap4Generic) {
    port.imap4.autoMoveSpam = true;
    port.imap4.spamtrapFolder = languageText(kTextSpamtrapFolder).substr(0, kMaxSpamtrapFolder);
    port.imap4.filterMailbox = "inbox";
  }
  config.ports.push_back(std::move(port));
}

bool portAdmits(const PortConfig& port, const Config& config, const Ipv4Address& client) {
  return netblocksContain(port.specialAcl ? port.aclBlocks : config.ipAllowList, client);
}

} // namespace km
