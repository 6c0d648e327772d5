// The IMAP4 session thread: the connection to the real server, the log-in, and the
// relay of lines in both directions with the callbacks that let the mailbox
// filtering run between the client's commands.
#include <chrono>
#include <ctime>
#include <functional>

#include "config/config.h"
#include "diag/activity_log.h"
#include "diag/repeated_notices.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl_cache.h"
#include "filter/pipeline.h"
#include "filter/session_record.h"
#include "imap4/imap4.h"
#include "imap4/imap4_internal.h"
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
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr int kGreetingTimeoutSec = 300;
constexpr int kTlsStartTimeoutMs = 60000;
constexpr int64_t kConfigCheckSec = 11;
constexpr int kWaitSliceMs = 500;
// IMAP4 servers wait at least half an hour for a silent client (and clients that
// wait for news re-issue IDLE within that time), so a shorter CLIENT_IDLE_TIME_OUT
// is raised to it for IMAP4 clients.
constexpr int64_t kShortestImapIdleSec = 1800;
// A server's SEARCH answer for a large mailbox runs long; a line beyond this comes
// from a broken or hostile server.
constexpr size_t kLongestServerLine = 16 * 1024 * 1024;
constexpr uint32_t kClientLiteralTimeoutMs = 100;
constexpr uint32_t kServerLiteralTimeoutMs = 750;
constexpr uint32_t kLiteralRun = 1024 * 1024;
constexpr uint64_t kLiteralProgressFrom = 1024;
// What is relayed to the client collects up to this much before it is sent: a FETCH
// of many messages then costs a send per 64 KB rather than two per message.
constexpr size_t kClientOutputBuffer = 64 * 1024;

void showStatus(ImapSession& s, int textId) {
  setRowText(s.row, kColumnStatus, languageText(textId));
}
void clearStatus(ImapSession& s) {
  setRowText(s.row, kColumnStatus, "");
}

// The line up to its first control byte (below 32 or above 127).
std::string_view lineText(std::string_view line) {
  size_t end = 0;
  while (end < line.size() && static_cast<signed char>(line[end]) >= 32) {
    ++end;
  }
  return line.substr(0, end);
}

bool sendToClient(ImapSession& s, std::string_view text) {
  return s.client.sendString(text);
}

// Changes this session's port definition in the configuration (a new snapshot,
// saved), so that the choice outlives the session.
void changePortInConfiguration(uint32_t portId, const std::function<void(PortConfig&)>& change) {
  updateConfig([&](Config& changed) {
    for (PortConfig& port : changed.ports) {
      if (port.id == portId) {
        change(port);
      }
    }
  });
}

// Shows the notice about a server that cannot be reached, unless the port's
// notices are muted; "do not show again" mutes them in the configuration.
void noticeUnreachable(ImapSession& s, int textId, const std::string& host, int error) {
  if (s.port.imap4.muteConnectionErrors || !isReportableSocketError(error)) {
    return;
  }
  Notice notice;
  notice.title = languageText(kTextErrorTitle);
  notice.text = formatText(languageText(textId), {host, error}).substr(0, 512);
  std::string title = notice.title;
  std::string text = notice.text;
  if (!giveOnceThenCount(
          "imap4-unreachable:" + std::to_string(s.port.id) + ":" + text,
          [title, text](int64_t repeats) {
            showMessage(title, formatText(languageText(kTextRepeatedNotice), {repeats, text}),
                        NoticeIcon::Exclamation);
          })) {
    return;
  }
  notice.icon = NoticeIcon::Exclamation;
  notice.checkBoxText = languageText(kTextDoNotShowAgain);
  if (notifyForReply(notice).checked) {
    s.port.imap4.muteConnectionErrors = true;
    changePortInConfiguration(s.port.id,
                              [](PortConfig& port) { port.imap4.muteConnectionErrors = true; });
  }
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

// The client stays: on a generic port it may log in again, to another server, so
// it no longer waits on the partner that has gone.
void dropUpstream(ImapSession& s) {
  s.client.setPartner(nullptr);
  s.server.close();
}

// The STARTTLS exchange after the greeting: true when the server agreed.
bool askForTls(ImapSession& s, std::string& failure) {
  ImapLine command = newOwnCommand(s.ownTagCounter);
  std::string tag(tokenText(command.tokens, 0));
  if (!s.server.sendString(tag + " STARTTLS\r\n")) {
    failure = socketErrorText(s.server.lastError());
    return false;
  }
  for (;;) {
    std::optional<std::string> line = s.server.readLine(kGreetingTimeoutSec);
    if (!line) {
      failure = socketErrorText(s.server.lastError());
      return false;
    }
    if (firstWord(*line) == tag) {
      if (equalsIgnoreCase(secondWord(*line), "OK")) {
        return true;
      }
      failure = std::string(lineText(*line));
      return false;
    }
  }
}

// Makes the server connection secure as the port asks: at once, or after STARTTLS.
bool secureUpstream(ImapSession& s, const Imap4Server& server, UpstreamSecurity security) {
  std::string failure;
  bool secured =
      (security != UpstreamSecurity::StartTls || askForTls(s, failure)) &&
      s.server.startTls(tlsOptionsFor(*s.config, s.port, server.host), kTlsStartTimeoutMs, failure);
  if (!secured) {
    logSessionText(s.record.log, LogLevel::Minimal, kTextImap4TlsFailed, {server.host, failure});
    if (!s.port.imap4.muteConnectionErrors) {
      showMessage(languageText(kTextImap4ServerErrorTitle),
                  formatText(languageText(kTextImap4TlsFailed), {server.host, failure}),
                  NoticeIcon::Exclamation);
    }
  }
  return secured;
}

// Connects to the server and reads its greeting, which is pushed back so that the
// relay hands it to the client like any server line. The client has been answered
// (with `tag`) when this fails.
bool connectUpstream(ImapSession& s, const std::string& serverName, std::string_view tag) {
  std::string tagText(tag);
  auto refuse = [&](std::string_view reply) {
    sendToClient(s, tagText + std::string(reply));
    clearStatus(s);
    return false;
  };
  setRowText(s.row, kColumnServer, serverName);
  showStatus(s, kTextStatusResolving);
  Imap4Server server = parseImap4Server(serverName);
  logSessionText(s.record.log, LogLevel::Minimal, kTextLogImap4Server, {server.host, server.port});

  int error = 0;
  showStatus(s, kTextStatusConnecting);
  UniqueSocket sock = connectToServer(server, error);
  if (!sock.valid()) {
    logSocketError(error, languageText(kTextImap4ServerErrorTitle), &s.record.log);
    clearStatus(s);
    bool unresolved = isResolverError(error);
    noticeUnreachable(s, unresolved ? kTextImap4CannotResolve : kTextImap4CannotConnect,
                      server.host, error);
    return refuse(unresolved ? " NO Unable to resolve server name\r\n"
                             : " NO Unable to connect to IMAP4 server\r\n");
  }
  if (connectsToItself(sock.get())) {
    sock.reset();
    logSessionText(s.record.log, LogLevel::Minimal, kTextPop3ServerIsProxy, {serverName});
    showMessage(languageText(kTextImap4ServerErrorTitle),
                formatText(languageText(kTextPop3ServerIsProxy), {serverName}), NoticeIcon::Stop);
    return refuse(" NO Unable to connect to IMAP4 server\r\n");
  }

  s.server.attach(sock.release());
  s.server.setBareLineFeedEndsLine(true);
  s.server.setLineLimit(kLongestServerLine);
  pairSession(s.client, s.server);
  setRowSockets(s.row, &s.client, &s.server);
  clearStatus(s);
  setSessionServerName(s.record, serverName);
  s.account.serverName = serverName;

  UpstreamSecurity security = upstreamSecurity(s.port.upstreamTls, server.port);
  if (security == UpstreamSecurity::Implicit && !secureUpstream(s, server, security)) {
    dropUpstream(s);
    return refuse(" NO Unable to connect to IMAP4 server\r\n");
  }
  std::optional<std::string> greeting = s.server.readLine(kGreetingTimeoutSec);
  if (!greeting) {
    if (s.server.failed() && isReportableSocketError(s.server.lastError())) {
      reportSocketError(s.server.lastError(), languageText(kTextImap4ServerErrorTitle),
                        &s.record.log);
    }
    dropUpstream(s);
    return refuse(" NO Unable to connect to IMAP4 server\r\n");
  }
  ImapLine parsed = parseImapLine(LineKind::Response, *greeting, &s.server, &s.status);
  std::string text = imapLineText(parsed);
  if (security == UpstreamSecurity::StartTls && !secureUpstream(s, server, security)) {
    dropUpstream(s);
    return refuse(" NO Unable to connect to IMAP4 server\r\n");
  }
  s.server.unread(text.data(), text.size());
  return true;
}

void setUser(ImapSession& s, std::string_view user) {
  s.account.userName = std::string(user);
  setSessionUserName(s.record, user);
}

// LOGIN, connected or not; on a generic port the user name names the server.
SessionFlow handleLogin(ImapSession& s, std::string_view text) {
  ImapLine line = parseImapLine(LineKind::Command, text, &s.client, &s.status);
  if (!line.complete) {
    return SessionFlow::End;
  }
  ImapTokens& tokens = line.tokens;
  std::string tag(tokenText(tokens, 0));
  bool hasUser = tokens.size() > 2 && tokens[2].type != TokenType::List &&
                 tokens[2].type != TokenType::Message;
  if (!hasUser) {
    sendToClient(s, tag + " BAD Malformed LOGIN command\r\n");
    return SessionFlow::Continue;
  }
  if (!isGenericPort(s)) {
    setUser(s, tokenText(tokens, 2));
    writeImapLine(line, s.server, &s.status);
  } else if (tokens.size() >= 4) {
    std::optional<GenericLogin> login = splitGenericLogin(tokenText(tokens, 2));
    if (!login) {
      showMessage(languageText(kTextErrorTitle),
                  formatText(languageText(kTextPop3UserNeedsServer), {"IMAP4"}), NoticeIcon::Stop);
      sendToClient(s, tag + " NO Username not in correct format for Kestrelmail.\r\n");
      return SessionFlow::Continue;
    }
    if (!isConnected(s) && !connectUpstream(s, login->server, tag)) {
      return SessionFlow::Continue;
    }
    tokens[2] = ImapToken{};
    removeToken(tokens, 2);
    insertToken(tokens, 2, TokenType::String, login->user);
    writeImapLine(line, s.server, &s.status);
    setUser(s, login->user);
  } else {
    sendToClient(s, tag + " BAD Malformed LOGIN command\r\n");
    return SessionFlow::Continue;
  }
  setRowText(s.row, kColumnUser, s.account.userName);
  if (isConnected(s)) {
    logSessionText(s.record.log, LogLevel::Minimal, kTextLogImap4User, {s.account.userName});
  }
  return SessionFlow::Continue;
}

std::string callbackLine(ImapSession& s, std::string_view kind) {
  return "KRTLCB_" + std::string(kind) + std::to_string(s.ownTagCounter++) + " NOOP\r\n";
}

void sendCallback(ImapSession& s, std::string_view kind) {
  s.server.writeString(callbackLine(s, kind));
  s.awaitingCallback = true;
}

// The client's command has arrived whole: new mail seen meanwhile can be filtered.
void closeClientCommand(ImapSession& s) {
  s.clientCommandOpen = false;
  s.idleTag.clear();
  if (s.newMailWaiting && !s.awaitingCallback && s.currentMailbox != nullptr) {
    s.newMailWaiting = false;
    sendCallback(s, "SELECT");
    s.server.flush();
  }
}

// The number after the last "{" of a line that ends in a literal announcement, or
// nothing.
std::optional<uint64_t> announcedLiteral(std::string_view line) {
  if (line.size() <= 3 || line[line.size() - 3] != '}') {
    return std::nullopt;
  }
  size_t open = line.rfind('{');
  if (open == std::string_view::npos) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(std::max<int64_t>(readLong(line.substr(open + 1)), 0));
}

// A client line passed on as it came; a literal it announces waits for the
// server's "+".
void relayRaw(ImapSession& s, const std::string& text, const ImapLine& line) {
  s.server.write(text.data(), text.size());
  if (std::optional<uint64_t> literal = announcedLiteral(text)) {
    s.pendingLiteral = *literal;
    s.awaitingCallback = true;
    s.clientCommandOpen = true;
    if (s.literalTag.empty()) {
      s.literalTag = std::string(tokenText(line.tokens, 0));
    }
    return;
  }
  bool idleEnds = !s.idleTag.empty() && equalsIgnoreCase(lineText(text), "DONE");
  if (!s.clientCommandOpen && tokenIs(line.tokens, 1, "IDLE")) {
    s.idleTag = std::string(tokenText(line.tokens, 0));
    s.clientCommandOpen = true;
  } else if (s.idleTag.empty() || idleEnds) {
    s.literalTag.clear();
    closeClientCommand(s);
  }
}

SessionFlow answerUnconnected(ImapSession& s, const std::string& text, const ImapLine& line) {
  const ImapTokens& tokens = line.tokens;
  if (tokens.empty()) {
    sendToClient(s, " BAD Atom not found.\r\n");
    return SessionFlow::Continue;
  }
  std::string tag(tokenText(tokens, 0));
  if (tokenIs(tokens, 1, "CAPABILITY")) {
    sendToClient(s, "* CAPABILITY IMAP4rev1\r\n" + tag + " OK CAPABILITY completed\r\n");
  } else if (tokenIs(tokens, 1, "NOOP")) {
    sendToClient(s, tag + " OK NOOP completed\r\n");
  } else if (tokenIs(tokens, 1, "LOGOUT")) {
    sendToClient(s, "* BYE Kestrelmail IMAP4 logging out\r\n" + tag + " OK LOGOUT completed.\r\n");
    return SessionFlow::End;
  } else if (tokenIs(tokens, 1, "AUTHENTICATE")) {
    sendToClient(s, tag + " NO Authentication mechanism not supported\r\n");
  } else if (tokenIs(tokens, 1, "LOGIN")) {
    return handleLogin(s, text);
  } else {
    sendToClient(s, tag + " BAD Command unusable when not connected to server.\r\n");
  }
  return SessionFlow::Continue;
}

// What the command column shows: never the credentials of a log-in.
std::string commandColumnText(const ImapLine& line, std::string_view text) {
  if (tokenIs(line.tokens, 1, "LOGIN") || tokenIs(line.tokens, 1, "AUTHENTICATE")) {
    return std::string(tokenText(line.tokens, 0)) + " " + std::string(tokenText(line.tokens, 1));
  }
  return std::string(lineText(text));
}

SessionFlow handleClientLine(ImapSession& s) {
  std::optional<std::string> text = s.client.readLine(-1);
  if (!text) {
    if (s.client.failed() && isReportableSocketError(s.client.lastError())) {
      reportSocketErrorOnceThenCount(s.client.lastError(),
                                     languageText(kTextImap4ClientReadErrorTitle), &s.record.log);
    }
    return SessionFlow::End;
  }
  ImapLine line = parseImapLine(LineKind::Command, *text, nullptr, nullptr);
  if (!s.clientCommandOpen) {
    setRowText(s.row, kColumnCommand, commandColumnText(line, *text));
  }
  if (!isConnected(s)) {
    return answerUnconnected(s, *text, line);
  }
  const ImapTokens& tokens = line.tokens;
  bool command = !s.clientCommandOpen;
  if (command && !s.config->filteringDisabled) {
    if (tokenIs(tokens, 1, "SELECT") || tokenIs(tokens, 1, "EXAMINE")) {
      ImapLine select = parseImapLine(LineKind::Command, *text, &s.client, &s.status);
      if (!select.complete) {
        return SessionFlow::End;
      }
      if (select.tokens.size() < 3 || tokenText(select.tokens, 2).empty()) {
        writeImapLine(select, s.server, &s.status);
      } else {
        s.pendingSelect = std::move(select);
        sendCallback(s, "SELECT");
      }
      return SessionFlow::Continue;
    }
    bool uid = tokenIs(tokens, 1, "UID");
    if (tokenIs(tokens, uid ? 2 : 1, "FETCH")) {
      ImapLine fetch = parseImapLine(LineKind::Command, *text, &s.client, &s.status);
      if (!fetch.complete) {
        return SessionFlow::End;
      }
      s.pendingFetch = std::move(fetch);
      sendCallback(s, "FETCH");
      return SessionFlow::Continue;
    }
    if (tokenIs(tokens, uid ? 2 : 1, "SEARCH")) {
      return endUnless(rewriteSearch(*text, s.client, s.server, s.currentMailbox));
    }
  }
  if (command && tokenIs(tokens, 1, "LOGIN")) {
    return handleLogin(s, *text);
  }
  if (command && tokenIs(tokens, 1, "AUTHENTICATE")) {
    logSessionText(s.record.log, LogLevel::Minimal, kTextLogImap4Authenticate);
  }
  relayRaw(s, *text, line);
  return SessionFlow::Continue;
}

// Copies `count` bytes from one connection to the other as they come.
void copyLiteral(ImapSession& s, LineSocket& from, LineSocket& to, uint64_t count,
                 uint32_t timeoutMs, bool showProgress) {
  uint64_t copied = 0;
  bool alive = true;
  bool shown = false;
  while (copied < count && alive && !stopRequested()) {
    BlockReader reader(from, static_cast<uint32_t>(std::min<uint64_t>(count - copied, kLiteralRun)),
                       "", timeoutMs);
    alive = reader.read();
    std::string_view run = reader.run();
    if (!run.empty() && !to.write(run.data(), run.size())) {
      alive = false;
    }
    copied += run.size();
    // A literal that comes in one run is done before anybody could read its progress.
    if (showProgress && copied < count) {
      shown = true;
      setRowText(s.row, kColumnStatus,
                 formatText(languageText(kTextImap4LiteralRelayed), {copied / 1024, count / 1024}));
    }
  }
  if (shown) {
    clearStatus(s);
  }
}

// The callback of a client SELECT, or of new mail in the selected mailbox: the
// mailbox is filtered, then the SELECT goes to the server, so that the client hears
// the server's answer about the mailbox as it now is.
void selectCallback(ImapSession& s) {
  if (!s.pendingSelect) {
    MailboxState* mailbox = s.currentMailbox;
    if (mailbox == nullptr || !mailbox->selectCommand) {
      return;
    }
    ImapLine own = newOwnCommand(s.ownTagCounter);
    s.droppedTag = std::string(tokenText(own.tokens, 0));
    mailbox->selectCommand->tokens[0].text = s.droppedTag;
    filterMailbox(s, *mailbox, true);
    if (!stopRequested()) {
      writeImapLine(*mailbox->selectCommand, s.server, &s.status);
    }
    return;
  }
  MailboxState& mailbox = findMailbox(s.account, tokenText(s.pendingSelect->tokens, 2));
  if (s.currentMailbox != nullptr && s.currentMailbox != &mailbox) {
    s.currentMailbox->recentUids.clear();
  }
  s.currentMailbox = &mailbox;
  mailbox.selectCommand = std::move(s.pendingSelect);
  s.pendingSelect.reset();
  filterMailbox(s, mailbox, false);
  if (!stopRequested()) {
    writeImapLine(*mailbox.selectCommand, s.server, &s.status);
  }
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

SessionFlow handleServerLine(ImapSession& s) {
  std::optional<std::string> text = s.server.readLine(-1);
  if (!text) {
    return SessionFlow::End;
  }
  ImapLine line = parseImapLine(LineKind::Response, *text, nullptr, nullptr);
  const ImapTokens& tokens = line.tokens;
  std::string_view tag = tokenText(tokens, 0);
  bool filtering = !s.config->filteringDisabled;

  if (tag == "+") {
    s.client.sendNow(text->data(), text->size());
    copyLiteral(s, s.client, s.server, s.pendingLiteral, kClientLiteralTimeoutMs, false);
    s.server.flush();
    s.pendingLiteral = 0;
    s.awaitingCallback = false;
    return SessionFlow::Continue;
  }
  if (!s.droppedTag.empty() && tag == s.droppedTag) {
    return SessionFlow::Continue;
  }
  if (startsWith(tag, "KRTLCB_SELECT")) {
    selectCallback(s);
    s.server.flush();
    s.awaitingCallback = false;
    return SessionFlow::Continue;
  }
  if (startsWith(tag, "KRTLCB_FETCH")) {
    if (s.pendingFetch) {
      relayClientFetch(*s.pendingFetch, s.client, s.server, s.currentMailbox);
    }
    s.pendingFetch.reset();
    s.awaitingCallback = false;
    return SessionFlow::Continue;
  }
  if (!s.literalTag.empty() && tag == s.literalTag) {
    // The server refused a command instead of taking its literal: the client sends
    // no literal and goes on with its next command.
    s.literalTag.clear();
    s.pendingLiteral = 0;
    s.awaitingCallback = false;
    closeClientCommand(s);
  }
  if (!s.idleTag.empty() && tag == s.idleTag) {
    closeClientCommand(s);
  }
  bool untagged = tag == "*";
  if (filtering && untagged && s.currentMailbox != nullptr && tokenIs(tokens, 2, "RECENT")) {
    sendToClient(s, formatText("* %d RECENT\r\n", {s.currentMailbox->recentUids.size()}));
    return SessionFlow::Continue;
  }
  if (filtering && untagged && s.currentMailbox != nullptr && tokenIs(tokens, 2, "EXISTS")) {
    int64_t count = readLong(tokenText(tokens, 1));
    if (count > s.currentMailbox->lastExists && !s.awaitingCallback) {
      if (s.clientCommandOpen) {
        s.newMailWaiting = true;
      } else {
        sendCallback(s, "SELECT");
        s.server.flush();
      }
    }
    s.currentMailbox->lastExists = count;
    writeImapLine(line, s.client, &s.status);
    return SessionFlow::Continue;
  }
  if (untagged && tokenIs(tokens, 1, "CAPABILITY")) {
    if (isGenericPort(s)) {
      s.client.writeString("* CAPABILITY IMAP4rev1\r\n");
    } else {
      std::string kept = withoutUnrelayableCapabilities(*text);
      s.client.writeString(kept);
    }
    return SessionFlow::Continue;
  }
  if (text->find("[CAPABILITY") != std::string::npos) {
    std::string reduced = reduceBracketCapability(*text);
    s.client.write(reduced.data(), reduced.size());
  } else {
    s.client.write(text->data(), text->size());
  }
  if (text->size() > 3 && text->find('{') != std::string::npos) {
    if (std::optional<uint64_t> literal = announcedLiteral(*text)) {
      copyLiteral(s, s.server, s.client, *literal, kServerLiteralTimeoutMs,
                  *literal > kLiteralProgressFrom);
    }
  }
  return SessionFlow::Continue;
}

// Whether the server has said something: bytes buffered, an end, or data waiting.
// Over TLS a readable socket may carry only records of the secure layer itself (a
// session ticket after the handshake): those must not make the session wait for a
// line that is not coming while the client's command waits unread.
bool serverHasInput(ImapSession& s) {
  if (!isConnected(s) || !s.server.pollInput()) {
    return false;
  }
  if (s.server.hasBufferedInput() || !s.server.isOpen() || !s.server.secure()) {
    return true;
  }
  int byte = s.server.readChar(0);
  if (byte >= 0) {
    auto taken = static_cast<uint8_t>(byte);
    s.server.unread(&taken, 1);
    return true;
  }
  return byte != kReadTimeout;
}

// Waits until either connection has something (or the stop flag is raised); the
// client is not listened to while a callback is awaited. The session ends when
// there is nothing to listen to, or neither side said anything for the idle limit.
SessionFlow waitForInput(ImapSession& s) {
  bool listenClient = !s.awaitingCallback;
  bool listenServer = isConnected(s);
  while (!stopRequested()) {
    int ready = 0;
    if (listenClient && listenServer) {
      ready = waitReadableEither(s.client.handle(), s.server.handle(), kWaitSliceMs);
    } else if (listenClient) {
      ready = waitReadable(s.client.handle(), kWaitSliceMs);
    } else if (listenServer) {
      ready = waitReadable(s.server.handle(), kWaitSliceMs) != 0 ? 2 : 0;
    } else {
      return SessionFlow::End;
    }
    if (ready != 0) {
      return SessionFlow::Continue;
    }
    if (s.idleLimitMs > 0 && tickCountMs() - s.lastActivityMs > s.idleLimitMs) {
      return SessionFlow::End;
    }
  }
  return SessionFlow::Continue;
}

// Every 11 seconds: a changed configuration is taken over when the session's port
// is still where it was, with the same number and type.
void refreshConfiguration(ImapSession& s) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (now - s.lastConfigCheck < kConfigCheckSec) {
    return;
  }
  s.lastConfigCheck = now;
  reloadIfConfigChanged();
  ConfigRef current = AcquireConfig();
  if (!current || current == s.config) {
    return;
  }
  const std::vector<PortConfig>& old = s.config->ports;
  for (size_t i = 0; i < old.size(); ++i) {
    if (old[i].id != s.port.id) {
      continue;
    }
    if (i < current->ports.size() && current->ports[i].listenPort == s.port.listenPort &&
        current->ports[i].type == s.port.type) {
      s.port = current->ports[i];
      s.config = current;
      s.record.config = current;
    }
    return;
  }
}

void runMainLoop(ImapSession& s) {
  SessionFlow flow = SessionFlow::Continue;
  while (flow == SessionFlow::Continue && !stopRequested()) {
    bool clientReady = !s.awaitingCallback && s.client.pollInput();
    bool serverReady = serverHasInput(s);
    if (!clientReady && !serverReady) {
      flow = waitForInput(s);
      clientReady = !s.awaitingCallback && s.client.pollInput();
      serverReady = serverHasInput(s);
    }
    refreshConfiguration(s);
    if (clientReady && flow == SessionFlow::Continue) {
      do {
        flow = handleClientLine(s);
      } while (flow == SessionFlow::Continue && !s.awaitingCallback && !stopRequested() &&
               s.client.hasBufferedInput());
      s.client.flush();
      if (isConnected(s)) {
        s.server.flush();
      }
    }
    if (serverReady && flow == SessionFlow::Continue) {
      // While the server streams (a long FETCH answer), its lines are taken as they
      // come; the client is looked at again when the server pauses.
      do {
        flow = handleServerLine(s);
      } while (flow == SessionFlow::Continue && !stopRequested() && isConnected(s) &&
               (s.server.hasBufferedInput() || (s.server.isOpen() && serverHasInput(s))));
      s.client.flush();
      if (isConnected(s)) {
        s.server.flush();
      }
    }
    if (clientReady || serverReady) {
      // Counted from the end of the work: a long filter run is no silence.
      s.lastActivityMs = tickCountMs();
    }
    if (!s.client.isOpen() || (isConnected(s) && !s.server.isOpen())) {
      flow = SessionFlow::End;
    }
  }
}

void reportSessionEnd(ImapSession& s) {
  if (isConnected(s) && s.server.failed() && isReportableSocketError(s.server.lastError())) {
    reportSocketError(s.server.lastError(), languageText(kTextImap4ServerErrorTitle),
                      &s.record.log);
  } else if (s.client.failed() && isReportableSocketError(s.client.lastError())) {
    reportSocketErrorOnceThenCount(s.client.lastError(), languageText(kTextImap4ClientErrorTitle),
                                   &s.record.log);
  }
}

} // namespace

void switchRewritingOff(ImapSession& s) {
  s.port.imap4.rewrite = Imap4Rewrite::Never;
  changePortInConfiguration(s.port.id,
                            [](PortConfig& port) { port.imap4.rewrite = Imap4Rewrite::Never; });
}

void runImap4Session(std::unique_ptr<SessionStart> start) {
  ImapSession s;
  SessionThreadScope thread("IMAP4", s.client);
  SessionOpening opening = openSession(std::move(start), "IMAP4", s.client);
  s.row = opening.row;
  s.status = RowProgress(s.row);
  s.config = std::move(opening.config);
  s.port = std::move(opening.port);
  s.clientAddress = opening.clientAddress;
  s.client.setOutputCapacity(kClientOutputBuffer);
  s.lastActivityMs = tickCountMs();
  s.lastConfigCheck = static_cast<int64_t>(std::time(nullptr));
  bool started = false;
  if (s.config) {
    if (s.config->clientIdleTimeout > 0) {
      s.idleLimitMs = static_cast<uint64_t>(
                          std::max<int64_t>(s.config->clientIdleTimeout, kShortestImapIdleSec)) *
                      1000;
    }
    CreateSessionRecord(s.record, s.config, s.port, s.clientAddress);
    s.account.log = &s.record.log;
    SessionFlow flow = SessionFlow::Continue;
    if (!isGenericPort(s)) {
      flow = endUnless(connectUpstream(s, s.port.serverName, "*"));
    } else if (!sendToClient(s, "* OK [CAPABILITY IMAP4rev1] Kestrelmail for Windows\r\n")) {
      if (s.client.failed() && isReportableSocketError(s.client.lastError())) {
        reportSocketError(s.client.lastError(), languageText(kTextImap4ClientErrorTitle),
                          &s.record.log);
      }
      flow = SessionFlow::End;
    }
    if (flow == SessionFlow::Continue) {
      SessionStarted(s.record);
      started = true;
      runMainLoop(s);
    }
    showStatus(s, kTextStatusDisconnecting);
    reportSessionEnd(s);
  }

  // The end, undoing what the start did.
  if (isConnected(s)) {
    dropUpstream(s);
  }
  forgetSessionSocket(s.client.handle());
  s.client.close();
  if (s.config) {
    if (started) {
      SessionEnded(s.record);
    }
    cacheSave();
    SaveAutoWhitelistState();
    s.pendingSelect.reset();
    s.pendingFetch.reset();
    s.currentMailbox = nullptr;
    s.account.mailboxes.clear();
    FinishSessionRecord(s.record);
  }
  closeSessionRow(s.row, languageText(kTextStatusDisconnected));
  if (s.config) {
    Housekeeping();
  }
  s.config.reset();
  s.record.config.reset();
  // Trimmed once the program is idle: sessions ending together must not all walk
  // the heap at once.
  requestMemoryTrim();
}

} // namespace km
