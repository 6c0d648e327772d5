// Network sessions: buffered line sockets, listeners and session threads, and the
// status window's rows. (IPv4 addresses and the per-thread status records are
// platform's: platform/ipv4.h, platform/thread_records.h.)
//
//   line_socket.h     LineSocket and BlockReader: buffered, timed reads and writes
//   socket_errors.h   texts of socket errors and the rule for reporting them
//   listeners.h       listening ports, accepting, the port choice, SessionStart
//   sessions.h        session threads by protocol and their start and end
//   session_rows.h    the status window's row per running session
//   upstream_tls.h    plain, implicit TLS or STARTTLS towards a server; TLS settings
#pragma once

#include "net/line_socket.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "net/sessions.h"
#include "net/socket_errors.h"
#include "net/upstream_tls.h"
