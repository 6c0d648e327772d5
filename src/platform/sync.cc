#include "platform/sync.h"

namespace km {

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  if (manual_) {
    changed_.notify_all();
  } else {
    changed_.notify_one();
  }
}

void Event::reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool Event::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  auto signalled = [this] {
    return signalled_;
  };
  if (timeout.count() < 0) {
    changed_.wait(lock, signalled);
  } else if (!changed_.wait_for(lock, timeout, signalled)) {
    return false;
  }
  if (!manual_) {
    signalled_ = false;
  }
  return true;
}

namespace {
std::atomic<bool> stopFlag{false};
// Mirrors stopFlag for readers that only know plain words.
volatile int32_t stopWord = 0;
} // namespace

const volatile int32_t* stopFlagWord() {
  return &stopWord;
}

bool stopRequested() {
  return stopFlag.load(std::memory_order_acquire);
}

Event& shutdownEvent() {
  static Event event(Event::Reset::Manual);
  return event;
}

void raiseStopFlag() {
  stopFlag.store(true, std::memory_order_release);
  stopWord = 1;
  shutdownEvent().set();
}

void lowerStopFlagForTests() {
  stopFlag.store(false, std::memory_order_release);
  stopWord = 0;
  shutdownEvent().reset();
}

} // namespace km
