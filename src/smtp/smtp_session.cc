// The SMTP session thread: the connection to the real server (with TLS when the
// port asks for it), the greeting, the command loop with its dispatch, EHLO with
// its extension filter, and the reversal of roles after TURN or ATRN.
#include <chrono>

#include "config/config.h"
#include "config/lists.h"
#include "diag/activity_log.h"
#include "diag/repeated_notices.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl_cache.h"
#include "filter/pipeline.h"
#include "filter/session_record.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "net/sessions.h"
#include "net/socket_errors.h"
#include "net/upstream_tls.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/memory.h"
#include "platform/notifier.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"

namespace km {

namespace {

constexpr int kClientCommandWaitSec = 3600;
constexpr int kGreetingWaitSec = 300;
constexpr int kTlsStartTimeoutMs = 60000;
// SMTP command lines are at most 512 bytes; SASL answers during AUTH run to a few
// kilobytes. Anything longer comes from a broken or hostile client.
constexpr size_t kLongestClientLine = 16 * 1024;
// No server needs a megabyte for one reply; one that sends more is broken and
// must not fill the memory.
constexpr size_t kLongestReply = 1024 * 1024;

void clearStatus(SmtpSession& s) {
  showStatus(s, "");
}

// The port's connection notices are switched off for good when the user ticks
// "do not show again": in the next snapshot and in config.dat; the snapshot in use
// stays as it is.
void muteConnectionNotices(uint32_t portId) {
  updateConfig([portId](Config& changed) {
    for (PortConfig& port : changed.ports) {
      if (port.id == portId) {
        port.smtp.muteConnectionErrors = true;
      }
    }
  });
}

// Shows the notice about a server that cannot be reached, unless the port's
// notices are muted or the error only means a connection ended.
void noticeUnreachable(SmtpSession& s, int textId, const std::string& host, int error) {
  if (s.portConfig.smtp.muteConnectionErrors || !isReportableSocketError(error)) {
    return;
  }
  std::string title = languageText(kTextErrorTitle);
  std::string text = formatText(languageText(textId), {host, error});
  // Many sessions failing the same way (a server down, a client retrying in a
  // loop) are told once, then counted.
  if (!giveOnceThenCount(
          "smtp-unreachable:" + std::to_string(s.portConfig.id) + ":" + text,
          [title, text](int64_t repeats) {
            showMessage(title, formatText(languageText(kTextRepeatedNotice), {repeats, text}),
                        NoticeIcon::Exclamation);
          })) {
    return;
  }
  Notice notice;
  notice.title = title;
  notice.text = text;
  notice.icon = NoticeIcon::Exclamation;
  notice.checkBoxText = languageText(kTextDoNotShowAgain);
  if (notifyForReply(notice).checked) {
    muteConnectionNotices(s.portConfig.id);
  }
}

void dropServer(SmtpSession& s) {
  s.server->close();
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

// What the proxy calls itself in the EHLO of its own STARTTLS exchange.
std::string ownEhloName() {
  std::string name = ownHostName();
  return name.empty() ? "localhost" : name;
}

// A secure connection that could not be made: the client hears why, not only an
// error number.
void refuseInsecure(SmtpSession& s, const SmtpServer& server, const std::string& failure) {
  logSessionText(s.record.log, LogLevel::Minimal, kTextSmtpTlsFailed, {server.host, failure});
  if (!s.portConfig.smtp.muteConnectionErrors) {
    showMessage(languageText(kTextErrorTitle),
                formatText(languageText(kTextSmtpTlsFailed), {server.host, failure}),
                NoticeIcon::Exclamation);
  }
  dropServer(s);
  clearStatus(s);
  s.client->sendString(formatText("421 4.4.1 Unable to connect to SMTP server (error %d): %s\r\n",
                                  {wsa::kConnectionAborted, failure}));
}

// STARTTLS with the server before the client says anything, so that its AUTH
// never crosses the network in the clear. The reason of a failure goes to
// `failure`.
bool startTlsWithServer(SmtpSession& s, std::string& failure) {
  auto refused = [&](const std::optional<std::string>& reply) {
    failure = reply ? std::string(reply->substr(0, reply->find_first_of("\r\n")))
                    : socketErrorText(s.server->lastError());
    return false;
  };
  if (!s.server->sendString("EHLO " + ownEhloName() + "\r\n")) {
    return refused(std::nullopt);
  }
  std::optional<std::string> reply = readReply(*s.server);
  if (!reply || !reply->starts_with("250")) {
    return refused(reply);
  }
  if (!s.server->sendString("STARTTLS\r\n")) {
    return refused(std::nullopt);
  }
  reply = readReply(*s.server);
  if (!reply || !reply->starts_with("220")) {
    return refused(reply);
  }
  return true;
}

bool startServerTls(SmtpSession& s, const SmtpServer& server, std::string& failure) {
  return s.server->startTls(tlsOptionsFor(*s.config, s.portConfig, server.host), kTlsStartTimeoutMs,
                            failure);
}

} // namespace

void showStatus(SmtpSession& s, std::string_view text) {
  setRowText(s.row, kColumnStatus, text);
}

std::optional<std::string> readReply(LineSocket& server, int timeoutSec) {
  std::optional<std::string> reply;
  for (;;) {
    std::optional<std::string> line = server.readLine(timeoutSec);
    if (!line) {
      return reply;
    }
    if (!reply) {
      reply.emplace();
    }
    reply->append(*line);
    if (line->size() < 4 || (*line)[3] != '-') {
      return reply;
    }
    if (reply->size() > kLongestReply) {
      server.close();
      return std::nullopt;
    }
  }
}

void reportRelayFailure(SmtpSession& s) {
  if (s.server->failed() && isReportableSocketError(s.server->lastError())) {
    reportSocketError(s.server->lastError(), languageText(kTextSmtpServerErrorTitle),
                      &s.record.log);
  } else if (s.client->failed() && isReportableSocketError(s.client->lastError())) {
    reportSocketError(s.client->lastError(), languageText(kTextClientErrorTitle), &s.record.log);
  }
}

SessionFlow relayCommand(SmtpSession& s, std::string_view line, bool toClient) {
  std::optional<std::string> reply;
  bool ok = s.server->sendString(line) && (reply = readReply(*s.server)) &&
            (!toClient || s.client->sendString(*reply));
  if (!ok) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

SessionFlow replyToClient(SmtpSession& s, std::string_view reply) {
  if (!s.client->sendString(reply)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

void endTransaction(SmtpSession& s) {
  s.message.reset();
}

namespace {

// Resolves and connects to the port's server, reads its greeting and, when the
// port asks for it, secures the connection. False when the client has been
// answered (or the server said nothing) and the session cannot go on.
bool connectSmtpUpstream(SmtpSession& s) {
  const std::string& specification = s.portConfig.serverName;
  setRowText(s.row, kColumnServer, specification);
  showStatus(s, languageText(kTextStatusResolvingServer));
  setSessionServerName(s.record, specification);
  SmtpServer server = parseSmtpServer(specification);
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogServerConnect,
                 {server.host, server.port});

  int error = 0;
  showStatus(s, languageText(kTextStatusConnectingServer));
  UniqueSocket sock = connectToServer(server, error);
  if (!sock.valid()) {
    clearStatus(s);
    if (error == wsa::kTooManyFiles || error == wsa::kNoBufferSpace) {
      // No socket could be had at all.
      reportSocketError(error, languageText(kTextSocketForServerFailedTitle), &s.record.log);
      s.client->sendString("421 4.4.1 Windows networking error\r\n");
      return false;
    }
    logSocketError(error, languageText(kTextErrorTitle), &s.record.log);
    if (isResolverError(error)) {
      noticeUnreachable(s, kTextServerNotFound, server.host, error);
      s.client->sendString("421 4.4.1 Unable to resolve server name\r\n");
    } else {
      noticeUnreachable(s, kTextServerUnreachable, server.host, error);
      s.client->sendString(
          formatText("421 4.4.1 Unable to connect to SMTP server (error %d)\r\n", {error}));
    }
    return false;
  }
  if (connectsToItself(sock.get())) {
    sock.reset();
    clearStatus(s);
    logSessionText(s.record.log, LogLevel::Minimal, kTextSmtpServerIsProxy, {specification});
    showMessage(languageText(kTextErrorTitle),
                formatText(languageText(kTextSmtpServerIsProxy), {specification}),
                NoticeIcon::Stop);
    s.client->sendString("421 4.4.1 The SMTP server of this port is this Kestrelmail itself\r\n");
    return false;
  }

  showStatus(s, languageText(kTextStatusServerConnected));
  s.server->attach(sock.release());
  s.server->setBareLineFeedEndsLine(true);
  pairSession(*s.client, *s.server);
  setRowSockets(s.row, s.client, s.server);

  UpstreamSecurity security = upstreamSecurity(s.portConfig.upstreamTls, server.port);
  std::string failure;
  if (security == UpstreamSecurity::Implicit && !startServerTls(s, server, failure)) {
    refuseInsecure(s, server, failure);
    return false;
  }
  std::optional<std::string> greeting = readReply(*s.server, kGreetingWaitSec);
  clearStatus(s);
  if (!greeting) {
    if (s.server->failed() && isReportableSocketError(s.server->lastError())) {
      reportSocketError(s.server->lastError(), languageText(kTextErrorTitle), &s.record.log);
    }
    dropServer(s);
    return false;
  }
  if (security == UpstreamSecurity::StartTls && greeting->starts_with("220") &&
      !(startTlsWithServer(s, failure) && startServerTls(s, server, failure))) {
    refuseInsecure(s, server, failure);
    return false;
  }
  s.greeting = std::move(*greeting);
  return true;
}

// EHLO: the server's reply without the extensions the client must not see.
SessionFlow handleEhlo(SmtpSession& s, std::string_view line) {
  s.heloName = heloArgument(line);
  if (!s.server->sendString(line)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  bool first = true;
  bool lastDropped = false;
  size_t replyBytes = 0;
  for (;;) {
    std::optional<std::string> reply = s.server->readLine(-1);
    if (!reply) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    replyBytes += reply->size();
    if (reply->starts_with("250")) {
      s.serverIsEsmtp = true;
    }
    lastDropped = !ehloLinePasses(*reply, first);
    if (!lastDropped && !s.client->write(reply->data(), reply->size())) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    first = false;
    if (reply->size() < 4 || (*reply)[3] != '-') {
      break;
    }
    if (replyBytes > kLongestReply) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
  }
  if (lastDropped && !s.client->writeString("250 OK\r\n")) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  if (!s.client->flush()) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

// After TURN or ATRN the former client serves and the former server sends: the
// two connections change places, and the new serving side's greeting goes to the
// new sending side at once.
SessionFlow reverseRoles(SmtpSession& s) {
  int idleLimit = s.client->idleLimit();
  std::swap(s.client, s.server);
  s.client->setLineLimit(kLongestClientLine);
  s.client->setIdleLimit(idleLimit);
  s.server->setLineLimit(kLongestLine);
  s.server->setIdleLimit(-1);
  s.server->setBareLineFeedEndsLine(true);
  pairSession(*s.client, *s.server);
  std::optional<std::string> greeting = readReply(*s.server);
  if (!greeting || !s.client->sendString(*greeting)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return SessionFlow::Continue;
}

SessionFlow handleTurn(SmtpSession& s, std::string_view line) {
  std::optional<std::string> reply;
  if (!s.server->sendString(line) || !(reply = readReply(*s.server)) ||
      !s.client->sendString(*reply)) {
    reportRelayFailure(s);
    return SessionFlow::End;
  }
  return reply->starts_with("250") ? reverseRoles(s) : SessionFlow::Continue;
}

// ATRN: relayed as AUTH is, each "334" continued with one client line.
SessionFlow handleAtrn(SmtpSession& s, std::string_view line) {
  std::string toServer(line);
  for (;;) {
    std::optional<std::string> reply;
    if (!s.server->sendString(toServer) || !(reply = readReply(*s.server)) ||
        !s.client->sendString(*reply)) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    if (!reply->starts_with("334")) {
      return reply->starts_with("250") ? reverseRoles(s) : SessionFlow::Continue;
    }
    std::optional<std::string> answer = s.client->readLine(-1);
    if (!answer) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    toServer = std::move(*answer);
  }
}

SessionFlow handleRset(SmtpSession& s, std::string_view line) {
  endTransaction(s);
  return relayCommand(s, line);
}

// Runs one client command.
SessionFlow dispatch(SmtpSession& s, std::string_view line) {
  std::string_view command = line.substr(0, 4);
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(command, name);
  };
  if (is("MAIL"))
    return handleMailFrom(s, line);
  if (is("RCPT"))
    return handleRcptTo(s, line);
  if (is("DATA"))
    return handleData(s, line);
  if (is("HELO")) {
    s.heloName = heloArgument(line);
    return relayCommand(s, line);
  }
  if (is("EHLO"))
    return handleEhlo(s, line);
  if (is("QUIT")) {
    relayCommand(s, line);
    return SessionFlow::End;
  }
  if (is("VRFY") || is("EXPN") || is("HELP") || is("NOOP"))
    return relayCommand(s, line);
  if (is("TURN"))
    return handleTurn(s, line);
  if (is("ATRN"))
    return handleAtrn(s, line);
  if (is("RSET"))
    return handleRset(s, line);
  if (is("AUTH"))
    return handleAuth(s, line);
  return replyToClient(s, "500 5.7.1 Command unrecognised or unsupported\r\n");
}

void endOfClient(SmtpSession& s) {
  if (s.client->failed() && isReportableSocketError(s.client->lastError())) {
    reportSocketErrorOnceThenCount(s.client->lastError(), languageText(kTextClientReadErrorTitle),
                                   &s.record.log);
  }
}

} // namespace

void runSmtpCommands(SmtpSession& s) {
  while (!stopRequested()) {
    std::optional<std::string> line = s.client->readLine(kClientCommandWaitSec);
    if (!line) {
      endOfClient(s);
      return;
    }
    setRowText(s.row, kColumnCommand, smtpCommandColumnText(*line));
    SessionFlow flow = dispatch(s, *line);
    setRowText(s.row, kColumnCommand, "");
    if (flow == SessionFlow::End) {
      return;
    }
  }
}

namespace {

// The session from the client's arrival to the end of its record, while it counts
// as at work. True when the dialogue started (the client had the greeting).
bool serveClient(SmtpSession& s, std::unique_ptr<SessionStart> start) {
  SessionOpening opening = openSession(std::move(start), "SMTP", s.clientConnection);
  s.row = opening.row;
  s.config = std::move(opening.config);
  s.portConfig = std::move(opening.port);
  s.clientAddress = opening.clientAddress;
  s.clientConnection.setLineLimit(kLongestClientLine);
  bool started = false;
  if (s.config) {
    CreateSessionRecord(s.record, s.config, s.portConfig, s.clientAddress);
    s.clientIsLocal = netblocksContain(s.portConfig.smtp.localIpBlocks, s.clientAddress);
    if (connectSmtpUpstream(s)) {
      if (!s.client->sendString(s.greeting)) {
        if (s.client->failed() && isReportableSocketError(s.client->lastError())) {
          reportSocketError(s.client->lastError(), languageText(kTextClientErrorTitle),
                            &s.record.log);
        }
      } else {
        SessionStarted(s.record);
        started = true;
        runSmtpCommands(s);
        showStatus(s, languageText(kTextStatusClosing));
        if (stopRequested()) {
          s.client->sendString("421 4.3.0 Kestrelmail exited.\r\n");
        }
      }
    }
  }

  // The end, undoing what the start did. A message still open is dropped, and the
  // server, which never saw its end, discards what it received of it.
  endTransaction(s);
  s.serverConnection.close();
  forgetSessionSocket(s.clientConnection.handle());
  s.clientConnection.close();
  if (s.config) {
    if (started) {
      SessionEnded(s.record);
      cacheSave();
      SaveAutoWhitelistState();
    }
    FinishSessionRecord(s.record);
  }
  return started;
}

} // namespace

void runSmtpSession(std::unique_ptr<SessionStart> start) {
  SmtpSession s;
  SessionThreadScope thread("SMTP", s.clientConnection);
  bool started = false;
  {
    SessionActivity busy;
    started = serveClient(s, std::move(start));
  }
  closeSessionRow(s.row, languageText(kTextStatusClosed));
  if (started) {
    Housekeeping();
  }
  s.config.reset();
  // Trimmed once the program is idle: sessions ending together must not all walk
  // the heap at once.
  requestMemoryTrim();
}

} // namespace km
