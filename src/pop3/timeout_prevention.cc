#include "pop3/timeout_prevention.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
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

// One registered retrieval. The table lock guards the counters and positions
// (they follow the message's working header lines, which it guards too); the
// entry's own lock guards what is owed to the client and the sending. The table
// lock, when both are held, is taken first.
struct Prevention {
  int32_t preventionId = 0;
  LineSocket* client = nullptr;
  int32_t mode = 0; // always a POP3 message download
  Message* message = nullptr;
  int32_t maxTimeoutLines = 1;
  int32_t timeoutLinesSent = 0;
  size_t headerIndex = 0;
  size_t headerOffset = 0;

  std::mutex sendLock;
  // Bytes counted as sent above that the client's connection has not taken yet:
  // a client that stops reading gets nothing more until they are gone, and
  // whatever is left goes out with the session's own output at the end.
  std::string owed;
  bool ended = false;  // stopPrevention has taken the entry over
  bool failed = false; // the connection failed; nothing more is sent
};

using PreventionPtr = std::shared_ptr<Prevention>;

struct PreventionTable {
  std::mutex lock;
  std::vector<PreventionPtr> entries;
  int32_t nextId = 1;
  bool threadRunning = false;
  std::atomic<unsigned> testIntervalMs{0};
};

PreventionTable& table() {
  static PreventionTable instance;
  return instance;
}

unsigned preventionIntervalMs() {
  if (unsigned forTests = table().testIntervalMs.load()) {
    return forTests;
  }
  ConfigRef config = AcquireConfig();
  int32_t seconds =
      config ? config->preventionInterval : static_cast<int32_t>(kPreventionIntervalMs / 1000);
  return static_cast<unsigned>(std::max<int32_t>(seconds, 1)) * 1000u;
}

// A line whose start would go out before tagging is settled: the blank line that
// ends the header block, the end of the message, or the Subject line itself.
bool mustNotStart(std::string_view line) {
  return line.empty() || line[0] == '\r' || line[0] == '.' ||
         equalsIgnoreCase(line.substr(0, std::min<size_t>(8, line.size())),
                          std::string_view("Subject:").substr(0, std::min<size_t>(8, line.size())));
}

// One step for one registration, under both locks: the next piece the client is
// owed. Nothing is added while an earlier piece is still owed.
void keepBusy(Prevention& entry) {
  if (!entry.owed.empty() || entry.failed) {
    return;
  }
  if (entry.timeoutLinesSent < entry.maxTimeoutLines) {
    ++entry.timeoutLinesSent;
    entry.owed = kTimeoutPreventionLine;
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
  entry.owed.assign(1, line[entry.headerOffset]);
  ++entry.headerOffset;
}

// Sends what the client takes of what it is owed, without ever waiting for it:
// a client that stopped reading must not hold up the others.
void payOwed(Prevention& entry) {
  std::lock_guard guard(entry.sendLock);
  if (entry.ended || entry.failed || entry.owed.empty()) {
    return;
  }
  if (entry.client == nullptr) {
    entry.owed.clear(); // a pre-fetch: counted, sent nowhere
    return;
  }
  long taken = entry.client->sendWithoutWaiting(entry.owed.data(), entry.owed.size());
  if (taken < 0) {
    entry.failed = true; // the session finds out on its own
  } else {
    entry.owed.erase(0, static_cast<size_t>(taken));
  }
}

void preventionThread() {
  for (;;) {
    shutdownEvent().wait(std::chrono::milliseconds(preventionIntervalMs()));
    std::vector<PreventionPtr> sweep;
    {
      std::lock_guard guard(table().lock);
      for (const PreventionPtr& entry : table().entries) {
        std::lock_guard owedGuard(entry->sendLock);
        keepBusy(*entry);
      }
      sweep = table().entries;
    }
    // The sends happen outside the table lock, which every retrieval needs.
    for (const PreventionPtr& entry : sweep) {
      payOwed(*entry);
    }
    std::lock_guard guard(table().lock);
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
  auto entry = std::make_shared<Prevention>();
  entry->preventionId = table().nextId++;
  entry->client = client;
  entry->message = &message;
  int64_t announced = message.fetch ? message.fetch->expectedSize : 0;
  entry->maxTimeoutLines =
      static_cast<int32_t>(std::max<int64_t>(1, announced / kBytesPerTimeoutLine));
  table().entries.push_back(entry);
  if (!table().threadRunning) {
    table().threadRunning = startDetachedThread(preventionThread, kPreventionStackSize);
  }
  return entry->preventionId;
}

size_t stopPrevention(int32_t preventionId) {
  PreventionPtr entry;
  std::string owed;
  std::string restOfLine;
  size_t firstIndex = 0;
  {
    std::lock_guard guard(table().lock);
    auto& entries = table().entries;
    auto found = std::find_if(entries.begin(), entries.end(), [&](const PreventionPtr& e) {
      return e->preventionId == preventionId;
    });
    if (found == entries.end()) {
      return 0;
    }
    entry = *found;
    entries.erase(found);
    // Waits for a send in progress (it never waits for the client itself).
    std::lock_guard owedGuard(entry->sendLock);
    entry->ended = true;
    owed = std::move(entry->owed);

    std::vector<std::string>& lines = entry->message->headerLines;
    if (entry->timeoutLinesSent > 0) {
      lines.insert(lines.begin(), static_cast<size_t>(entry->timeoutLinesSent),
                   std::string(kTimeoutPreventionLine));
      entry->headerIndex += static_cast<size_t>(entry->timeoutLinesSent);
    }
    firstIndex = entry->headerIndex;
    if (entry->headerOffset > 0) {
      if (entry->headerIndex < lines.size()) {
        std::string_view rest = lines[entry->headerIndex];
        rest.remove_prefix(std::min(entry->headerOffset, rest.size()));
        restOfLine = rest;
      }
      firstIndex = entry->headerIndex + 1;
    }
  }
  // What the client is owed leaves with the session's next flush, ahead of the
  // rest of the message; writing it may wait for the client, so no lock is held.
  if (entry->client != nullptr && !entry->failed) {
    entry->client->writeString(owed);
    entry->client->writeString(restOfLine);
  }
  return firstIndex;
}

void setPreventionIntervalForTests(unsigned milliseconds) {
  table().testIntervalMs = milliseconds;
}

} // namespace km
