#include "platform/main_loop.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/threads.h"

namespace km {

namespace {

// A jump of the boot-time clock against the monotonic clock (which stops during
// suspend) larger than this means the machine slept.
constexpr int64_t kSuspendJumpMs = 3000;
constexpr int kMaxPollWaitMs = 1000;

struct Timer {
  unsigned intervalMs = 0;
  uint64_t dueAt = 0;
  std::function<void()> onTimer;
};

struct LoopState {
  // Guards the queue, the quit message, the watchers and the timers: any thread
  // may post calls and (re)start timers.
  std::mutex lock;
  std::deque<std::function<void()>> calls;
  bool quit = false;
  int exitCode = 0;
  std::map<int, std::function<void()>> watchers;
  std::map<int, Timer> timers;

  // Touched by the main thread only.
  int wakeFd = -1;
  int signalFd = -1;
  MainLoopHandlers handlers;
  int64_t sleepOffsetMs = 0;
};

LoopState& state() {
  static LoopState instance;
  return instance;
}

int64_t clockMs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t currentSleepOffsetMs() {
  return clockMs(CLOCK_BOOTTIME) - clockMs(CLOCK_MONOTONIC);
}

void wake() {
  if (state().wakeFd >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(state().wakeFd, &one, sizeof one);
    (void)ignored;
  }
}

void drainWakeFd() {
  uint64_t count;
  while (::read(state().wakeFd, &count, sizeof count) > 0) {
  }
}

void handleSignals() {
  signalfd_siginfo info{};
  while (::read(state().signalFd, &info, sizeof info) == sizeof info) {
    const MainLoopHandlers& handlers = state().handlers;
    if (info.ssi_signo == SIGHUP) {
      if (handlers.onHangup) {
        handlers.onHangup();
      }
    } else if (handlers.onExitRequested) {
      handlers.onExitRequested();
    } else {
      postQuitMessage(0);
    }
  }
}

void checkForResume() {
  int64_t offset = currentSleepOffsetMs();
  if (offset - state().sleepOffsetMs > kSuspendJumpMs) {
    state().sleepOffsetMs = offset;
    if (state().handlers.onResume) {
      state().handlers.onResume();
    }
  }
}

// Fires due timers; returns the wait until the next one (or the maximum wait).
int runDueTimers() {
  LoopState& loop = state();
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(loop.lock);
    uint64_t now = tickCountMs();
    for (auto& [id, timer] : loop.timers) {
      if (timer.dueAt <= now) {
        timer.dueAt = now + timer.intervalMs;
        due.push_back(timer.onTimer);
      }
    }
  }
  for (const auto& onTimer : due) {
    onTimer();
  }
  std::lock_guard lock(loop.lock);
  int64_t wait = kMaxPollWaitMs;
  uint64_t now = tickCountMs();
  for (const auto& [id, timer] : loop.timers) {
    wait = std::min<int64_t>(wait, static_cast<int64_t>(timer.dueAt) - static_cast<int64_t>(now));
  }
  return static_cast<int>(std::max<int64_t>(0, wait));
}

sigset_t loopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return signals;
}

} // namespace

void blockLoopSignals() {
  sigset_t signals = loopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool initMainLoop(MainLoopHandlers handlers) {
  LoopState& loop = state();
  loop.handlers = std::move(handlers);
  if (loop.wakeFd < 0) {
    loop.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  blockLoopSignals();
  sigset_t signals = loopSignals();
  if (loop.signalFd < 0) {
    loop.signalFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  }
  // Writes to a peer that has gone must fail with an error, not end the program.
  ::signal(SIGPIPE, SIG_IGN);
  loop.sleepOffsetMs = currentSleepOffsetMs();
  return loop.wakeFd >= 0 && loop.signalFd >= 0;
}

int runMainLoop() {
  LoopState& loop = state();
  for (;;) {
    dispatchPendingCalls();
    {
      std::lock_guard lock(loop.lock);
      if (loop.quit) {
        return loop.exitCode;
      }
    }
    int waitMs = runDueTimers();

    std::vector<pollfd> fds;
    fds.push_back({loop.wakeFd, POLLIN, 0});
    fds.push_back({loop.signalFd, POLLIN, 0});
    {
      std::lock_guard lock(loop.lock);
      for (const auto& [fd, onReadable] : loop.watchers) {
        fds.push_back({fd, POLLIN, 0});
      }
    }
    int ready = ::poll(fds.data(), fds.size(), waitMs);
    checkForResume();
    if (ready <= 0) {
      continue;
    }
    if (fds[0].revents != 0) {
      drainWakeFd();
    }
    if (fds[1].revents != 0) {
      handleSignals();
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      // A callback may unwatch descriptors, including ones later in this list.
      std::function<void()> onReadable;
      {
        std::lock_guard lock(loop.lock);
        auto found = loop.watchers.find(fds[i].fd);
        if (found != loop.watchers.end()) {
          onReadable = found->second;
        }
      }
      if (onReadable) {
        onReadable();
      }
    }
  }
}

void postQuitMessage(int exitCode) {
  {
    std::lock_guard lock(state().lock);
    if (!state().quit) {
      state().quit = true;
      state().exitCode = exitCode;
    }
  }
  wake();
}

bool quitMessagePosted() {
  std::lock_guard lock(state().lock);
  return state().quit;
}

void postMainThreadCall(std::function<void()> call) {
  {
    std::lock_guard lock(state().lock);
    state().calls.push_back(std::move(call));
  }
  wake();
}

void dispatchPendingCalls() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(state().lock);
      if (state().calls.empty()) {
        return;
      }
      call = std::move(state().calls.front());
      state().calls.pop_front();
    }
    call();
  }
}

void watchReadable(int fd, std::function<void()> onReadable) {
  {
    std::lock_guard lock(state().lock);
    state().watchers[fd] = std::move(onReadable);
  }
  wake();
}

void unwatchReadable(int fd) {
  std::lock_guard lock(state().lock);
  state().watchers.erase(fd);
}

void setTimer(int timerId, unsigned intervalMs, std::function<void()> onTimer) {
  {
    std::lock_guard lock(state().lock);
    state().timers[timerId] = Timer{intervalMs, tickCountMs() + intervalMs, std::move(onTimer)};
  }
  wake();
}

void killTimer(int timerId) {
  std::lock_guard lock(state().lock);
  state().timers.erase(timerId);
}

bool timerActive(int timerId) {
  std::lock_guard lock(state().lock);
  return state().timers.count(timerId) != 0;
}

void closeMainLoop() {
  LoopState& loop = state();
  if (loop.wakeFd >= 0) {
    ::close(loop.wakeFd);
    loop.wakeFd = -1;
  }
  if (loop.signalFd >= 0) {
    ::close(loop.signalFd);
    loop.signalFd = -1;
  }
  std::lock_guard lock(loop.lock);
  loop.watchers.clear();
  loop.timers.clear();
  loop.calls.clear();
  loop.quit = false;
  loop.exitCode = 0;
}

} // namespace km
