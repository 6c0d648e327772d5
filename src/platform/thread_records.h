// Per-thread status records, read by the status window and the crash report, and
// the counter of running proxy sessions that shutdown waits for.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/threads.h"

namespace km {

// Text fields are fixed-size and always NUL-terminated so that the crash handler
// can read a record without allocating.
struct ThreadRecord {
  ThreadId threadId = 0;
  int32_t sessionHandle = 0;
  char threadType[32] = {};
  char command[64] = {};
  char pluginName[32] = {};
  char pluginFunction[32] = {};
  int32_t pluginDepth = 0;
  char status[64] = {};
  uint32_t errorCode = 0;
};

// Empties the table (start-up and shutdown).
void initThreadRecords();
void freeThreadRecords();

// Creates the calling thread's record if it has none, then stores the type.
void registerThread(std::string_view type);
// Removes the calling thread's record.
void unregisterThread();

// Store into the calling thread's record, if it has one.
void setSessionHandle(int32_t handle);
void setThreadCommand(std::string_view text);
void setThreadStatus(std::string_view text);

// Bracket every call into a plug-in; the outermost call's names are kept.
void enterPluginCall(std::string_view plugin, std::string_view function);
void leavePluginCall(std::string_view plugin, std::string_view function);

std::optional<ThreadRecord> findThreadRecord(ThreadId threadId);
std::optional<ThreadRecord> currentThreadRecord();
size_t threadRecordCount();

// For the crash handler only: copies a record without blocking and without
// allocating; gives up (false) when the table stays busy.
bool copyThreadRecordForCrash(ThreadId threadId, ThreadRecord& out);

// Running proxy sessions: each session thread adds one as it starts and takes it
// away as its last act.
void sessionThreadStarted();
void sessionThreadEnded();
int runningSessionCount();

} // namespace km
