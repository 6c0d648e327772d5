#include "platform/memory.h"

#include <malloc.h>

#include <atomic>

#include "platform/threads.h"

namespace km {

namespace {

// 0 while no trim is wanted, else the time of the oldest request not yet served.
std::atomic<uint64_t> requestedAtMs{0};
std::atomic<uint64_t> lastTrimAtMs{0};
// When the program last turned idle; 0 while it is busy.
std::atomic<uint64_t> idleSinceMs{0};
std::atomic<uint64_t> trims{0};

} // namespace

void fixHeapThresholds() {
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBlockBytes));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(kLargeBlockBytes));
}

void trimMemory() {
  malloc_trim(0);
  trims.fetch_add(1, std::memory_order_relaxed);
}

void requestMemoryTrim() {
  uint64_t none = 0;
  // The clock never reads 0 once the system has been up a moment; 1 stands in.
  uint64_t now = tickCountMs();
  requestedAtMs.compare_exchange_strong(none, now == 0 ? 1 : now, std::memory_order_acq_rel);
}

bool trimMemoryIfDue(bool idle, uint64_t nowMs) {
  if (!idle) {
    idleSinceMs.store(0, std::memory_order_release);
  } else if (idleSinceMs.load(std::memory_order_acquire) == 0) {
    idleSinceMs.store(nowMs == 0 ? 1 : nowMs, std::memory_order_release);
  }
  bool settled = idle && nowMs >= idleSinceMs.load(std::memory_order_acquire) + kIdleSettleMs;
  uint64_t requested = requestedAtMs.load(std::memory_order_acquire);
  if (requested == 0) {
    return false;
  }
  uint64_t last = lastTrimAtMs.load(std::memory_order_acquire);
  if (last != 0 && nowMs < last + kTrimIntervalMs) {
    return false;
  }
  if (!settled && nowMs < requested + kTrimPatienceMs) {
    return false;
  }
  // Requests made while trimming ask for the next trim.
  requestedAtMs.store(0, std::memory_order_release);
  lastTrimAtMs.store(nowMs == 0 ? 1 : nowMs, std::memory_order_release);
  trimMemory();
  return true;
}

uint64_t memoryTrimCount() {
  return trims.load(std::memory_order_relaxed);
}

} // namespace km
