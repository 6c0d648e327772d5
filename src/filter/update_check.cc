#include "filter/update_check.h"

#include <kestrelmail/updates.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "config/config.h"
#include "config/dnsbl_definitions.h"
#include "config/plugin_table.h"
#include "diag/activity_log.h"
#include "diag/crash_report.h"
#include "platform/calendar.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "platform/version.h"

namespace km {

namespace {

// libcurl and a TLS handshake need far more than a small worker stack.
constexpr size_t kUpdateStackSize = 1024 * 1024;
constexpr int32_t kFetchTimeoutSeconds = 60;
constexpr int64_t kSecondsPerDay = 86400;
constexpr const char* kUpdateErrorTitle = "Error from Kestrelmail";

// A running check: the record handed to the library and the texts it points to.
struct RunningCheck {
  KmUpdateCheckRequest record{};
  std::string source;
  std::string caFile;
  size_t knownCodesAtStart = 0; // the library only ever adds codes
};

// Under the configuration lock.
struct UpdateState {
  bool running = false;
  std::string namedLibrary; // by start-up
  DynamicLibrary library;
  std::string libraryPath; // of the loaded one
};

UpdateState& updateState() {
  static UpdateState state;
  return state;
}

bool due(bool on, uint32_t lastCheck, int32_t intervalDays, int64_t now) {
  return on && now - int64_t{lastCheck} > int64_t{intervalDays} * kSecondsPerDay;
}

// The callbacks of the record.
int32_t storeDefinitions(const char* date, const char* text) {
  return storeDnsblDefinitions(date, text) ? 1 : 0;
}

double installedVersion(const char* name) {
  return PluginVersion(name);
}

std::string installedVersionText(int installedIndex) {
  auto text = reinterpret_cast<KmGetPluginText>(FindExport(installedIndex, "getPluginVersion"));
  const char* version = text != nullptr ? text() : nullptr;
  return version != nullptr ? version : "";
}

int32_t offeredVersionIsNewer(const char* name, const char* offered) {
  int index = findInstalledPlugin(name);
  if (index < 0 || offered == nullptr) {
    return 0;
  }
  double installed = PluginVersion(name);
  double offeredNumber = readDouble(offered);
  if (offeredNumber != installed) {
    return offeredNumber > installed ? 1 : 0;
  }
  std::string offeredText = toLowerAscii(offered);
  return offeredText > toLowerAscii(installedVersionText(index)) ? 1 : 0;
}

int32_t knownPluginCode(const char* code) {
  return isKnownPluginCode(code) ? 1 : 0;
}

// Learnt codes join the current snapshot now; the update thread saves them with
// the last-check times.
void learnPluginCode(const char* code) {
  RecursiveGuard guard(configLock());
  if (!isKnownPluginCode(code)) {
    updateConfigWithoutSaving(
        [&](Config& changed) { changed.knownPluginCodes.emplace_back(code); });
  }
}

void lockConfiguration() {
  configLock().lock();
}

void unlockConfiguration() {
  configLock().unlock();
}

const KmUpdateLock kConfigurationLock = {lockConfiguration, unlockConfiguration};

int32_t shuttingDown() {
  return stopRequested() ? 1 : 0;
}

void logUpdateLine(const char* text) {
  logGlobalText(LogLevel::Basic, kTextLogUpdateCheck, {text});
}

std::unique_ptr<RunningCheck> makeRequest(const Config& config, bool interactive, bool forced) {
  auto check = std::make_unique<RunningCheck>();
  KmUpdateCheckRequest& r = check->record;
  r.interactive = interactive ? 1 : 0;
  r.forced = forced ? 1 : 0;
  r.programVersion = kProgramVersion;
  r.showWindow = config.showUpdatesWindow ? 1 : 0;
  r.reportBetas = config.informAboutBetas ? 1 : 0;
  r.programCheckOn = config.programUpdatesCheck ? 1 : 0;
  r.programLastCheck = config.programUpdatesLastCheck;
  r.programInterval = config.programUpdatesInterval;
  r.dnsblCheckOn = config.dnsblUpdatesCheck ? 1 : 0;
  r.dnsblLastCheck = config.dnsblUpdatesLastCheck;
  r.dnsblInterval = config.dnsblUpdatesInterval;
  size_t dateLength = std::min(config.dnsblLastUpdated.size(), sizeof r.dnsblDate - 1);
  std::memcpy(r.dnsblDate, config.dnsblLastUpdated.data(), dateLength);
  r.storeDnsblDefinitions = storeDefinitions;
  r.pluginVersion = installedVersion;
  r.pluginUpdateIsNewer = offeredVersionIsNewer;
  r.isKnownPluginCode = knownPluginCode;
  r.addKnownPluginCode = learnPluginCode;
  r.configLock = &kConfigurationLock;
  r.shuttingDown = shuttingDown;
  check->knownCodesAtStart = config.knownPluginCodes.size();
  check->source = config.dnsblUpdatesSource;
  check->caFile = config.tlsCaFile;
  r.dnsblSource = check->source.c_str();
  r.tlsCaFile = check->caFile.empty() ? nullptr : check->caFile.c_str();
  r.tlsVerify = config.tlsVerify ? 1 : 0;
  r.timeoutSeconds = kFetchTimeoutSeconds;
  r.logLine = logUpdateLine;
  return check;
}

// The library's entry point, loading the library on first use; null (the user
// told) when it cannot be loaded or lacks the export.
KmCheckForUpdates findEntryPoint(const std::string& libraryPath) {
  std::string failure;
  {
    RecursiveGuard guard(configLock());
    UpdateState& state = updateState();
    if (!state.library.loaded() || state.libraryPath != libraryPath) {
      state.libraryPath = libraryPath;
      state.library.load(libraryPath, failure);
    }
    if (state.library.loaded()) {
      if (void* entry = state.library.symbol("checkForUpdates")) {
        return reinterpret_cast<KmCheckForUpdates>(entry);
      }
      failure = "Cannot find checkForUpdates!";
    } else {
      logUpdateLine(failure.c_str());
      failure = "Unable to load updates.so!";
    }
  }
  showMessage(kUpdateErrorTitle, failure, NoticeIcon::Stop);
  return nullptr;
}

void updateThread(RunningCheck& check, const std::string& libraryPath) {
  if (KmCheckForUpdates checkForUpdates = findEntryPoint(libraryPath)) {
    checkForUpdates(&check.record);
    const KmUpdateCheckRequest& done = check.record;
    // config.dat is written only when the check learnt something: a save
    // rewrites the whole file and would undo an edit made by hand meanwhile.
    ConfigRef current = AcquireConfig();
    if (current->dnsblUpdatesLastCheck != done.dnsblLastCheck ||
        current->programUpdatesLastCheck != done.programLastCheck ||
        current->knownPluginCodes.size() != check.knownCodesAtStart) {
      updateConfig([&](Config& changed) {
        changed.dnsblUpdatesLastCheck = done.dnsblLastCheck;
        changed.programUpdatesLastCheck = done.programLastCheck;
      });
    }
  }
  // New definitions the library stored are loaded now.
  reloadIfConfigChanged();
}

} // namespace

std::string updateLibraryPath() {
  std::string beside = executableDirectory() + "updates.so";
  std::string installed = executableDirectory() + "../lib/kestrelmail/updates.so";
  return fileExists(beside) || !fileExists(installed) ? beside : installed;
}

void useUpdateLibrary(std::string path) {
  RecursiveGuard guard(configLock());
  updateState().namedLibrary = std::move(path);
}

bool startUpdateCheck(bool interactive, bool forced) {
  std::string library;
  {
    RecursiveGuard guard(configLock());
    library = updateState().namedLibrary;
  }
  return !library.empty() && startUpdateCheck(interactive, forced, library, currentUnixTime());
}

bool startUpdateCheck(bool interactive, bool forced, const std::string& libraryPath, int64_t now) {
  RecursiveGuard guard(configLock());
  UpdateState& state = updateState();
  ConfigRef config = AcquireConfig();
  if (state.running || !config) {
    return false;
  }
  if (!forced &&
      !due(config->programUpdatesCheck, config->programUpdatesLastCheck,
           config->programUpdatesInterval, now) &&
      !due(config->dnsblUpdatesCheck, config->dnsblUpdatesLastCheck, config->dnsblUpdatesInterval,
           now)) {
    return false;
  }
  std::shared_ptr<RunningCheck> check = makeRequest(*config, interactive, forced);
  logGlobalText(LogLevel::Basic, kTextUpdateCheckStarted,
                {check->source.empty() ? std::string("default source") : check->source});
  // Shutdown waits while the check runs, which ends only with the thread's last act.
  state.running = true;
  bool started = startDetachedThread(
      [check, libraryPath]() mutable {
        registerThread("Update");
        runWithFaultGuard([&] { updateThread(*check, libraryPath); });
        unregisterThread();
        check.reset();
        RecursiveGuard ending(configLock());
        updateState().running = false;
      },
      kUpdateStackSize);
  state.running = started;
  return started;
}

bool updateCheckRunning() {
  RecursiveGuard guard(configLock());
  return updateState().running;
}

} // namespace km
