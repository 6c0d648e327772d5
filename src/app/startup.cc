#include <atomic>
#include <optional>

#include "app/app.h"
#include "app/command_line.h"
#include "app/main_loop.h"
#include "app/tray.h"
#include "config/config.h"
#include "config/data_dir.h"
#include "diag/activity_log.h"
#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "diag/repeated_notices.h"
#include "filter/dnsbl_cache.h"
#include "net/listeners.h"
#include "net/thread_records.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/lang.h"
#include "platform/memory.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/threads.h"
#include "ui/dnsbl_statistics.h"

namespace km {

namespace {

constexpr unsigned kShutdownPollMs = 100;
constexpr int kRoundsBetweenQuestions = 100;
constexpr int kUpkeepTimerId = 2;
constexpr unsigned kUpkeepIntervalMs = 1000;

std::atomic<bool> trayIconOn{true};

struct Options {
  std::optional<std::string> configDirectory;
  bool trayIcon = true;
  bool allowMultipleInstances = false;
  bool suppressMultipleInstancesWarning = false;
};

Options readOptions(const std::string& commandLine) {
  Options options;
  std::vector<std::string> directory = findOption(commandLine, "-configdir");
  if (!directory.empty()) {
    options.configDirectory = directory.front();
  }
  std::vector<std::string> tray = findOption(commandLine, "-trayicon");
  options.trayIcon = tray.empty() || !equalsIgnoreCase(tray.front(), "none");
  options.allowMultipleInstances =
      equalsIgnoreCase(firstOptionValue(commandLine, "-allow_multiple_instances"), "yes");
  options.suppressMultipleInstancesWarning = equalsIgnoreCase(
      firstOptionValue(commandLine, "-suppress_multiple_instances_warning"), "yes");
  return options;
}

// Once a second on the main thread: heap memory freed by ended sessions goes
// back to the system once the program is idle, and bursts of notices are summed
// up.
void upkeep() {
  trimMemoryIfDue(runningSessionCount() == 0, tickCountMs());
  flushRepeatedNotices();
}

// The shutdown sequence after the main loop has ended.
int shutDown(int exitCode) {
  killTimer(kUpkeepTimerId);
  closeAllListeners();
  waitForThreads();
  flushRepeatedNotices(true);
  cacheSave();
  releaseCurrentConfig();
  freeThreadRecords();
  removeTrayIcon();
  closeMainLoop();
  return exitCode;
}

// After every configuration load: the listening ports follow it on the main thread
// (a load may happen on a session thread), the tray shows its filtering state and
// the status window's DNSBL table follows the defined lists.
void followLoadedConfig() {
  postMainThreadCall(reloadListeners);
  showTrayState();
  if (ConfigRef loaded = AcquireConfig()) {
    syncDnsblStatisticsLists(*loaded);
  }
}

// After the machine slept, every listening socket is opened anew.
void reopenListeners() {
  closeAllListeners();
  reloadListeners();
}

} // namespace

bool trayIconWanted() {
  return trayIconOn.load();
}

void waitForThreads() {
  raiseStopFlag();
  int rounds = 0;
  while (runningSessionCount() >= 1) {
    sleepMs(kShutdownPollMs);
    dispatchPendingCalls();
    if (++rounds % kRoundsBetweenQuestions == 0 &&
        askYesNo(languageText(kTextErrorTitle), languageText(kTextStopWaitingForSessions),
                 NoticeIcon::Exclamation, true)) {
      return;
    }
  }
}

void exitProgram() {
  waitForThreads();
  postQuitMessage(0);
}

int runKestrelmail(int argc, const char* const* argv) {
  // Signals that arrive while starting wait for the main loop instead of ending the
  // program half-way.
  blockLoopSignals();
  fixHeapThresholds();
  std::string commandLine = commandLineFromArguments(argc, argv);

  // The string table comes first: every later message needs it.
  if (!loadLanguageTable(executableDirectory() + "kestrelmail.lang")) {
    showMessage("Error from Kestrelmail", "Unable to load language resources!", NoticeIcon::Stop);
    return 1;
  }

  // The main loop stands in for the hidden main window.
  MainLoopHandlers handlers;
  handlers.onExitRequested = [] {
    exitProgram();
  };
  handlers.onHangup = [] {
    reloadIfConfigChanged();
  };
  handlers.onResume = reopenListeners;
  if (!initMainLoop(std::move(handlers))) {
    reportSystemError("", nullptr);
    return 0;
  }

  Options options = readOptions(commandLine);
  trayIconOn = options.trayIcon;
  chooseDataDirectory(options.configDirectory);

  // One instance per user, unless told otherwise.
  InstanceLock instance = InstanceLock::acquire(kInstanceLockName);
  if (instance.state() == InstanceLock::State::HeldElsewhere && !options.allowMultipleInstances) {
    if (!options.suppressMultipleInstancesWarning) {
      showMessage(languageText(kTextOtherInstanceTitle), languageText(kTextOtherInstanceRunning),
                  NoticeIcon::Exclamation);
    }
    closeMainLoop();
    return 1;
  }

  initThreadRecords();
  initListeners();

  if (!prepareDataDirectory()) {
    closeMainLoop();
    return 1;
  }
  installFaultHandlers();

  // A configuration that can neither be read nor created has posted the quit
  // message; start-up ends there and the shutdown sequence runs.
  setConfigLoadedHandler(followLoadedConfig);
  if (!loadConfigFile()) {
    return shutDown(runMainLoop());
  }
  cacheLoad();

  ConfigRef config = AcquireConfig();
  if (config && config->loggingEnabled) {
    mergeOrphanedSessionLogs();
  }
  config.reset();

  addTrayIcon();
  trimMemory();
  setTimer(kUpkeepTimerId, kUpkeepIntervalMs, upkeep);
  return shutDown(runMainLoop());
}

} // namespace km
