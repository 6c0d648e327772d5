// Shared by the files of the IMAP4 proxy only: the session's state and the steps
// the session thread and the mailbox filtering call in each other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"
#include "filter/session_record.h"
#include "imap4/imap_line.h"
#include "imap4/mailbox_state.h"
#include "message/message.h"
#include "net/line_socket.h"
#include "net/session_rows.h"

namespace km {

struct ImapSession {
  PortConfig port;
  LineSocket client;
  // Its socket is invalid until connectUpstream succeeds ("connected").
  LineSocket server;
  Ipv4Address clientAddress{};
  ConfigRef config;
  SessionRecord record;
  Imap4Account account;
  int row = -1;
  RowProgress status{-1};
  // Every own tag and callback tag takes the next number.
  uint32_t ownTagCounter = 0;
  // The tag of an own command whose completion the client must not see; empty for
  // none.
  std::string droppedTag;
  // A client SELECT or EXAMINE, or FETCH, waiting for its callback.
  std::optional<ImapLine> pendingSelect;
  std::optional<ImapLine> pendingFetch;
  // While set, no client line is read.
  bool awaitingCallback = false;
  // Bytes of the literal a relayed client line announced.
  uint64_t pendingLiteral = 0;
  MailboxState* currentMailbox = nullptr;
  int64_t lastConfigCheck = 0;
  // A client command that is still arriving (after a literal, or an IDLE until its
  // DONE) must not have a callback written into its middle; new mail seen
  // meanwhile waits for its end.
  bool clientCommandOpen = false;
  std::string idleTag;
  bool newMailWaiting = false;
  // The tag of the client command whose literal waits for the server's "+"; a
  // refusal of that command ends the wait.
  std::string literalTag;
  // The session ends when neither side said anything for this long (0: never).
  uint64_t idleLimitMs = 0;
  uint64_t lastActivityMs = 0;
};

inline bool isConnected(const ImapSession& s) {
  return s.server.connected();
}
inline bool isGenericPort(const ImapSession& s) {
  return s.port.type == PortType::Imap4Generic;
}

// Mailbox filtering, run on the session thread with the proxy's own commands on
// the client's server connection; untagged lines the client should still see are
// pushed back into the server connection afterwards. `recheck` is set when new
// mail caused the run (the mailbox is selected already).
void filterMailbox(ImapSession& s, MailboxState& mailbox, bool recheck);

// Turns rewriting off for the port, in the session and in the saved configuration
// (after a server refused a tagged copy).
void switchRewritingOff(ImapSession& s);

} // namespace km
