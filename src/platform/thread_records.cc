#include "platform/thread_records.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace km {

namespace {

// The thread-record lock is a spin lock that remembers its owner: held only for a
// few field copies, and the crash handler can try it without blocking.
class RecordLock {
public:
  void lock() {
    ThreadId self = currentThreadId();
    ThreadId expected = 0;
    while (!owner_.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  bool tryLock(int attempts) {
    ThreadId self = currentThreadId();
    for (int i = 0; i < attempts; ++i) {
      ThreadId expected = 0;
      if (owner_.compare_exchange_strong(expected, self, std::memory_order_acquire)) {
        return true;
      }
      std::this_thread::yield();
    }
    return false;
  }
  bool heldByCaller() const { return owner_.load(std::memory_order_relaxed) == currentThreadId(); }
  void unlock() { owner_.store(0, std::memory_order_release); }

private:
  std::atomic<ThreadId> owner_{0};
};

struct RecordTable {
  RecordLock lock;
  std::vector<ThreadRecord> records;
};

RecordTable& table() {
  static RecordTable instance;
  return instance;
}

class TableGuard {
public:
  TableGuard() { table().lock.lock(); }
  ~TableGuard() { table().lock.unlock(); }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;
};

std::atomic<int> runningSessions{0};

template <size_t N> void storeText(char (&field)[N], std::string_view text) {
  size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

ThreadRecord* findLocked(ThreadId id) {
  auto& records = table().records;
  auto found = std::find_if(records.begin(), records.end(),
                            [id](const ThreadRecord& r) { return r.threadId == id; });
  return found == records.end() ? nullptr : &*found;
}

template <typename Change> void changeOwnRecord(Change change) {
  TableGuard guard;
  if (ThreadRecord* record = findLocked(currentThreadId())) {
    change(*record);
  }
}

} // namespace

void initThreadRecords() {
  TableGuard guard;
  table().records.clear();
}

void freeThreadRecords() {
  TableGuard guard;
  table().records.clear();
  table().records.shrink_to_fit();
}

void registerThread(std::string_view type) {
  TableGuard guard;
  ThreadId self = currentThreadId();
  ThreadRecord* record = findLocked(self);
  if (record == nullptr) {
    record = &table().records.emplace_back();
    record->threadId = self;
  }
  storeText(record->threadType, type);
}

void unregisterThread() {
  TableGuard guard;
  auto& records = table().records;
  if (ThreadRecord* record = findLocked(currentThreadId())) {
    *record = records.back();
    records.pop_back();
  }
}

void setSessionHandle(int32_t handle) {
  changeOwnRecord([handle](ThreadRecord& r) { r.sessionHandle = handle; });
}

void setThreadCommand(std::string_view text) {
  changeOwnRecord([text](ThreadRecord& r) { storeText(r.command, text); });
}

void setThreadStatus(std::string_view text) {
  changeOwnRecord([text](ThreadRecord& r) { storeText(r.status, text); });
}

void enterPluginCall(std::string_view plugin, std::string_view function) {
  changeOwnRecord([&](ThreadRecord& r) {
    ++r.pluginDepth;
    if (r.pluginDepth == 1 && r.pluginName[0] == '\0') {
      storeText(r.pluginName, plugin);
      storeText(r.pluginFunction, function);
    }
  });
}

void leavePluginCall(std::string_view plugin, std::string_view function) {
  changeOwnRecord([&](ThreadRecord& r) {
    if (r.pluginDepth == 1 && plugin.substr(0, sizeof r.pluginName - 1) == r.pluginName &&
        function.substr(0, sizeof r.pluginFunction - 1) == r.pluginFunction) {
      r.pluginName[0] = '\0';
      r.pluginFunction[0] = '\0';
    }
    --r.pluginDepth;
  });
}

std::optional<ThreadRecord> findThreadRecord(ThreadId threadId) {
  TableGuard guard;
  if (const ThreadRecord* record = findLocked(threadId)) {
    return *record;
  }
  return std::nullopt;
}

std::optional<ThreadRecord> currentThreadRecord() {
  return findThreadRecord(currentThreadId());
}

size_t threadRecordCount() {
  TableGuard guard;
  return table().records.size();
}

bool copyThreadRecordForCrash(ThreadId threadId, ThreadRecord& out) {
  // A fault inside one of the operations above leaves the lock with this thread;
  // the table is then read as it stands.
  bool ownsLock = table().lock.heldByCaller();
  if (!ownsLock && !table().lock.tryLock(1000)) {
    return false;
  }
  const ThreadRecord* record = findLocked(threadId);
  bool found = record != nullptr;
  if (found) {
    out = *record;
  }
  if (!ownsLock) {
    table().lock.unlock();
  }
  return found;
}

void sessionThreadStarted() {
  runningSessions.fetch_add(1, std::memory_order_acq_rel);
}
void sessionThreadEnded() {
  runningSessions.fetch_sub(1, std::memory_order_acq_rel);
}
int runningSessionCount() {
  return runningSessions.load(std::memory_order_acquire);
}

} // namespace km
