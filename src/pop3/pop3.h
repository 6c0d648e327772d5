// The POP3 proxy. One session thread serves one mail client: it greets the client,
// logs in to the real server (named by the port, or by the user name on a generic
// port), rewrites the sizes STAT and LIST report so that they allow for tagging,
// and runs every RETR and TOP through the filters before the message reaches the
// client.
//
//   pop3.h                (this file) the session entry point and what else the
//                         proxy offers
//   timeout_prevention.h  keeping a client busy while its message is held back
//   offline_server.h      the empty mailbox shown when the server cannot be reached
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/sessions.h"
#include "net/upstream_tls.h"

namespace km {

// The session thread of a POP3 port (a SessionEntry; the application installs it).
void runPop3Session(std::unique_ptr<SessionStart> start);

// A server named as a host, optionally a colon and a port (110 by default).
using Pop3Server = ServerAddress;
inline Pop3Server parsePop3Server(std::string_view specification) {
  return parseServerAddress(specification, 110);
}

// A USER line on a generic port: the last "@", "%" or "/" (not at the start)
// separates the user name for the real server from the server specification.
// The line for the server keeps everything before the separator and ends in CR LF.
struct GenericUserLine {
  std::string serverLine;
  std::string serverSpecification;
};
std::optional<GenericUserLine> splitGenericUserLine(std::string_view line);

// The user name of a USER line: the text after the command word and its spaces, up
// to the first control byte.
std::string userNameOf(std::string_view line);

// What the status row's command column shows of a client line: the line up to its
// first control byte, but never a password or the credentials of an AUTH line
// ("PASS" and "AUTH <mechanism>" stand for them).
std::string_view commandColumnText(std::string_view line);

// The APOP digest for a server greeting and a password: MD5 of the greeting's
// "<...>" time stamp followed by the password, in lower-case hexadecimal. Nothing
// when the greeting offers no complete time stamp.
std::optional<std::string> apopDigest(std::string_view greeting, std::string_view password);

} // namespace km
