#include "net/listeners.h"

#include <algorithm>

#include "diag/activity_log.h"
#include "diag/error_report.h"
#include "diag/repeated_notices.h"
#include "net/sessions.h"
#include "net/socket_errors.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr int kSocketAttempts = 120;
constexpr unsigned kSocketRetryMs = 500;
// Room for a burst of clients connecting at once (the system caps it at its own
// limit): a full queue drops new clients' connection requests, which they repeat
// only after a second or more. 200 clients at once wait 8 ms (median) with this
// queue and 13 s with a queue of five.
constexpr int kListenBacklog = 4096;
// A failing accept (out of descriptors) leaves the client queued and the socket
// readable; the pause keeps the main thread from spinning on it.
constexpr unsigned kAcceptFailurePauseMs = 50;

struct Listener {
  SocketHandle listenSocket = kInvalidSocket;
  Ipv4Address bindAddress{};
  int port = 0;
  std::vector<PortConfig> portConfigs;
  std::vector<SocketHandle> sessionSockets;
  bool retired = false;
  // The last accept failure reported, so that a lasting one is reported once.
  int lastAcceptError = 0;
};

struct PortChoice {
  int port = 0;
  uint32_t portConfigId = 0;
};

struct ListenerTable {
  RecursiveLock lock;
  std::vector<Listener> listeners;
  std::vector<PortChoice> rememberedChoices;
};

ListenerTable& table() {
  static ListenerTable instance;
  return instance;
}

Listener* findListener(SocketHandle listenSocket) {
  for (Listener& listener : table().listeners) {
    if (listener.listenSocket == listenSocket) {
      return &listener;
    }
  }
  return nullptr;
}

// A new listening socket; creating one is retried for about a minute, as sockets
// may be short while the system starts or resumes.
UniqueSocket openListeningSocket(const Ipv4Address& address, int port) {
  UniqueSocket sock;
  int error = 0;
  for (int attempt = 0; attempt < kSocketAttempts && !stopRequested(); ++attempt) {
    sock.reset(createTcpSocket());
    if (sock.valid()) {
      break;
    }
    error = lastSocketError();
    if (attempt + 1 < kSocketAttempts) {
      sleepMs(kSocketRetryMs);
    }
  }
  if (!sock.valid()) {
    reportSocketError(error, languageText(kTextSocketCreateFailedTitle), nullptr);
    return sock;
  }
  if (!bindSocket(sock.get(), address, port, error)) {
    sock.reset();
    showMessage(languageText(kTextErrorTitle),
                formatText(languageText(kTextPortUnavailable), {port, error}),
                NoticeIcon::Exclamation);
    return sock;
  }
  if (!listenOnSocket(sock.get(), kListenBacklog, error)) {
    sock.reset();
    reportSocketError(error, languageText(kTextListenFailedTitle), nullptr);
    return sock;
  }
  return sock;
}

bool admitsAny(const PortConfig& portConfig, const Config& config,
               const std::vector<Ipv4Address>& addresses) {
  for (const Ipv4Address& address : addresses) {
    if (!ipEquals(address, kLoopbackAddress) && portAdmits(portConfig, config, address)) {
      return true;
    }
  }
  return false;
}

std::string choiceLine(const PortConfig& portConfig) {
  switch (portConfig.type) {
  case PortType::Pop3Specific:
    return formatText(languageText(kTextPortChoicePop3Specific), {portConfig.serverName});
  case PortType::Pop3Generic:
    return languageText(kTextPortChoicePop3Generic);
  case PortType::Imap4Specific:
    return formatText(languageText(kTextPortChoiceImap4Specific), {portConfig.serverName});
  case PortType::Imap4Generic:
    return languageText(kTextPortChoiceImap4Generic);
  case PortType::SmtpSpecific:
    return formatText(languageText(kTextPortChoiceSmtpSpecific), {portConfig.serverName});
  default:
    return "?";
  }
}

// The port choice dialog: one line per candidate, the first selected.
size_t askForPortDefinition(const std::vector<PortConfig>& portConfigs,
                            const std::vector<size_t>& candidates, int port,
                            const Ipv4Address& client) {
  Notice notice;
  notice.title = languageText(kTextPortChoiceTitle);
  notice.text = formatText(languageText(kTextPortChoiceQuestion), {ipToString(client), port});
  notice.icon = NoticeIcon::Question;
  for (size_t index : candidates) {
    notice.choices.push_back(choiceLine(portConfigs[index]));
  }
  notice.headlessChoice = 0;
  notice.checkBoxText = languageText(kTextRememberPortChoice);
  NoticeReply reply = notifyForReply(notice);
  size_t chosen = candidates[std::min(reply.choice, candidates.size() - 1)];
  if (reply.checked) {
    rememberPortChoice(port, portConfigs[chosen].id);
  }
  return chosen;
}

// Tells the user about a refused client: in the log when logging is on, else in
// a message. A burst of refusals (a program knocking a thousand times) is told
// once, and then as one count a minute later.
void noticeRefusal(const std::string& kind, const Config* config, int logTextId,
                   std::initializer_list<FormatArg> logArgs, const std::string& text) {
  bool toLog = config != nullptr && config->loggingEnabled;
  std::string told = toLog ? formatText(languageText(logTextId), logArgs) : text;
  bool first = giveOnceThenCount(kind, [toLog, told](int64_t repeats) {
    if (toLog) {
      logGlobalText(LogLevel::Minimal, kTextRepeatedNotice, {repeats, told});
    } else {
      showMessage(languageText(kTextNoticeTitle),
                  formatText(languageText(kTextRepeatedNotice), {repeats, told}),
                  NoticeIcon::Exclamation);
    }
  });
  if (!first) {
    return;
  }
  if (toLog) {
    logGlobalText(LogLevel::Minimal, logTextId, logArgs);
  } else {
    showMessage(languageText(kTextNoticeTitle), text, NoticeIcon::Exclamation);
  }
}

void refuseConnection(SocketHandle client, int port, const Ipv4Address& address,
                      const Config* config) {
  closeSocket(client);
  noticeRefusal("refused:" + std::to_string(port), config, kTextRefusedConnectionLog,
                {port, address[0], address[1], address[2], address[3]},
                formatText(languageText(kTextRefusedConnection), {ipToString(address)}));
}

// What a client beyond the session limit reads before the connection closes.
std::string_view busyReply(PortType type) {
  switch (type) {
  case PortType::Imap4Specific:
  case PortType::Imap4Generic:
    return "* BYE Kestrelmail is serving too many connections; try again later.\r\n";
  case PortType::SmtpSpecific:
    return "421 Kestrelmail is serving too many connections; try again later.\r\n";
  default:
    return "-ERR Kestrelmail is serving too many connections; try again later.\r\n";
  }
}

// Refuses a client because the session limit is reached. The reply fits into an
// empty socket's buffer, so sending it never waits.
void refuseBusyConnection(SocketHandle client, PortType type, int port, const Ipv4Address& address,
                          const Config& config, int running) {
  std::string_view reply = busyReply(type);
  int ignored = 0;
  sendBytesNoWait(client, reply.data(), reply.size(), ignored);
  closeSocket(client);
  noticeRefusal("busy:" + std::to_string(port), &config, kTextBusyRefusedLog,
                {port, address[0], address[1], address[2], address[3], running},
                formatText(languageText(kTextBusyRefused), {ipToString(address), port, running}));
}

void removeSessionSocket(Listener& listener, SocketHandle clientSocket) {
  auto& sockets = listener.sessionSockets;
  auto found = std::find(sockets.begin(), sockets.end(), clientSocket);
  if (found != sockets.end()) {
    *found = sockets.back();
    sockets.pop_back();
  }
}

} // namespace

RecursiveLock& listenerLock() {
  return table().lock;
}

void initListeners() {
  RecursiveGuard guard(table().lock);
  while (!table().listeners.empty()) {
    destroyListener(table().listeners.size() - 1);
  }
  table().rememberedChoices.clear();
}

void reloadListeners() {
  if (stopRequested()) {
    return;
  }
  ConfigRef config = AcquireConfig();
  RecursiveGuard guard(table().lock);
  for (Listener& listener : table().listeners) {
    listener.retired = true;
    listener.portConfigs.clear();
  }
  if (config) {
    for (const PortConfig& portConfig : config->ports) {
      addListener(portConfig, *config);
    }
  }
  for (size_t i = table().listeners.size(); i-- > 0;) {
    if (i < table().listeners.size() && table().listeners[i].retired) {
      retireListener(table().listeners[i].listenSocket);
    }
  }
}

void addListener(const PortConfig& portConfig, const Config& config) {
  RecursiveGuard guard(table().lock);
  auto& listeners = table().listeners;
  for (size_t i = listeners.size(); i-- > 0;) {
    Listener& listener = listeners[i];
    if (ipEquals(listener.bindAddress, config.listenIp) && listener.port == portConfig.listenPort) {
      listener.portConfigs.push_back(portConfig);
      listener.retired = false;
      return;
    }
  }
  UniqueSocket opened = openListeningSocket(config.listenIp, portConfig.listenPort);
  if (!opened.valid()) {
    return;
  }
  // From here the listener table owns the socket; destroyListener closes it.
  SocketHandle sock = opened.release();
  Listener listener;
  listener.listenSocket = sock;
  listener.bindAddress = config.listenIp;
  listener.port = portConfig.listenPort;
  listener.portConfigs.push_back(portConfig);
  listeners.push_back(std::move(listener));
  watchReadable(sock, [sock] { acceptConnection(sock); });
}

void acceptConnection(SocketHandle listenSocket) {
  ConfigRef config = AcquireConfig();
  RecursiveGuard guard(table().lock);
  // A descriptor that is no longer one of the listening sockets may already stand
  // for something else: it is left alone.
  Listener* listener = findListener(listenSocket);
  if (listener == nullptr) {
    return;
  }
  SocketHandle client = kInvalidSocket;
  Ipv4Address address{};
  int error = 0;
  switch (acceptClient(listenSocket, client, address, error)) {
  case AcceptResult::NothingWaiting:
    return;
  case AcceptResult::Failed:
    if (error != listener->lastAcceptError) {
      listener->lastAcceptError = error;
      reportSocketError(error, languageText(kTextAcceptFailedTitle), nullptr);
    }
    sleepMs(kAcceptFailurePauseMs);
    return;
  case AcceptResult::Accepted:
    listener->lastAcceptError = 0;
    break;
  }

  std::optional<size_t> chosen;
  if (config) {
    chosen = choosePortDefinition(listener->portConfigs, listener->port, *config, address,
                                  ownIpv4Addresses);
  }
  if (!chosen) {
    refuseConnection(client, listener->port, address, config.get());
    return;
  }
  // Every session costs a thread and its buffers: beyond the limit a client is
  // turned away with a clear answer instead of slowing every other session.
  int running = runningSessionCount();
  if (config->maxSessions > 0 && running >= config->maxSessions) {
    refuseBusyConnection(client, listener->portConfigs[*chosen].type, listener->port, address,
                         *config, running);
    return;
  }
  if (!setSocketBlocking(client, true, error)) {
    reportSocketError(error, languageText(kTextModeChangeFailedTitle), nullptr);
    closeSocket(client);
    return;
  }

  listener->sessionSockets.push_back(client);
  auto start = std::make_unique<SessionStart>();
  start->portConfig = listener->portConfigs[*chosen];
  start->clientSocket = client;
  start->clientAddress = address;
  if (!startSessionThread(std::move(start))) {
    reportSystemError("", nullptr);
    removeSessionSocket(*listener, client);
    closeSocket(client);
  }
}

std::optional<size_t>
choosePortDefinition(const std::vector<PortConfig>& portConfigs, int port, const Config& config,
                     const Ipv4Address& client,
                     const std::function<std::vector<Ipv4Address>()>& ownAddresses) {
  std::vector<size_t> candidates;
  for (size_t i = 0; i < portConfigs.size(); ++i) {
    if (portAdmits(portConfigs[i], config, client)) {
      candidates.push_back(i);
    }
  }
  // A client on this machine may stand for the machine itself: definitions meant
  // for its own network addresses win.
  if (ipEquals(client, kLoopbackAddress) && candidates.size() > 1) {
    std::vector<size_t> narrowed;
    std::vector<Ipv4Address> own = ownAddresses();
    for (size_t index : candidates) {
      if (admitsAny(portConfigs[index], config, own)) {
        narrowed.push_back(index);
      }
    }
    if (!narrowed.empty()) {
      candidates = std::move(narrowed);
    }
  }
  if (candidates.empty()) {
    return std::nullopt;
  }
  if (candidates.size() == 1) {
    return candidates.front();
  }
  std::optional<size_t> remembered;
  if (std::optional<uint32_t> id = rememberedPortChoice(port)) {
    for (size_t index : candidates) {
      if (portConfigs[index].id == *id) {
        remembered = index;
      }
    }
  }
  if (remembered) {
    return remembered;
  }
  return askForPortDefinition(portConfigs, candidates, port, client);
}

void forgetSessionSocket(SocketHandle clientSocket) {
  RecursiveGuard guard(table().lock);
  auto& listeners = table().listeners;
  for (size_t i = listeners.size(); i-- > 0;) {
    size_t before = listeners[i].sessionSockets.size();
    removeSessionSocket(listeners[i], clientSocket);
    if (listeners[i].sessionSockets.size() < before && listeners[i].retired &&
        listeners[i].sessionSockets.empty()) {
      destroyListener(i);
    }
  }
}

void retireListener(SocketHandle listenSocket) {
  RecursiveGuard guard(table().lock);
  auto& listeners = table().listeners;
  for (size_t i = 0; i < listeners.size(); ++i) {
    if (listeners[i].listenSocket == listenSocket) {
      listeners[i].portConfigs.clear();
      listeners[i].retired = true;
      if (listeners[i].sessionSockets.empty()) {
        destroyListener(i);
      }
      return;
    }
  }
}

void destroyListener(size_t index) {
  RecursiveGuard guard(table().lock);
  auto& listeners = table().listeners;
  if (index >= listeners.size()) {
    return;
  }
  SocketHandle sock = listeners[index].listenSocket;
  unwatchReadable(sock);
  closeSocket(sock);
  listeners.erase(listeners.begin() + static_cast<std::ptrdiff_t>(index));
}

void closeAllListeners() {
  RecursiveGuard guard(table().lock);
  for (size_t i = table().listeners.size(); i-- > 0;) {
    if (i < table().listeners.size()) {
      retireListener(table().listeners[i].listenSocket);
    }
  }
}

std::vector<ListenerInfo> listListeners() {
  RecursiveGuard guard(table().lock);
  std::vector<ListenerInfo> infos;
  for (const Listener& listener : table().listeners) {
    ListenerInfo info;
    info.listenSocket = listener.listenSocket;
    info.bindAddress = listener.bindAddress;
    info.port = listener.port;
    for (const PortConfig& portConfig : listener.portConfigs) {
      info.portConfigIds.push_back(portConfig.id);
    }
    info.sessionCount = listener.sessionSockets.size();
    info.retired = listener.retired;
    infos.push_back(std::move(info));
  }
  return infos;
}

bool reachesOwnListener(const Ipv4Address& peer, int peerPort, const Ipv4Address& local) {
  RecursiveGuard guard(table().lock);
  bool toThisMachine = peer[0] == 127 || ipEquals(peer, local);
  for (const Listener& listener : table().listeners) {
    bool anyAddress = ipEquals(listener.bindAddress, Ipv4Address{0, 0, 0, 0});
    if (listener.port == peerPort &&
        (ipEquals(listener.bindAddress, peer) || (anyAddress && toThisMachine))) {
      return true;
    }
  }
  return false;
}

void rememberPortChoice(int port, uint32_t portConfigId) {
  RecursiveGuard guard(table().lock);
  for (PortChoice& choice : table().rememberedChoices) {
    if (choice.port == port) {
      choice.portConfigId = portConfigId;
      return;
    }
  }
  table().rememberedChoices.push_back({port, portConfigId});
}

std::optional<uint32_t> rememberedPortChoice(int port) {
  RecursiveGuard guard(table().lock);
  for (const PortChoice& choice : table().rememberedChoices) {
    if (choice.port == port) {
      return choice.portConfigId;
    }
  }
  return std::nullopt;
}

} // namespace km
