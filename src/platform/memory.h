// Giving memory back to the system.
#pragma once

#include <cstdint>

namespace km {

// Returns free heap memory to the system at once (the end of start-up).
void trimMemory();

// Asks for free heap memory to go back to the system soon: after a session ended
// or a configuration snapshot was freed. Cheap and safe from any thread; the trim
// itself waits for trimMemoryIfDue, so that sessions ending together never trim
// side by side (every trim walks and locks the whole heap).
void requestMemoryTrim();

// A requested trim runs once the program is idle, or when the request has waited
// kTrimPatienceMs while sessions keep running; never sooner than kTrimIntervalMs
// after the previous one. True when it trimmed. The main loop calls it every
// second with `nowMs` from tickCountMs.
inline constexpr uint64_t kTrimIntervalMs = 5000;
inline constexpr uint64_t kTrimPatienceMs = 30000;
bool trimMemoryIfDue(bool idle, uint64_t nowMs);

// Trims done so far.
uint64_t memoryTrimCount();

} // namespace km
