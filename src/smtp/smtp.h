// The SMTP proxy. One session thread serves one mail client that sends mail: it
// connects at once to the port's real SMTP server, relays the dialogue command by
// command, hides most of the server's extensions, refuses to relay for strangers,
// can refuse black-listed senders, adds its own Received line and, when the port
// asks for it, runs each message through the filters (spam is tagged, never
// refused).
//
//   smtp.h  (this file) the session entry point, and the rules of the dialogue
//           as plain functions
#pragma once

#include <kestrelmail/plugin.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "net/sessions.h"
#include "net/upstream_tls.h"
#include "platform/ipv4.h"

namespace km {

// The session thread of an SMTP port; the application installs it as the SMTP
// entry of net/sessions.h.
void runSmtpSession(std::unique_ptr<SessionStart> start);

// A server named as a host, optionally a colon and a port (25 by default).
using SmtpServer = ServerAddress;
inline SmtpServer parseSmtpServer(std::string_view specification) {
  return parseServerAddress(specification, 25);
}

// The address of a MAIL FROM or RCPT TO line, after the command word of
// `commandLength` bytes: from the first "<" on (without it), else after the
// blanks that follow the command word; it ends at the first ">" or control byte.
// Parameters after the ">" (SIZE=...) are not part of it.
std::string extractSmtpAddress(std::string_view line, size_t commandLength);

// The argument of a HELO or EHLO line (from its sixth byte to the first control
// byte); nothing for a line of four bytes or fewer.
std::optional<std::string> heloArgument(std::string_view line);

// Whether a line of the server's EHLO reply reaches the client: the first line,
// error replies and the extensions AUTH, VRFY, TURN, 8BITMIME, ATRN,
// ENHANCEDSTATUSCODES, EXPN, HELP, PIPELINING, RSET and SIZE do; every other
// extension (STARTTLS among them) stays between the proxy and the server.
bool ehloLinePasses(std::string_view line, bool firstLine);

// The date of the Received line, "06 Dec 2026 10:00:00 +0100", in local time with
// the offset from UTC then in effect.
std::string receivedDate(std::time_t when);

// The proxy's Received line for a message: who the client said it is (its HELO or
// EHLO argument), its address, the address the proxy listens on, the protocol the
// server speaks (ESMTP or SMTP), the sender of MAIL FROM and the date.
std::string formatReceivedLine(std::string_view heloName, const Ipv4Address& client,
                               const Ipv4Address& listenAddress, bool esmtp,
                               std::string_view sender, std::string_view date);

// What the proxy says to a RCPT TO before the server sees it.
enum class RecipientRefusal { None, NoPermission, RelayExploit };

// A client that is neither in the port's local IP blocks nor authenticated may
// only send to the port's local addresses, and not with an address that routes
// mail on ("!", "%", a double quote, or more than one "@").
RecipientRefusal recipientRefusal(std::string_view recipient, bool localRecipient,
                                  bool trustedClient);
std::string_view recipientRefusalReply(RecipientRefusal refusal);

// The reply that refuses a sender at MAIL FROM, by the verdict and by whether the
// address check (rather than the client's IP address) decided. The DNSBL's name
// and website come from the configuration's definitions.
std::string senderRefusalReply(const Verdict& verdict, bool addressCheckDecided,
                               const Config& config);

// Whether a recipient of a local or authenticated client's mail becomes
// auto-white: not auto-white already, on no white list pattern and not on the
// never-auto-whitelist list.
bool recipientToAutoWhitelist(const Config& config, std::string_view recipient);

// The note kept with an auto-whitelisted recipient: who wrote to it, and when
// (local date and time without seconds).
std::string recipientNote(std::string_view sender, std::time_t when);

// What the status row's command column shows of a client line: the line up to its
// first control byte or byte above 127, at most 63 bytes, but never the
// credentials of an AUTH line.
std::string_view smtpCommandColumnText(std::string_view line);

// A user name without the server a mail client appended to it: the text before
// the last "@", "%" or "/" (one that is not its first character); the name as it
// is when there is none.
std::string withoutServerName(std::string_view userName);

// The SASL answers that carry a user name, with the server name removed from it
// (PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME): a PLAIN response (authorisation
// identity, user name and password, base64) and the user-name answer of LOGIN.
// Each is the answer line as sent, CR LF included; nothing when it does not
// decode or holds no server name.
std::optional<std::string> plainResponseWithoutServerName(std::string_view answer);
std::optional<std::string> loginUserWithoutServerName(std::string_view answer);

std::string base64Encode(std::string_view bytes);
// Nothing when the text holds anything but base64 (surrounding blanks and line
// ends aside).
std::optional<std::string> base64Decode(std::string_view text);

} // namespace km
