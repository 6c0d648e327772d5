// An update library for tests of the program's side of a check: it keeps a copy of
// the record it was given, can be held inside the check until the test lets it
// go, and then does what the test scripted through the record's callbacks.
#include <kestrelmail/updates.h>

#include <condition_variable>
#include <mutex>
#include <string>

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Probe {
  std::mutex lock;
  std::condition_variable changed;
  bool hold = false;
  bool inside = false;
  int calls = 0;
  KmUpdateCheckRequest seen{};
  std::string texts[4]; // program version, DNSBL date, source, CA file
  // The script.
  uint32_t programTime = 0;
  uint32_t dnsblTime = 0;
  std::string storeDate, storeText, learnCode;
  // What the callbacks answered.
  int32_t stored = -1, knownBefore = -1, knownAfter = -1, shuttingDown = -1;
  double version = 0;
};

Probe probe;

std::string textOf(const char* text) {
  return text != nullptr ? text : "(null)";
}

} // namespace

PROBE_EXPORT void probeScript(uint32_t programTime, uint32_t dnsblTime, const char* storeDate,
                              const char* storeText, const char* learnCode) {
  std::lock_guard guard(probe.lock);
  probe.programTime = programTime;
  probe.dnsblTime = dnsblTime;
  probe.storeDate = textOf(storeDate);
  probe.storeText = textOf(storeText);
  probe.learnCode = textOf(learnCode);
}

PROBE_EXPORT void probeHold(int hold) {
  std::lock_guard guard(probe.lock);
  probe.hold = hold != 0;
  probe.changed.notify_all();
}

PROBE_EXPORT int probeWaitInside() {
  std::unique_lock guard(probe.lock);
  return probe.changed.wait_for(guard, std::chrono::seconds(20), [] { return probe.inside; });
}

PROBE_EXPORT int probeCalls() {
  std::lock_guard guard(probe.lock);
  return probe.calls;
}

PROBE_EXPORT void probeSeen(KmUpdateCheckRequest* record, const char** texts) {
  std::lock_guard guard(probe.lock);
  *record = probe.seen;
  for (int i = 0; i < 4; ++i) {
    texts[i] = probe.texts[i].c_str();
  }
}

PROBE_EXPORT void probeAnswers(int32_t* answers, double* version) {
  std::lock_guard guard(probe.lock);
  answers[0] = probe.stored;
  answers[1] = probe.knownBefore;
  answers[2] = probe.knownAfter;
  answers[3] = probe.shuttingDown;
  *version = probe.version;
}

PROBE_EXPORT void checkForUpdates(KmUpdateCheckRequest* request) {
  std::unique_lock guard(probe.lock);
  ++probe.calls;
  probe.seen = *request;
  probe.texts[0] = textOf(request->programVersion);
  probe.texts[1] = request->dnsblDate;
  probe.texts[2] = textOf(request->dnsblSource);
  probe.texts[3] = textOf(request->tlsCaFile);
  probe.inside = true;
  probe.changed.notify_all();
  probe.changed.wait(guard, [] { return !probe.hold; });
  probe.inside = false;
  request->programLastCheck = probe.programTime;
  request->dnsblLastCheck = probe.dnsblTime;
  if (probe.storeDate != "(null)") {
    probe.stored = request->storeDnsblDefinitions(probe.storeDate.c_str(), probe.storeText.c_str());
  }
  if (probe.learnCode != "(null)") {
    probe.knownBefore = request->isKnownPluginCode(probe.learnCode.c_str());
    request->configLock->lock();
    request->addKnownPluginCode(probe.learnCode.c_str());
    request->configLock->unlock();
    probe.knownAfter = request->isKnownPluginCode(probe.learnCode.c_str());
  }
  probe.version = request->pluginVersion("no-such-plugin");
  probe.shuttingDown = request->shuttingDown();
  request->logLine("probe was here");
}
