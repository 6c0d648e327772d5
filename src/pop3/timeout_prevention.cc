#include "pop3/timeout_prevention.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "message/message.h"
#include "net/line_socket.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace km {

namespace {

// Bytes of announced message size per timeout line: one line per 29 seconds at an
// assumed 4 KB a second.
constexpr int64_t kBytesPerTimeoutLine = 29 * 4096;
constexpr size_t kPreventionStackSize = 64 * 1024;

struct Prevention {
  int32_t preventionId = 0;
  LineSocket* client = nullptr;
  int32_t mode = 0; // always a POP3 message download
  Message* message = nullptr;
  int32_t maxTimeoutLines = 1;
  int32_t timeoutLinesSent = 0;
  size_t headerIndex = 0;
  size_t headerOffset = 0;
};

struct PreventionTable {
  std::mutex lock;
  std::vector<Prevention> entries;
  int32_t nextId = 1;
  bool threadRunning = false;
  std::atomic<unsigned> intervalMs{kPreventionIntervalMs};
};

PreventionTable& table() {
  static PreventionTable instance;
  return instance;
}

// A line whose start would go out before tagging is settled: the blank line that
// ends the header block, the end of the message, or the Subject line itself.
bool mustNotStart(std::string_view line) {
  return line.empty() || line[0] == '\r' || line[0] == '.' ||
         equalsIgnoreCase(line.substr(0, std::min<size_t>(8, line.size())),
                          std::string_view("Subject:").substr(0, std::min<size_t>(8, line.size())));
}

// One step for one registration, under the lock.
void keepBusy(Prevention& entry) {
  if (entry.timeoutLinesSent < entry.maxTimeoutLines) {
    ++entry.timeoutLinesSent;
    sendString(entry.client, kTimeoutPreventionLine);
    return;
  }
  const std::vector<std::string>& lines = entry.message->headerLines;
  if (entry.headerIndex < lines.size() && entry.headerOffset >= lines[entry.headerIndex].size() &&
      entry.headerIndex + 1 < lines.size()) {
    ++entry.headerIndex;
    entry.headerOffset = 0;
  }
  if (entry.headerIndex >= lines.size()) {
    return;
  }
  const std::string& line = lines[entry.headerIndex];
  if (entry.headerOffset >= line.size() || (entry.headerOffset == 0 && mustNotStart(line))) {
    return;
  }
  sendNow(entry.client, line.data() + entry.headerOffset, 1);
  ++entry.headerOffset;
}

void preventionThread() {
  for (;;) {
    shutdownEvent().wait(std::chrono::milliseconds(table().intervalMs.load()));
    std::lock_guard guard(table().lock);
    for (Prevention& entry : table().entries) {
      keepBusy(entry);
    }
    if (table().entries.empty() || stopRequested()) {
      table().threadRunning = false;
      return;
    }
  }
}

} // namespace

std::mutex& preventionLock() {
  return table().lock;
}

int32_t startPrevention(LineSocket* client, Message& message) {
  std::lock_guard guard(table().lock);
  Prevention entry;
  entry.preventionId = table().nextId++;
  entry.client = client;
  entry.message = &message;
  int64_t announced = message.fetch ? message.fetch->expectedSize : 0;
  entry.maxTimeoutLines =
      static_cast<int32_t>(std::max<int64_t>(1, announced / kBytesPerTimeoutLine));
  table().entries.push_back(entry);
  if (!table().threadRunning) {
    table().threadRunning = startDetachedThread(preventionThread, kPreventionStackSize);
  }
  return entry.preventionId;
}

size_t stopPrevention(int32_t preventionId) {
  std::lock_guard guard(table().lock);
  auto& entries = table().entries;
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const Prevention& e) { return e.preventionId == preventionId; });
  if (found == entries.end()) {
    return 0;
  }
  Prevention entry = *found;
  entries.erase(found);

  std::vector<std::string>& lines = entry.message->headerLines;
  if (entry.timeoutLinesSent > 0) {
    lines.insert(lines.begin(), static_cast<size_t>(entry.timeoutLinesSent),
                 std::string(kTimeoutPreventionLine));
    entry.headerIndex += static_cast<size_t>(entry.timeoutLinesSent);
  }
  if (entry.headerOffset == 0) {
    return entry.headerIndex;
  }
  if (entry.headerIndex < lines.size()) {
    std::string_view rest = lines[entry.headerIndex];
    rest.remove_prefix(std::min(entry.headerOffset, rest.size()));
    writeString(entry.client, rest);
  }
  return entry.headerIndex + 1;
}

void setPreventionIntervalForTests(unsigned milliseconds) {
  table().intervalMs = milliseconds == 0 ? kPreventionIntervalMs : milliseconds;
}

} // namespace km
