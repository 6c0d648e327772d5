// The last resort of the session threads: a fault (a hardware signal or an
// exception that escapes the thread's body) shows the crash report built from the
// thread's status record, written to stderr and crash-report.txt in the data
// directory, and the process ends at once with exit code 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/threads.h"

namespace km {

struct ThreadRecord;

// Fault code of an exception that escaped a guarded thread; signals report their
// signal number.
inline constexpr uint32_t kFaultEscapedException = 0xE0000001u;

// Installs the signal handlers and fixes the report's file and texts. Called once
// at start-up, after the string table is loaded and the data directory chosen.
void installFaultHandlers();

// Runs the body of a session thread inside the fault guard.
void runWithFaultGuard(const std::function<void()>& body);

// The guard of a DNSBL query thread: a fault shows the DNSBL thread's own fatal
// message (with the fault code) instead of the crash report, then the process ends
// with exit code 1.
void runWithDnsblFaultGuard(const std::function<void()>& body);
inline constexpr const char* kDnsblFaultTitle = "Fatal Error from Kestrelmail";
// Filled with the fault code.
inline constexpr const char* kDnsblFaultText =
    "Oh dear; Kestrelmail seems to have crashed (error %#x) during a DNSBL query thread.  "
    "Please contact the Kestrelmail developers via the Kestrelmail website and report this "
    "error to them.  Thank you.\n\nBecause of this error, Kestrelmail must now exit.";

// The report text for a thread's record, or "Nothing recorded" when it has none.
// Writes at most `size` bytes including the terminating NUL; no allocation.
size_t formatCrashReport(char* out, size_t size, const ThreadRecord* record);
std::string crashReportFor(ThreadId threadId);

} // namespace km
