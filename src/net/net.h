// Network sessions: IPv4 helpers, per-thread status records and the running-session
// counter.
//
//   ipv4.h            addresses and netblocks, parsing and matching
//   thread_records.h  the status record of each worker thread; running sessions
#pragma once

#include "net/ipv4.h"
#include "net/thread_records.h"
