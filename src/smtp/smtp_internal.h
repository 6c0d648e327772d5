// Shared by the files of the SMTP proxy (and its tests) only: the session's state
// and the command handlers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "filter/session_record.h"
#include "message/message.h"
#include "net/line_socket.h"
#include "net/sessions.h"

namespace km {

struct SmtpSession {
  SmtpSession() = default;
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  PortConfig portConfig;
  ConfigRef config;
  // The two connections; `client` and `server` point at them, the other way round
  // after TURN or ATRN reversed the roles.
  LineSocket clientConnection;
  LineSocket serverConnection;
  LineSocket* client = &clientConnection;
  LineSocket* server = &serverConnection;
  Ipv4Address clientAddress{};
  SessionRecord record;
  int row = -1;
  // The client's address lies in one of the port's local IP blocks.
  bool clientIsLocal = false;
  std::string greeting;
  // A line of the server's EHLO reply began with "250".
  bool serverIsEsmtp = false;
  // The argument of the client's last HELO or EHLO.
  std::optional<std::string> heloName;
  // The mail transaction: it exists while `message` does.
  MessagePtr message;
  FetchRecord fetch;
  // The address of the last accepted MAIL FROM.
  std::string sender;
  int32_t messageCount = 0;
  // The server answered the client's AUTH with "235".
  bool authenticated = false;
};

// One reply of the server: its lines as long as each is at least four bytes long
// with "-" as its fourth byte, then the line that ends it. Nothing when the first
// read fails; what was read when a later one does. A negative time-out (seconds,
// for each line) waits without limit.
std::optional<std::string> readReply(LineSocket& server, int timeoutSec = -1);

// Reports why a relay failed: the server's error when it has a reportable one,
// else the client's.
void reportRelayFailure(SmtpSession& s);

// Sends a line to the server, reads its reply and, when `toClient`, passes the
// reply on.
SessionFlow relayCommand(SmtpSession& s, std::string_view line, bool toClient = true);

// Sends one reply of the proxy's own to the client.
SessionFlow replyToClient(SmtpSession& s, std::string_view reply);

// Ends the mail transaction (RSET, a refused MAIL FROM or DATA).
void endTransaction(SmtpSession& s);

// The command loop, until QUIT, a failure, or the stop flag.
void runSmtpCommands(SmtpSession& s);

SessionFlow handleMailFrom(SmtpSession& s, std::string_view line);
SessionFlow handleRcptTo(SmtpSession& s, std::string_view line);
SessionFlow handleData(SmtpSession& s, std::string_view line);
SessionFlow handleAuth(SmtpSession& s, std::string_view line);

// Shows a status text in the session's row (and as the thread's status).
void showStatus(SmtpSession& s, std::string_view text);

} // namespace km
