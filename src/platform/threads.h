// Threads and clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace km {

using ThreadId = uint32_t;

// The kernel's id of the calling thread (stable for the thread's life, unique in
// the process while it runs).
ThreadId currentThreadId();

// Starts a detached thread running `body`. A stack size of 0 takes the default.
// False (errno set) when the system refused to start the thread.
bool startDetachedThread(std::function<void()> body, size_t stackSize = 0);

// Milliseconds of a monotonic clock, for measuring elapsed times.
uint64_t tickCountMs();

void sleepMs(unsigned milliseconds);

} // namespace km
