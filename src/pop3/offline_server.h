// The empty mailbox shown while the real POP3 server cannot be reached: a port set
// to hide connection failures hands its client to this small server, which accepts
// any log-in and has no messages, so a client checking mail while the computer is
// offline sees nothing instead of an error.
#pragma once

namespace km {

class LineSocket;

// Serves the client until it quits, goes away or the program shuts down; the
// session's end then closes the connection. `row` is the session's status row (-1
// for none).
void runOfflineServer(LineSocket& client, int row);

} // namespace km
