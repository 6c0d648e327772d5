// AUTH: the exchange is relayed line by line, each "334" challenge answered by one
// client line, until the server's final reply; "235" makes the client
// authenticated, which permits it to relay.
//
// With PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME, the user name of PLAIN and LOGIN
// goes to the server without the "@server" a mail client appended to it (the
// setup wizard gives POP3 accounts such names, and many clients log in to SMTP
// with the same name). A server that refuses the shortened name is asked once
// more with the name as the client gave it, so a user whose real name holds an
// "@" is not locked out.
#include <vector>

#include "diag/activity_log.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"

namespace km {

namespace {

// The mechanism named by an AUTH line, in upper case, and the initial response
// that may follow it.
struct AuthCommand {
  std::string mechanism;
  std::string initialResponse;
};

AuthCommand parseAuthCommand(std::string_view line) {
  std::string_view rest = line.substr(std::min<size_t>(4, line.size()));
  size_t start = rest.find_first_not_of(' ');
  rest.remove_prefix(start == std::string_view::npos ? rest.size() : start);
  size_t end = rest.find_first_of(" \r\n");
  AuthCommand command;
  for (char c : rest.substr(0, end)) {
    command.mechanism += asciiUpper(c);
  }
  if (end != std::string_view::npos && rest[end] == ' ') {
    std::string_view response = rest.substr(end + 1);
    command.initialResponse = std::string(response.substr(0, response.find_first_of("\r\n")));
  }
  return command;
}

// The answer that carries the user name, without the server name; nothing when
// it holds none (or does not decode).
std::optional<std::string> shortenedUser(const std::string& mechanism, std::string_view answer) {
  if (answer == "=" || answer == "=\r\n") {
    return std::nullopt; // an empty initial response
  }
  return mechanism == "PLAIN" ? plainResponseWithoutServerName(answer)
                              : loginUserWithoutServerName(answer);
}

// Asks the server again with the client's own answers, without the client taking
// part; the final reply, or nothing when the exchange took another course.
std::optional<std::string> retryAsGiven(SmtpSession& s, std::string_view line,
                                        const std::vector<std::string>& answers) {
  if (!s.server->sendString(line)) {
    return std::nullopt;
  }
  size_t next = 0;
  for (;;) {
    std::optional<std::string> reply = readReply(*s.server);
    if (!reply) {
      return std::nullopt;
    }
    if (!reply->starts_with("334")) {
      return reply;
    }
    if (next == answers.size()) {
      // More challenges than the first time: cancel, and keep the first answer.
      s.server->sendString("*\r\n");
      readReply(*s.server);
      return std::nullopt;
    }
    if (!s.server->sendString(answers[next++])) {
      return std::nullopt;
    }
  }
}

} // namespace

SessionFlow handleAuth(SmtpSession& s, std::string_view line) {
  AuthCommand command = parseAuthCommand(line);
  logSessionText(s.record.log, LogLevel::Standard, kTextLogSmtpAuthentication, {command.mechanism});
  bool shorten = s.portConfig.smtp.removeServerNameFromUserName &&
                 (command.mechanism == "PLAIN" || command.mechanism == "LOGIN");
  bool shortened = false;
  bool userAnswered = false;
  std::string toServer(line);
  if (shorten && !command.initialResponse.empty()) {
    userAnswered = true;
    if (std::optional<std::string> user =
            shortenedUser(command.mechanism, command.initialResponse)) {
      toServer = "AUTH " + command.mechanism + " " + *user;
      shortened = true;
    }
  }

  std::vector<std::string> answers; // as the client gave them
  std::optional<std::string> reply;
  for (;;) {
    if (!s.server->sendString(toServer) || !(reply = readReply(*s.server))) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    if (!reply->starts_with("334")) {
      break;
    }
    std::optional<std::string> answer;
    if (!s.client->sendString(*reply) || !(answer = s.client->readLine(-1))) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
    answers.push_back(*answer);
    toServer = *answer;
    if (shorten && !userAnswered) {
      userAnswered = true;
      if (std::optional<std::string> user = shortenedUser(command.mechanism, *answer)) {
        toServer = *user;
        shortened = true;
      }
    }
  }
  if (shortened && reply->starts_with("5")) {
    if (std::optional<std::string> again = retryAsGiven(s, line, answers)) {
      reply = std::move(again);
    } else if (!s.server->isOpen()) {
      reportRelayFailure(s);
      return SessionFlow::End;
    }
  }
  if (reply->starts_with("235")) {
    s.authenticated = true;
  }
  return replyToClient(s, *reply);
}

} // namespace km
