// Threads and clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace km {

using ThreadId = uint32_t;

// The kernel's id of the calling thread (stable for the thread's life, unique in
// the process while it runs).
ThreadId currentThreadId();

// Starts a detached thread running `body`. A stack size of 0 takes the default.
// False (errno set) when the system refused to start the thread.
bool startDetachedThread(std::function<void()> body, size_t stackSize = 0);

// A thread that its owner waits for: started once, joined by join() or by the
// destructor. For the few threads that must be gone before what they use is torn
// down (the pages' server, the tray icon's toolkit loop).
class JoinableThread {
public:
  JoinableThread();
  ~JoinableThread();
  JoinableThread(JoinableThread&& other) noexcept;
  JoinableThread& operator=(JoinableThread&& other) noexcept;
  JoinableThread(const JoinableThread&) = delete;
  JoinableThread& operator=(const JoinableThread&) = delete;

  // Starts `body`; false (errno set) when the system refused, or one was started
  // already and not joined.
  bool start(std::function<void()> body);
  // Waits until the thread has ended; nothing when none runs.
  void join();
  // Started and not joined yet.
  bool started() const;

private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

// Milliseconds of a monotonic clock, for measuring elapsed times.
uint64_t tickCountMs();

void sleepMs(unsigned milliseconds);

} // namespace km
