// The POP3 session thread: greeting, log-in towards the real server, the command
// loop, and the commands that do not carry messages.
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "config/config.h"
#include "diag/activity_log.h"
#include "diag/repeated_notices.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl_cache.h"
#include "filter/pipeline.h"
#include "filter/session_record.h"
#include "filter/tagging.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "net/sessions.h"
#include "net/socket_errors.h"
#include "net/upstream_tls.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/md5.h"
#include "platform/memory.h"
#include "platform/notifier.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "pop3/offline_server.h"
#include "pop3/pop3.h"
#include "pop3/pop3_internal.h"

namespace km {

namespace {

constexpr int kGreetingTimeoutSec = 300;
constexpr int kLoginTimeoutSec = 300;
constexpr int kTlsStartTimeoutMs = 60000;
// A POP3 command line is at most 255 bytes; SASL answers during AUTH may run to a
// few kilobytes. Anything longer comes from a broken or hostile client.
constexpr size_t kLongestClientLine = 16 * 1024;

// One warning of each kind on screen at a time, whatever the number of sessions.
std::atomic<bool> apopWarningShown{false};
std::atomic<bool> saslWarningShown{false};

bool isGeneric(const Pop3Session& s) {
  return s.portConfig.type == PortType::Pop3Generic;
}
bool beginsWithOk(std::string_view line) {
  return startsWithIgnoreCase(line, "+OK");
}

void showStatus(Pop3Session& s, int textId) {
  setRowText(s.row, kColumnStatus, languageText(textId));
}
void clearStatus(Pop3Session& s) {
  setRowText(s.row, kColumnStatus, "");
}

// The text of a line up to its first control byte.
std::string_view lineText(std::string_view line) {
  size_t end = 0;
  while (end < line.size() && static_cast<unsigned char>(line[end]) >= 32) {
    ++end;
  }
  return line.substr(0, end);
}

// Reads "+OK <a> <b>": the two numbers after the blanks, as far as they are there.
void readTwoNumbers(std::string_view reply, int64_t& first, int64_t& second) {
  first = second = 0;
  size_t blank = reply.find(' ');
  if (blank == std::string_view::npos) {
    return;
  }
  std::string_view rest = reply.substr(blank + 1);
  first = readLong(rest);
  size_t next = rest.find(' ');
  if (next != std::string_view::npos) {
    second = readLong(rest.substr(next + 1));
  }
}

void resizeMailbox(Pop3Session& s, int64_t count) {
  count = std::clamp<int64_t>(count, 0, 1000000);
  while (static_cast<int64_t>(s.entries.size()) > count) {
    s.entries.pop_back();
  }
  while (static_cast<int64_t>(s.entries.size()) < count) {
    s.entries.push_back(std::make_unique<Pop3Entry>());
  }
}

// The size the client is told: what the server announced plus what tagging may add.
int64_t announcedSize(const Pop3Session& s, int64_t size) {
  return size + MaxBytesToAdd(*s.config, size);
}

// Sends a line to the server and reads one reply line; nothing on failure.
std::optional<std::string> exchange(Pop3Session& s, std::string_view line, int timeoutSec) {
  if (!s.upstream.sendString(line)) {
    return std::nullopt;
  }
  return s.upstream.readLine(timeoutSec);
}

// Shows the notice about a server that cannot be reached, unless the port's
// notices are muted; "do not show again" mutes them in the live configuration.
void noticeUnreachable(Pop3Session& s, int textId, const std::string& host, int error) {
  if (s.portConfig.pop3.muteConnectionErrors || !isReportableSocketError(error)) {
    return;
  }
  Notice notice;
  notice.title = languageText(kTextNoticeTitle);
  notice.text = formatText(languageText(textId), {host, error});
  // Many sessions failing the same way (a server down, a client retrying in a
  // loop) are told once, then counted.
  std::string title = notice.title;
  std::string text = notice.text;
  if (!giveOnceThenCount(
          "pop3-unreachable:" + std::to_string(s.portConfig.id) + ":" + text,
          [title, text](int64_t repeats) {
            showMessage(title, formatText(languageText(kTextRepeatedNotice), {repeats, text}),
                        NoticeIcon::Exclamation);
          })) {
    return;
  }
  notice.icon = NoticeIcon::Exclamation;
  notice.checkBoxText = languageText(kTextDoNotShowAgain);
  if (!notifyForReply(notice).checked) {
    return;
  }
  uint32_t portId = s.portConfig.id;
  updateConfig([portId](Config& changed) {
    for (PortConfig& port : changed.ports) {
      if (port.id == portId) {
        port.pop3.muteConnectionErrors = true;
      }
    }
  });
}

// After a failed resolution or connection: the empty offline mailbox when the port
// hides such failures, else the error reply.
void answerUnreachable(Pop3Session& s, int textId, const std::string& host, int error,
                       const std::string& reply) {
  logSocketError(error, languageText(kTextPop3ProgramErrorTitle), &s.record.log);
  clearStatus(s);
  if (s.portConfig.pop3.suppressClientErrors) {
    runOfflineServer(s.client, s.row);
    return;
  }
  noticeUnreachable(s, textId, host, error);
  s.client.sendString(reply);
}

// A server named as one of the proxy's own ports would be served by the proxy
// again and again.
bool connectsToItself(SocketHandle sock) {
  Ipv4Address local{};
  Ipv4Address peer{};
  int peerPort = 0;
  return connectionEndpoints(sock, local, peer, peerPort) &&
         reachesOwnListener(peer, peerPort, local);
}

// Upgrades the fresh server connection to TLS when the port asks for it: at once,
// or after an STLS exchange following the greeting.
// The reason of a failure goes to `failure`.
bool secureUpstream(Pop3Session& s, const Pop3Server& server, UpstreamSecurity security,
                    std::string& failure) {
  if (security == UpstreamSecurity::Plain) {
    return true;
  }
  if (security == UpstreamSecurity::StartTls) {
    std::optional<std::string> reply = exchange(s, "STLS\r\n", kGreetingTimeoutSec);
    if (!reply || !beginsWithOk(*reply)) {
      failure = reply ? std::string(lineText(*reply)) : socketErrorText(s.upstream.lastError());
      logSessionText(s.record.log, LogLevel::Minimal, kTextPop3TlsFailed, {server.host, failure});
      return false;
    }
  }
  if (!s.upstream.startTls(tlsOptionsFor(*s.config, s.portConfig, server.host), kTlsStartTimeoutMs,
                           failure)) {
    std::string text = formatText(languageText(kTextPop3TlsFailed), {server.host, failure});
    logSessionText(s.record.log, LogLevel::Minimal, kTextPop3TlsFailed, {server.host, failure});
    if (!s.portConfig.pop3.muteConnectionErrors) {
      showMessage(languageText(kTextPop3ProgramErrorTitle), text, NoticeIcon::Exclamation);
    }
    return false;
  }
  return true;
}

void dropUpstream(Pop3Session& s) {
  s.upstream.close();
  s.upstream.abandon();
}

// A secure connection that could not be made: the client hears why, not only an
// error number.
void refuseInsecure(Pop3Session& s, const std::string& failure) {
  dropUpstream(s);
  s.client.sendString(formatText("-ERR Unable to connect to POP3 server (error %d): %s\r\n",
                                 {wsa::kConnectionAborted, failure}));
  clearStatus(s);
}

} // namespace

std::optional<GenericUserLine> splitGenericUserLine(std::string_view line) {
  size_t separator = line.find_last_of("@%/");
  if (separator == std::string_view::npos || separator == 0) {
    return std::nullopt;
  }
  GenericUserLine split;
  split.serverSpecification = std::string(lineText(line.substr(separator + 1)));
  split.serverLine = std::string(line.substr(0, separator)) + "\r\n";
  return split;
}

std::string userNameOf(std::string_view line) {
  size_t start = line.find(' ');
  if (start == std::string_view::npos) {
    return {};
  }
  while (start < line.size() && line[start] == ' ') {
    ++start;
  }
  return std::string(lineText(line.substr(start)));
}

std::optional<std::string> apopDigest(std::string_view greeting, std::string_view password) {
  size_t open = greeting.find('<');
  if (open == std::string_view::npos) {
    return std::nullopt;
  }
  size_t close = greeting.find('>', open);
  if (close == std::string_view::npos) {
    return std::nullopt; // an unterminated time stamp is no offer of APOP
  }
  std::string input(greeting.substr(open, close - open + 1));
  input.append(password);
  return md5Hex(input);
}

std::string_view commandColumnText(std::string_view line) {
  if (startsWithIgnoreCase(line, "PASS")) {
    return "PASS";
  }
  line = lineText(line);
  if (startsWithIgnoreCase(line, "AUTH ")) {
    // The mechanism, never the credentials an initial response carries.
    size_t mechanismEnd = line.find(' ', line.find_first_not_of(' ', 5));
    return line.substr(0, mechanismEnd);
  }
  return line;
}

void reportRelayFailure(Pop3Session& s) {
  if (s.upstream.state() == SocketState::Error && isReportableSocketError(s.upstream.lastError())) {
    reportSocketError(s.upstream.lastError(), languageText(kTextPop3ServerErrorTitle),
                      &s.record.log);
  } else if (s.client.state() == SocketState::Error &&
             isReportableSocketError(s.client.lastError())) {
    reportSocketError(s.client.lastError(), languageText(kTextPop3ClientErrorTitle), &s.record.log);
  }
}

namespace {

// Resolves and connects to the server, reads its greeting and, when the port asks
// for it, secures the connection. False when the client has been answered (or
// served by the offline mailbox) and the session cannot go on.
bool connectPop3Server(Pop3Session& s, const std::string& specification) {
  setRowText(s.row, kColumnServer, specification);
  showStatus(s, kTextStatusResolving);
  s.serverSpecification = specification;
  setSessionServerName(s.record, specification);
  Pop3Server server = parsePop3Server(specification);
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogPop3Server, {server.host, server.port});

  int error = 0;
  showStatus(s, kTextStatusConnecting);
  UniqueSocket sock = connectToServer(server, error);
  if (!sock.valid()) {
    if (isResolverError(error)) {
      answerUnreachable(s, kTextPop3CannotResolve, server.host, error,
                        "-ERR Unable to resolve server name\r\n");
    } else {
      answerUnreachable(
          s, kTextPop3CannotConnect, server.host, error,
          formatText("-ERR Unable to connect to POP3 server (error %d)\r\n", {error}));
    }
    return false;
  }
  if (connectsToItself(sock.get())) {
    sock.reset();
    clearStatus(s);
    logSessionText(s.record.log, LogLevel::Minimal, kTextPop3ServerIsProxy, {specification});
    showMessage(languageText(kTextPop3ProgramErrorTitle),
                formatText(languageText(kTextPop3ServerIsProxy), {specification}),
                NoticeIcon::Stop);
    s.client.sendString("-ERR The mailserver in the user name is this Kestrelmail itself\r\n");
    return false;
  }

  showStatus(s, kTextStatusConnected);
  if (upstreamConnected(s)) {
    dropUpstream(s);
  }
  s.upstream.attach(sock.release());
  s.upstream.setBareLineFeedEndsLine(true);
  pairSession(s.client, s.upstream);
  setRowSockets(s.row, &s.client, &s.upstream);

  UpstreamSecurity security = upstreamSecurity(s.portConfig.upstreamTls, server.port);
  std::string failure;
  if (security == UpstreamSecurity::Implicit && !secureUpstream(s, server, security, failure)) {
    refuseInsecure(s, failure);
    return false;
  }

  std::optional<std::string> greeting = s.upstream.readLine(kGreetingTimeoutSec);
  clearStatus(s);
  if (!greeting) {
    if (s.upstream.state() == SocketState::Error &&
        isReportableSocketError(s.upstream.lastError())) {
      reportSocketError(s.upstream.lastError(), languageText(kTextPop3ProgramErrorTitle),
                        &s.record.log);
    }
    dropUpstream(s);
    return false;
  }
  if (startsWithIgnoreCase(*greeting, "-ERR")) {
    dropUpstream(s);
    s.client.sendString(*greeting);
    return false;
  }
  if (security == UpstreamSecurity::StartTls && !secureUpstream(s, server, security, failure)) {
    refuseInsecure(s, failure);
    return false;
  }
  s.greeting = *greeting;
  return true;
}

// Relays the server's reply to a line the handler sent; the session ends when
// that fails.
SessionFlow relayReply(Pop3Session& s, const std::optional<std::string>& reply) {
  if (!reply || !s.client.sendString(*reply)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

// Learns the message count and sizes after a log-in, so that every RETR and TOP
// is filtered even for a client that never asks for them; the client hears
// nothing of it. False when the server connection failed.
bool learnMailbox(Pop3Session& s) {
  return handleStat(s, "STAT\r\n", nullptr) == SessionFlow::Continue;
}

// Passes a log-in command on and its reply back; a log-in the server accepts
// learns the mailbox.
SessionFlow relayLogin(Pop3Session& s, std::string_view line) {
  std::optional<std::string> reply = exchange(s, line, -1);
  if (relayReply(s, reply) == SessionFlow::End) {
    return SessionFlow::End;
  }
  if (beginsWithOk(*reply)) {
    s.loggedIn = true;
    if (!learnMailbox(s)) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
  }
  return SessionFlow::Continue;
}

SessionFlow handleUser(Pop3Session& s, std::string_view line) {
  if (!isGeneric(s)) {
    s.userName = userNameOf(line);
    setRowText(s.row, kColumnUser, s.userName);
    setSessionUserName(s.record, s.userName);
    logSessionText(s.record.log, LogLevel::Minimal, kTextLogPop3User, {s.userName});
    return relayCommand(s, line);
  }
  std::optional<GenericUserLine> split = splitGenericUserLine(line);
  if (!split) {
    showMessage(languageText(kTextErrorTitle),
                formatText(languageText(kTextPop3UserNeedsServer), {"POP3"}), NoticeIcon::Stop);
    if (!s.client.sendString(
            "-ERR Username does not include name of incoming POP3 mailserver\r\n")) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    return SessionFlow::Continue;
  }
  if (!upstreamConnected(s) && !connectPop3Server(s, split->serverSpecification)) {
    return SessionFlow::End;
  }
  s.userName = userNameOf(split->serverLine);
  setRowText(s.row, kColumnUser, s.userName);
  setSessionUserName(s.record, s.userName);
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogPop3User, {s.userName});
  if (s.portConfig.pop3.attemptApop && !s.passDone) {
    // The user name waits for the password: with it, APOP can be tried first. After
    // a first log-in attempt the user name goes to the server at once, as the next
    // PASS is passed on as it is.
    if (!s.client.sendString(
            "+OK Connection established; will send username after password received.\r\n")) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    return SessionFlow::Continue;
  }
  return relayReply(s, exchange(s, split->serverLine, kLoginTimeoutSec));
}

// The password of a PASS line: after the command word and the spaces around it, up
// to the first control byte; spaces inside it are kept.
std::string passwordOf(std::string_view line) {
  std::string password = userNameOf(line);
  while (!password.empty() && password.back() == ' ') {
    password.pop_back();
  }
  return password;
}

// The USER/PASS log-in towards the server; `heldBackUser` when the USER command
// still has to be sent (the APOP attempt held it back). False on a failure.
bool plainLogin(Pop3Session& s, std::string_view passLine, bool heldBackUser, bool& noAnswer) {
  showStatus(s, kTextStatusLoggingIn);
  noAnswer = false;
  if (heldBackUser) {
    std::optional<std::string> reply =
        exchange(s, formatText("USER %s\r\n", {s.userName}), kLoginTimeoutSec);
    if (!reply) {
      noAnswer = true;
      return false;
    }
    if (!beginsWithOk(*reply)) {
      // The refusal is the one reply the client's PASS gets.
      return s.client.sendString(*reply);
    }
  }
  std::optional<std::string> reply = exchange(s, passLine, kLoginTimeoutSec);
  if (!reply) {
    noAnswer = true;
    return false;
  }
  if (beginsWithOk(*reply)) {
    s.loggedIn = true;
  }
  return s.client.sendString(*reply);
}

SessionFlow handlePass(Pop3Session& s, std::string_view line) {
  if (!isGeneric(s) || s.passDone) {
    return relayLogin(s, line);
  }

  bool ok = true;
  bool apopDone = false;
  if (s.portConfig.pop3.attemptApop) {
    showStatus(s, kTextStatusApop);
    if (std::optional<std::string> digest = apopDigest(s.greeting, passwordOf(line))) {
      std::optional<std::string> reply =
          exchange(s, formatText("APOP %s %s\r\n", {s.userName, *digest}), -1);
      if (reply && beginsWithOk(*reply)) {
        s.loggedIn = true;
        apopDone = true;
        ok = s.client.sendString(*reply);
      }
    }
  }
  if (!apopDone) {
    for (int round = 1; round <= 2; ++round) {
      bool noAnswer = false;
      ok = plainLogin(s, line, s.portConfig.pop3.attemptApop, noAnswer);
      if (ok || !noAnswer || !s.portConfig.pop3.attemptApop || round == 2) {
        break;
      }
      // Some servers hang up after a failed APOP; a fresh connection takes USER/PASS.
      setRowText(s.row, kColumnStatus,
                 "Naughty POP3 server disconnected after APOP; reconnecting...");
      dropUpstream(s);
      if (!connectPop3Server(s, s.serverSpecification)) {
        return SessionFlow::End;
      }
    }
  }
  s.passDone = true;
  if (ok && s.loggedIn) {
    ok = learnMailbox(s);
  }
  clearStatus(s);
  if (!ok) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

SessionFlow handleApop(Pop3Session& s, std::string_view line) {
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogPop3Command, {"APOP"});
  if (!upstreamConnected(s)) {
    if (!s.client.sendString("-ERR Kestrelmail must be reconfigured to use APOP\r\n")) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    return SessionFlow::Continue;
  }
  std::string user = userNameOf(line);
  s.userName = user.substr(0, user.find(' '));
  setRowText(s.row, kColumnUser, s.userName);
  setSessionUserName(s.record, s.userName);
  return relayLogin(s, line);
}

bool isDotLine(std::string_view line) {
  return line.size() >= 2 && line[0] == '.' && static_cast<unsigned char>(line[1]) < 32;
}

SessionFlow handleAuth(Pop3Session& s, std::string_view line) {
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogPop3Command, {"AUTH/SASL"});
  if (!upstreamConnected(s)) {
    if (!s.client.sendString("-ERR Kestrelmail needs to be reconfigured to use Secure Password "
                             "Authentication/SASL\r\n")) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    return SessionFlow::Continue;
  }
  if (!startsWithIgnoreCase(line, "AUTH ")) {
    // The mechanism list.
    std::optional<std::string> reply = exchange(s, line, -1);
    if (!reply || !s.client.sendString(*reply)) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    if (!beginsWithOk(*reply)) {
      return SessionFlow::Continue;
    }
    do {
      reply = s.upstream.readLine(-1);
      if (!reply || !s.client.sendString(*reply)) {
        reportRelayFailure(s);
        return SessionFlow::End;
      }
    } while (!isDotLine(*reply));
    return SessionFlow::Continue;
  }

  s.userName = "secure";
  setRowText(s.row, kColumnUser, s.userName);
  setSessionUserName(s.record, s.userName);
  if (!s.upstream.sendString(line)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  bool ended = false;
  while (!ended && !stopRequested()) {
    // Both sides at once: the exchange goes whichever way the next line comes.
    if (waitForEither(s.client, s.upstream, s.client.idleLimit()) == kReadTimeout) {
      return SessionFlow::End; // neither side said anything for the client's idle limit
    }
    while (!ended && s.upstream.pollInput()) {
      std::optional<std::string> reply = s.upstream.readLine(-1);
      if (!reply || !s.client.sendString(*reply)) {
        reportRelayFailure(s);
        return SessionFlow::End;
      }
      if (beginsWithOk(*reply)) {
        s.loggedIn = true;
        ended = true;
        if (!learnMailbox(s)) {
          reportRelayFailure(s);
          return SessionFlow::End;
        }
      } else if (startsWithIgnoreCase(*reply, "-ERR")) {
        ended = true;
      }
    }
    while (!ended && s.client.pollInput()) {
      std::optional<std::string> answer = s.client.readLine(-1);
      if (!answer || !s.upstream.sendString(*answer)) {
        reportRelayFailure(s);
        return SessionFlow::End;
      }
    }
  }
  return stopRequested() ? SessionFlow::End : SessionFlow::Continue;
}

SessionFlow handleQuit(Pop3Session& s, std::string_view line) {
  if (!upstreamConnected(s)) {
    s.client.sendString("+OK Logged off without ever really logging in.\r\n");
    return SessionFlow::End;
  }
  relayCommand(s, line);
  return SessionFlow::End;
}

// Warnings for a generic port whose client never logged in, because it asked for
// APOP or secure authentication before the server was known.
void showLoginWarnings(Pop3Session& s) {
  if (!isGeneric(s) || s.loggedIn) {
    return;
  }
  auto warn = [&](bool used, bool Config::*setting, std::atomic<bool>& shown, int textId) {
    if (!used || !((*s.config).*setting) || shown.exchange(true)) {
      return;
    }
    Notice notice;
    notice.title = languageText(kTextNoticeTitle);
    notice.text = languageText(textId);
    notice.icon = NoticeIcon::Information;
    notice.checkBoxText = languageText(kTextDoNotShowAgain);
    if (notifyForReply(notice).checked) {
      updateConfig([setting](Config& changed) { changed.*setting = false; });
    }
    shown = false;
  };
  warn(s.authUsed, &Config::alwaysShowSaslWarning, saslWarningShown, kTextPop3SaslWarning);
  warn(s.apopUsed, &Config::alwaysShowApopWarning, apopWarningShown, kTextPop3ApopWarning);
}

// A deleted message is gone for this session: a copy of it kept from an earlier
// TOP must not answer for it.
SessionFlow handleDele(Pop3Session& s, std::string_view line) {
  std::optional<std::string> reply = exchange(s, line, -1);
  if (relayReply(s, reply) == SessionFlow::End) {
    return SessionFlow::End;
  }
  int64_t n = readLong(line.substr(4));
  if (beginsWithOk(*reply) && n >= 1 && n <= messageCount(s)) {
    s.entries[static_cast<size_t>(n - 1)]->cachedMessage.reset();
  }
  return SessionFlow::Continue;
}

// Runs one client command.
SessionFlow dispatch(Pop3Session& s, std::string_view line) {
  std::string_view command = line.substr(0, 4);
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(command, name);
  };
  if (!upstreamConnected(s) && !is("USER") && !is("APOP") && !is("AUTH") && !is("QUIT") &&
      !stopRequested()) {
    if (!s.client.sendString("-ERR Cannot accept command; mailserver not yet specified.\r\n")) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    return SessionFlow::Continue;
  }
  if (is("USER"))
    return handleUser(s, line);
  if (is("PASS"))
    return handlePass(s, line);
  if (is("QUIT"))
    return handleQuit(s, line);
  if (is("APOP")) {
    s.apopUsed = true;
    return handleApop(s, line);
  }
  if (is("AUTH")) {
    s.authUsed = true;
    return handleAuth(s, line);
  }
  if (is("STAT"))
    return handleStat(s, line, &s.client);
  if (is("LIST"))
    return handleList(s, line, &s.client);
  if (is("RETR"))
    return handleRetrieve(s, line, false);
  if (is("DELE"))
    return handleDele(s, line);
  if (is("NOOP") || is("LAST") || is("RSET"))
    return relayCommand(s, line);
  if (equalsIgnoreCase(line.substr(0, 3), "TOP"))
    return handleRetrieve(s, line, true);
  if (is("RPOP"))
    return relayCommand(s, line);
  if (is("UIDL"))
    return handleUidl(s, line);
  // Everything else (CAPA, STLS, ...) stays between the client and the proxy.
  if (s.upstream.state() != SocketState::Error &&
      !s.client.sendString("-ERR Command Not Recognised\r\n")) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

void runCommandLoop(Pop3Session& s) {
  while (!s.quit && !stopRequested()) {
    std::optional<std::string> line = s.client.readLine(-1);
    if (line && !line->empty()) {
      setRowText(s.row, kColumnCommand, commandColumnText(*line));
    }
    if (!line) {
      if (s.client.state() == SocketState::Error && isReportableSocketError(s.client.lastError())) {
        reportSocketErrorOnceThenCount(s.client.lastError(),
                                       languageText(kTextPop3ClientReadErrorTitle), &s.record.log);
      }
      break;
    }
    s.quit = dispatch(s, *line) == SessionFlow::End;
    setRowText(s.row, kColumnCommand, "");
  }
}

} // namespace

SessionFlow relayCommand(Pop3Session& s, std::string_view line) {
  return relayReply(s, exchange(s, line, -1));
}

SessionFlow handleStat(Pop3Session& s, std::string_view line, LineSocket* client) {
  std::optional<std::string> reply = exchange(s, line, -1);
  if (!reply) {
    return SessionFlow::End;
  }
  if (!beginsWithOk(*reply)) {
    return endUnless(sendToClient(client, *reply));
  }
  int64_t count = 0;
  int64_t total = 0;
  readTwoNumbers(*reply, count, total);
  resizeMailbox(s, count);
  bool unknownSize = std::any_of(s.entries.begin(), s.entries.end(),
                                 [](const auto& entry) { return entry->size == 0; });
  if (unknownSize && handleList(s, "LIST\r\n", nullptr) == SessionFlow::End) {
    return SessionFlow::End;
  }
  for (const auto& entry : s.entries) {
    total += MaxBytesToAdd(*s.config, entry->size);
  }
  return endUnless(sendToClient(client, formatText("+OK %d %d\r\n", {count, total})));
}

SessionFlow handleList(Pop3Session& s, std::string_view line, LineSocket* client) {
  std::optional<std::string> reply = exchange(s, line, -1);
  if (!reply) {
    return SessionFlow::End;
  }
  auto record = [&](int64_t number, int64_t size) {
    if (number >= 1 && number <= messageCount(s)) {
      s.entries[static_cast<size_t>(number - 1)]->size = size;
    }
  };
  if (line.size() > 7) {
    // One message: "+OK n size".
    if (!beginsWithOk(*reply)) {
      return endUnless(sendToClient(client, *reply));
    }
    size_t sizeAt = reply->find(' ', 4);
    if (sizeAt == std::string::npos) {
      return endUnless(sendToClient(client, *reply)); // not the form the size can be read from
    }
    int64_t size = readLong(std::string_view(*reply).substr(sizeAt + 1));
    record(readLong(line.substr(5)), size);
    return endUnless(sendToClient(client, reply->substr(0, sizeAt + 1) +
                                              std::to_string(announcedSize(s, size)) + "\r\n"));
  }
  if (!sendToClient(client, *reply)) {
    return SessionFlow::End;
  }
  if (!beginsWithOk(*reply)) {
    return SessionFlow::Continue;
  }
  for (;;) {
    std::optional<std::string> entry = s.upstream.readLine(-1);
    if (!entry) {
      return SessionFlow::End;
    }
    if (!entry->empty() && (*entry)[0] == '.') {
      return endUnless(sendToClient(client, *entry) || !flushClient(client));
    }
    size_t blank = entry->find(' ');
    if (blank == std::string::npos) {
      if (!writeToClient(client, *entry)) {
        return SessionFlow::End;
      }
      continue;
    }
    int64_t number = readLong(*entry);
    int64_t size = readLong(std::string_view(*entry).substr(blank + 1));
    // A full listing names every message there is: the mailbox is at least as
    // large as its highest number.
    if (number > messageCount(s)) {
      resizeMailbox(s, number);
    }
    record(number, size);
    if (!writeToClient(client, formatText("%d %d\r\n", {number, announcedSize(s, size)}))) {
      return SessionFlow::End;
    }
  }
}

namespace {

// The session from the client's arrival to the end of its record, while it counts
// as at work.
void serveClient(Pop3Session& s, std::unique_ptr<SessionStart> start) {
  SessionOpening opening = openSession(std::move(start), "POP3", s.client);
  s.row = opening.row;
  s.config = std::move(opening.config);
  s.portConfig = std::move(opening.port);
  s.clientAddress = opening.clientAddress;
  s.client.setLineLimit(kLongestClientLine);
  bool started = false;
  if (s.config) {
    CreateSessionRecord(s.record, s.config, s.portConfig, s.clientAddress);
    bool connected = isGeneric(s) || connectPop3Server(s, s.portConfig.serverName);
    if (connected) {
      std::string_view greeting =
          isGeneric(s) ? "+OK POP3 (Kestrelmail) server ready (USER command must include "
                         "mailserver name)\r\n"
                       : std::string_view(s.greeting);
      if (!s.client.sendString(greeting)) {
        if (s.client.state() == SocketState::Error &&
            isReportableSocketError(s.client.lastError())) {
          reportSocketError(s.client.lastError(), languageText(kTextPop3ClientErrorTitle),
                            &s.record.log);
        }
      } else {
        SessionStarted(s.record);
        started = true;
        runCommandLoop(s);
        showStatus(s, kTextStatusDisconnecting);
        if (stopRequested()) {
          s.client.sendString("-ERR Kestrelmail exited.\r\n");
        }
      }
    }
  }

  // The end, undoing what the start did.
  endPrefetching(s);
  if (upstreamConnected(s)) {
    dropUpstream(s);
  }
  forgetSessionSocket(s.client.handle());
  s.client.close();
  if (s.config) {
    if (started) {
      SessionEnded(s.record);
    }
    showLoginWarnings(s);
    cacheSave();
    SaveAutoWhitelistState();
    s.entries.clear();
    FinishSessionRecord(s.record);
  }
}

} // namespace

void runPop3Session(std::unique_ptr<SessionStart> start) {
  Pop3Session s;
  SessionThreadScope thread("POP3", s.client);
  {
    SessionActivity busy;
    serveClient(s, std::move(start));
  }
  closeSessionRow(s.row, languageText(kTextStatusDisconnected));
  if (s.config) {
    Housekeeping();
  }
  s.config.reset();
  // Trimmed once the program is idle: sessions ending together must not all
  // walk the heap at once.
  requestMemoryTrim();
}

} // namespace km
