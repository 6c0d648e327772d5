#include "diag/crash_report.h"

#include <cstdio>
#include <cstring>

#include "platform/data_path.h"
#include "platform/fault_signals.h"
#include "platform/lang.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"

namespace km {

namespace {

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

void writeReport(int fd, const char* report, bool inPlugin) {
  writeTextSafely(fd, crashTitle);
  writeTextSafely(fd, "\r\n\r\n");
  writeTextSafely(fd, inPlugin ? crashInPlugin : crashExplanation);
  writeTextSafely(fd, "\r\n\r\n");
  writeTextSafely(fd, report);
  writeTextSafely(fd, "\r\n");
}

// The DNSBL query thread's fatal message, in the headless notifier's form.
[[noreturn]] void reportDnsblFault(uint32_t code) {
  char text[1024];
  std::snprintf(text, sizeof text, kDnsblFaultText, code);
  writeTextSafely(kStandardErrorFd, "kestrelmail: ");
  writeTextSafely(kStandardErrorFd, kDnsblFaultTitle);
  writeTextSafely(kStandardErrorFd, ": ");
  writeTextSafely(kStandardErrorFd, text);
  writeTextSafely(kStandardErrorFd, "\n");
  exitAtOnce(1);
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

  writeTextSafely(kStandardErrorFd, "kestrelmail: ");
  writeReport(kStandardErrorFd, report, inPlugin);
  if (reportPath[0] != '\0') {
    int fd = createReportFile(reportPath);
    if (fd >= 0) {
      writeReport(fd, report, inPlugin);
      closeReportFile(fd);
    }
  }
  exitAtOnce(1);
}

} // namespace

void installFaultHandlers() {
  copyText(reportPath, sizeof reportPath, dataPath("crash-report.txt"));
  copyText(crashTitle, sizeof crashTitle, languageText(kTextCrashTitle));
  copyText(crashExplanation, sizeof crashExplanation, languageText(kTextCrashExplanation));
  copyText(crashInPlugin, sizeof crashInPlugin, languageText(kTextCrashInPlugin));

  installFaultHandler(reportFault);
}

namespace {

void runGuarded(Guard guard, const std::function<void()>& body) {
  FaultScope scope;
  guardedThread = guard;
  try {
    body();
  } catch (...) {
    reportFault(kFaultEscapedException);
  }
  guardedThread = Guard::None;
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
