// Giving memory back to the system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace km {

// Fixes the heap's thresholds at start-up. The allocator raises them by itself
// after a big block is freed (a large message, say): blocks up to that size then
// come from the heap, and free memory below it is never given back, so after one
// big message the memory of a burst of sessions would stay with the program.
// Fixed, blocks of kLargeBlockBytes and more come straight from the system and go
// straight back, and a heap gives back free memory above its top at once.
inline constexpr size_t kLargeBlockBytes = 256 * 1024;
void fixHeapThresholds();

// Returns free heap memory to the system at once (the end of start-up).
void trimMemory();

// Asks for free heap memory to go back to the system soon: after a session ended
// or a configuration snapshot was freed. Cheap and safe from any thread; the trim
// itself waits for trimMemoryIfDue, so that sessions ending together never trim
// side by side (every trim walks and locks the whole heap).
void requestMemoryTrim();

// A requested trim runs once the program has been idle for kIdleSettleMs (the
// threads of the last sessions have then freed everything and ended), or when the
// request has waited kTrimPatienceMs while sessions keep running; never sooner
// than kTrimIntervalMs after the previous one. True when it trimmed. The main
// loop calls it every second with `nowMs` from tickCountMs.
inline constexpr uint64_t kIdleSettleMs = 1000;
inline constexpr uint64_t kTrimIntervalMs = 5000;
inline constexpr uint64_t kTrimPatienceMs = 30000;
bool trimMemoryIfDue(bool idle, uint64_t nowMs);

// Trims done so far.
uint64_t memoryTrimCount();

} // namespace km
