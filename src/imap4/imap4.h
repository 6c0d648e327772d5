// The IMAP4 proxy. One session thread serves one mail client: it relays the
// conversation with the real server (named by the port, or by the LOGIN user name
// on a generic port) line by line, answers a few commands itself before a server
// is connected, hides the server's capabilities, and filters every new message of
// a mailbox on the server before the client sees it: the message is judged once,
// tagged, and by the port's settings replaced by a tagged copy, moved to the
// spam-trap folder or deleted.
//
//   imap4.h            (this file) the session entry point, the relay of the
//                      client's FETCH and SEARCH, and the rules for capabilities and
//                      log-in names
//   imap_line.h        IMAP4 lines as tokens: parsing and writing, literals included
//   mailbox_state.h    what is remembered between connections: UIDs filtered per
//                      mailbox, header digests per account
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "imap4/imap_line.h"
#include "imap4/mailbox_state.h"
#include "net/upstream_tls.h"

namespace km {

class LineSocket;
struct SessionStart;

// The session thread of one IMAP4 client (installed as the IMAP4 entry of
// net/sessions.h by the application).
void runImap4Session(std::unique_ptr<SessionStart> start);

// A server named as a host, optionally a colon and a port (143 by default).
using Imap4Server = ServerAddress;
inline Imap4Server parseImap4Server(std::string_view specification) {
  return parseServerAddress(specification, 143);
}

// A LOGIN user name on a generic port: the last "@", "%" or "/" separates the user
// name for the real server from the server; nothing when there is none.
struct GenericLogin {
  std::string user;
  std::string server;
};
std::optional<GenericLogin> splitGenericLogin(std::string_view userName);

// A server line with a bracketed capability list: the list is cut to
// "[CAPABILITY IMAP4rev1", the rest of the line from its "]" on stays.
std::string reduceBracketCapability(std::string_view line);

// An untagged CAPABILITY line of a server on a port bound to it, without the
// capabilities the proxy cannot relay (STARTTLS, non-synchronising literals,
// compression); the line as it is when it names none of them.
std::string withoutUnrelayableCapabilities(std::string_view line);

// Runs a client FETCH (or UID FETCH) after its callback: macros are expanded and,
// when the client asks for FLAGS in a selected mailbox, the answers are read here,
// their flags made to show \Recent exactly on the messages the proxy presented as
// recent, and the UID item the proxy added is taken out again. Answers to other
// commands met on the way are pushed back into the server connection.
void relayClientFetch(ImapLine& fetch, LineSocket& client, LineSocket& server,
                      const MailboxState* mailbox);

// Adjusts one FETCH answer; `dropUid` when the client did not ask for the UID.
void fixFetchFlags(ImapLine& response, bool dropUid, const MailboxState& mailbox);

// Runs a client SEARCH (or UID SEARCH): OLD, NEW and RECENT are put in terms of the
// messages the proxy presented as recent. Literals of the line are read from the
// client; the answer is left to the relay. False when the client's line could not
// be read whole (its connection failed).
bool rewriteSearch(std::string_view line, LineSocket& client, LineSocket& server,
                   const MailboxState* mailbox);

} // namespace km
