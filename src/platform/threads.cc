#include "platform/threads.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace km {

ThreadId currentThreadId() {
  return static_cast<ThreadId>(gettid());
}

namespace {

void* runThreadBody(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

} // namespace

bool startDetachedThread(std::function<void()> body, size_t stackSize) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return false;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    // Sanitizer builds need far more stack than the sizes chosen for release builds.
    size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
#if defined(__SANITIZE_ADDRESS__)
    stackSize *= 8;
#endif
    pthread_attr_setstacksize(&attributes, stackSize < minimum ? minimum : stackSize);
  }
  auto* owned = new std::function<void()>(std::move(body));
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, runThreadBody, owned);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete owned;
    errno = result; // for the caller's error report
    return false;
  }
  return true;
}

struct JoinableThread::Handle {
  std::thread thread;
};

JoinableThread::JoinableThread() : handle_(std::make_unique<Handle>()) {}

JoinableThread::~JoinableThread() {
  join();
}

JoinableThread::JoinableThread(JoinableThread&& other) noexcept
    : handle_(std::exchange(other.handle_, std::make_unique<Handle>())) {}

JoinableThread& JoinableThread::operator=(JoinableThread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = std::exchange(other.handle_, std::make_unique<Handle>());
  }
  return *this;
}

bool JoinableThread::start(std::function<void()> body) {
  if (handle_->thread.joinable()) {
    errno = EBUSY;
    return false;
  }
  try {
    handle_->thread = std::thread(std::move(body));
  } catch (const std::system_error& error) {
    errno = error.code().value();
    return false;
  }
  return true;
}

void JoinableThread::join() {
  if (handle_ && handle_->thread.joinable()) {
    handle_->thread.join();
  }
}

bool JoinableThread::started() const {
  return handle_ && handle_->thread.joinable();
}

uint64_t tickCountMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void sleepMs(unsigned milliseconds) {
  timespec duration{static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&duration, &duration) != 0) {
  }
}

} // namespace km
