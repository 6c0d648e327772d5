#include "diag/repeated_notices.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/threads.h"

namespace km {

namespace {

struct Window {
  uint64_t openedAtMs = 0;
  int64_t repeats = 0;
  std::function<void(int64_t)> summary;
};

struct RepeatTable {
  std::mutex lock;
  std::map<std::string, Window> windows;
  std::atomic<uint64_t> testWindowMs{0};
};

RepeatTable& table() {
  static RepeatTable instance;
  return instance;
}

uint64_t windowMs() {
  uint64_t forTests = table().testWindowMs.load();
  return forTests != 0 ? forTests : kRepeatWindowMs;
}

} // namespace

bool giveOnceThenCount(const std::string& kind, std::function<void(int64_t)> summary) {
  // A window that has passed is summed up before the new notice is given.
  flushRepeatedNotices();
  std::lock_guard guard(table().lock);
  auto [window, opened] = table().windows.try_emplace(kind);
  if (opened) {
    window->second.openedAtMs = tickCountMs();
    window->second.summary = std::move(summary);
    return true;
  }
  ++window->second.repeats;
  return false;
}

void flushRepeatedNotices(bool all) {
  std::vector<Window> closed;
  {
    std::lock_guard guard(table().lock);
    uint64_t now = tickCountMs();
    for (auto it = table().windows.begin(); it != table().windows.end();) {
      if (all || now - it->second.openedAtMs >= windowMs()) {
        if (it->second.repeats > 0) {
          closed.push_back(std::move(it->second));
        }
        it = table().windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const Window& window : closed) {
    if (window.summary) {
      window.summary(window.repeats);
    }
  }
}

void setRepeatWindowForTests(uint64_t milliseconds) {
  table().testWindowMs = milliseconds;
}

} // namespace km
