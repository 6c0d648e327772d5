#include "platform/fault_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace km {

namespace {

constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

thread_local bool guardedThread = false;
FaultHandler installedHandler = nullptr;

void handleFault(int signal, siginfo_t*, void*) {
  if (!guardedThread || installedHandler == nullptr) {
    // Not a guarded thread: the default action (a core dump) is the right end.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  installedHandler(static_cast<uint32_t>(signal));
}

} // namespace

void installFaultHandler(FaultHandler handler) {
  installedHandler = handler;
  struct sigaction action {};
  action.sa_sigaction = handleFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) {
    ::sigaction(signal, &action, nullptr);
  }
}

struct FaultScope::SavedStack {
  std::vector<char> alternateStack = std::vector<char>(kAltStackSize);
  stack_t previous{};
  bool haveStack = false;
};

FaultScope::FaultScope() : saved_(std::make_unique<SavedStack>()) {
  stack_t stack{};
  stack.ss_sp = saved_->alternateStack.data();
  stack.ss_size = saved_->alternateStack.size();
  saved_->haveStack = ::sigaltstack(&stack, &saved_->previous) == 0;
  guardedThread = true;
}

FaultScope::~FaultScope() {
  guardedThread = false;
  if (saved_->haveStack) {
    if (saved_->previous.ss_sp == nullptr) {
      saved_->previous.ss_flags = SS_DISABLE;
    }
    ::sigaltstack(&saved_->previous, nullptr);
  }
}

void writeTextSafely(int fd, const char* text) {
  size_t length = std::strlen(text);
  while (length > 0) {
    ssize_t wrote = ::write(fd, text, length);
    if (wrote <= 0) {
      return;
    }
    text += wrote;
    length -= static_cast<size_t>(wrote);
  }
}

int createReportFile(const char* path) {
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

void closeReportFile(int fd) {
  ::close(fd);
}

void exitAtOnce(int exitCode) {
  ::_exit(exitCode);
}

} // namespace km
