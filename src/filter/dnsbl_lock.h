// The DNSBL lock: one re-entrant, process-wide lock over the DNSBL engine's queries
// and waiters, the DNSBL result cache and the per-list DNSBL counters. Where a
// thread also needs the configuration lock, it takes this one first.
#pragma once

#include "platform/sync.h"

namespace km {

inline RecursiveLock& dnsblLock() {
  static RecursiveLock lock;
  return lock;
}

} // namespace km
