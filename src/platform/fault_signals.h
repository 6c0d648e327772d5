// Hardware faults of guarded threads. A fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) in a
// thread inside a FaultScope goes to the installed handler; in any other thread it
// takes its default action (a core dump). The handler must end the process and may
// only use what is safe inside a signal handler: the functions below are.
#pragma once

#include <cstdint>
#include <memory>

namespace km {

using FaultHandler = void (*)(uint32_t signal);

// Installs the handler for every fault signal. Called once at start-up.
void installFaultHandler(FaultHandler handler);

// Marks the calling thread as guarded for the scope's lifetime and gives it a
// stack of its own for the handler, so that a stack overflow can still be
// reported. Scopes do not nest.
class FaultScope {
public:
  FaultScope();
  ~FaultScope();
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;

private:
  struct SavedStack;
  std::unique_ptr<SavedStack> saved_;
};

// Signal-safe output for fault handlers.
inline constexpr int kStandardErrorFd = 2;
// Writes the whole text, giving up silently at the first failure.
void writeTextSafely(int fd, const char* text);
// Creates or empties a file for a report; its descriptor, or -1.
int createReportFile(const char* path);
void closeReportFile(int fd);
// Ends the process at once with the exit code, running no clean-up.
[[noreturn]] void exitAtOnce(int exitCode);

} // namespace km
