// Network sessions: buffered line sockets, listeners and session threads, per-thread
// status records and the status window's rows.
//
//   ipv4.h            addresses and netblocks, parsing and matching, host entries
//   line_socket.h     LineSocket and BlockReader: buffered, timed reads and writes
//   socket_errors.h   texts of socket errors and the rule for reporting them
//   listeners.h       listening ports, accepting, the port choice, SessionStart
//   sessions.h        session threads by protocol and their start and end
//   session_rows.h    the status window's row per running session
//   thread_records.h  the status record of each worker thread; running sessions
//   upstream_tls.h    plain, implicit TLS or STARTTLS towards a server; TLS settings
#pragma once

#include "net/ipv4.h"
#include "net/line_socket.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "net/sessions.h"
#include "net/socket_errors.h"
#include "net/thread_records.h"
#include "net/upstream_tls.h"
