// Locks, events and the process-wide stop flag.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace km {

// The program's re-entrant locks (the configuration lock, the listener lock, ...):
// a thread that holds one may take it again and releases it as often as it took it.
using RecursiveLock = std::recursive_mutex;
using RecursiveGuard = std::lock_guard<std::recursive_mutex>;

// A signalled/not-signalled flag threads can wait on. An auto-reset event lets one
// waiter through per signal and clears itself; a manual-reset event stays signalled
// until reset and lets every waiter through.
class Event {
public:
  enum class Reset { Automatic, Manual };

  explicit Event(Reset reset = Reset::Automatic, bool initiallySignalled = false)
      : manual_(reset == Reset::Manual), signalled_(initiallySignalled) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();

  // Waits until signalled; false when the time-out passed first. A negative
  // time-out waits without limit.
  bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

private:
  const bool manual_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_;
};

// Process-wide stop flag: raised once by shutdown, never lowered. Every wait of a
// worker thread looks at it at least every half second.
bool stopRequested();

// Raises the stop flag and signals the shut-down event.
void raiseStopFlag();

// The stop flag as a 32-bit word (1 once raised) that code outside the program
// (plug-ins) may poll while it works.
const volatile int32_t* stopFlagWord();

// The shut-down event (manual reset): signalled together with the stop flag, so
// a thread can sleep on it instead of polling the flag.
Event& shutdownEvent();

// Tests that exercise shutdown in-process lower the flag again afterwards.
void lowerStopFlagForTests();

} // namespace km
