#include "diag/crash_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/data_dir.h"
#include "net/thread_records.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Which guard the calling thread runs in, and so which report a fault shows.
enum class Guard { None, Session, DnsblQuery };
thread_local Guard guardedThread = Guard::None;

// Everything the handler needs is prepared at installation: it must not allocate.
char reportPath[4096];
char crashTitle[256];
char crashExplanation[1024];
char crashInPlugin[1024];

void copyText(char* to, size_t size, const std::string& from) {
  std::snprintf(to, size, "%s", from.c_str());
}

void writeText(int fd, const char* text) {
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

void writeReport(int fd, const char* report, bool inPlugin) {
  writeText(fd, crashTitle);
  writeText(fd, "\r\n\r\n");
  writeText(fd, inPlugin ? crashInPlugin : crashExplanation);
  writeText(fd, "\r\n\r\n");
  writeText(fd, report);
  writeText(fd, "\r\n");
}

// The DNSBL query thread's fatal message, in the headless notifier's form.
[[noreturn]] void reportDnsblFault(uint32_t code) {
  char text[1024];
  std::snprintf(text, sizeof text, kDnsblFaultText, code);
  writeText(STDERR_FILENO, "kestrelmail: ");
  writeText(STDERR_FILENO, kDnsblFaultTitle);
  writeText(STDERR_FILENO, ": ");
  writeText(STDERR_FILENO, text);
  writeText(STDERR_FILENO, "\n");
  ::_exit(1);
}

[[noreturn]] void reportFault(uint32_t code) {
  if (guardedThread == Guard::DnsblQuery) {
    reportDnsblFault(code);
  }
  ThreadRecord record;
  bool found = copyThreadRecordForCrash(currentThreadId(), record);
  if (found) {
    record.errorCode = code;
  }
  char report[2048];
  formatCrashReport(report, sizeof report, found ? &record : nullptr);
  bool inPlugin = found && record.pluginFunction[0] != '\0';

  writeText(STDERR_FILENO, "kestrelmail: ");
  writeReport(STDERR_FILENO, report, inPlugin);
  if (reportPath[0] != '\0') {
    int fd = ::open(reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      writeReport(fd, report, inPlugin);
      ::close(fd);
    }
  }
  ::_exit(1);
}

void handleFault(int signal, siginfo_t*, void*) {
  if (guardedThread == Guard::None) {
    // Not a guarded thread: the default action (a core dump) is the right end.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  reportFault(static_cast<uint32_t>(signal));
}

} // namespace

void installFaultHandlers() {
  copyText(reportPath, sizeof reportPath, dataPath("crash-report.txt"));
  copyText(crashTitle, sizeof crashTitle, languageText(kTextCrashTitle));
  copyText(crashExplanation, sizeof crashExplanation, languageText(kTextCrashExplanation));
  copyText(crashInPlugin, sizeof crashInPlugin, languageText(kTextCrashInPlugin));

  struct sigaction action {};
  action.sa_sigaction = handleFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) {
    ::sigaction(signal, &action, nullptr);
  }
}

namespace {

void runGuarded(Guard guard, const std::function<void()>& body) {
  // A stack overflow can only be reported from a stack of its own.
  std::vector<char> alternateStack(kAltStackSize);
  stack_t stack{};
  stack.ss_sp = alternateStack.data();
  stack.ss_size = alternateStack.size();
  stack_t previous{};
  bool haveStack = ::sigaltstack(&stack, &previous) == 0;

  guardedThread = guard;
  try {
    body();
  } catch (...) {
    reportFault(kFaultEscapedException);
  }
  guardedThread = Guard::None;

  if (haveStack) {
    if (previous.ss_sp == nullptr) {
      previous.ss_flags = SS_DISABLE;
    }
    ::sigaltstack(&previous, nullptr);
  }
}

} // namespace

void runWithFaultGuard(const std::function<void()>& body) {
  runGuarded(Guard::Session, body);
}

void runWithDnsblFaultGuard(const std::function<void()>& body) {
  runGuarded(Guard::DnsblQuery, body);
}

size_t formatCrashReport(char* out, size_t size, const ThreadRecord* record) {
  if (size == 0) {
    return 0;
  }
  if (record == nullptr) {
    return static_cast<size_t>(std::snprintf(out, size, "%s", "Nothing recorded"));
  }
  char details[1024];
  std::snprintf(details, sizeof details,
                " Error code: %#x\r\n\r\n Thread Type: %s\r\n Command: %s\r\n Status: %s\r\n\r\n"
                " Session handle: %d\r\n Thread Handle: %d\r\n",
                record->errorCode, record->threadType, record->command, record->status,
                record->sessionHandle, static_cast<int>(record->threadId));
  char plugin[256] = "";
  if (record->pluginFunction[0] != '\0') {
    if (record->pluginDepth == 1) {
      std::snprintf(plugin, sizeof plugin, " Plugin: %s (%s)\r\n\r\n", record->pluginName,
                    record->pluginFunction);
    } else {
      std::snprintf(plugin, sizeof plugin,
                    " Plugin: unknown (%d plugin calls below a call to %s (%s))\r\n\r\n",
                    record->pluginDepth, record->pluginName, record->pluginFunction);
    }
  }
  int length = std::snprintf(out, size, "%s%s", plugin, details);
  return length < 0 ? 0 : std::min(static_cast<size_t>(length), size - 1);
}

std::string crashReportFor(ThreadId threadId) {
  std::optional<ThreadRecord> record = findThreadRecord(threadId);
  char report[2048];
  formatCrashReport(report, sizeof report, record ? &*record : nullptr);
  return report;
}

} // namespace km
