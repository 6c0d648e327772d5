#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>

#include "app/app.h"
#include "app/command_line.h"
#include "app/tray.h"
#include "config/config.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "config/plugin_table.h"
#include "diag/activity_log.h"
#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "diag/repeated_notices.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_statistics.h"
#include "filter/filtering_statistics.h"
#include "filter/received_tracking.h"
#include "filter/update_check.h"
#include "imap4/imap4.h"
#include "net/listeners.h"
#include "net/sessions.h"
#include "platform/calendar.h"
#include "platform/data_path.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/memory.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "platform/version.h"
#include "pop3/pop3.h"
#include "smtp/smtp.h"
#include "ui/shell.h"
#include "ui/statistics_model.h"
#include "ui/tray_icon.h"
#include "ui/web_interface.h"
#include "ui/welcome.h"

namespace km {

namespace {

constexpr unsigned kShutdownPollMs = 100;
constexpr int kRoundsBetweenQuestions = 100;
constexpr int kUpkeepTimerId = 2;
constexpr unsigned kUpkeepIntervalMs = 1000;
constexpr int kFewestStatisticsDays = 1;
constexpr int kMostStatisticsDays = 365;

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

// A line on standard output, where a service says what it does.
void say(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// What a listening port serves, as the user's configuration names it.
std::string portDescription(const PortConfig& port) {
  switch (port.type) {
  case PortType::Pop3Specific:
    return formatText(languageText(kTextPortChoicePop3Specific), {port.serverName});
  case PortType::Pop3Generic:
    return languageText(kTextPortChoicePop3Generic);
  case PortType::Imap4Specific:
    return formatText(languageText(kTextPortChoiceImap4Specific), {port.serverName});
  case PortType::Imap4Generic:
    return languageText(kTextPortChoiceImap4Generic);
  default:
    return formatText(languageText(kTextPortChoiceSmtpSpecific), {port.serverName});
  }
}

// Tells which ports the program listens on: every one as it opens, and every one
// that a reload closes.
class PortAnnouncer {
public:
  void follow() {
    std::vector<ListeningPort> now = listening();
    for (const ListeningPort& port : shown_) {
      if (std::find(now.begin(), now.end(), port) == now.end()) {
        say(formatText(languageText(kTextNoLongerListening),
                       {port.address, port.port, port.serves}));
      }
    }
    for (const ListeningPort& port : now) {
      if (std::find(shown_.begin(), shown_.end(), port) == shown_.end()) {
        say(formatText(languageText(kTextListening), {port.address, port.port, port.serves}));
      }
    }
    shown_ = std::move(now);
  }

private:
  struct ListeningPort {
    std::string address;
    int port = 0;
    std::string serves;
    bool operator==(const ListeningPort&) const = default;
  };

  // One entry for each definition a listener serves.
  static std::vector<ListeningPort> listening() {
    std::vector<ListeningPort> ports;
    ConfigRef config = AcquireConfig();
    if (!config) {
      return ports;
    }
    for (const ListenerInfo& listener : listListeners()) {
      for (uint32_t id : listener.portConfigIds) {
        for (const PortConfig& port : config->ports) {
          if (port.id == id && !listener.retired) {
            ports.push_back(
                {ipToString(listener.bindAddress), listener.port, portDescription(port)});
          }
        }
      }
    }
    return ports;
  }

  std::vector<ListeningPort> shown_;
};

// "kestrelmail -stats": the day statistics as the data directory holds them, for
// a user at a terminal. It only reads, so it runs beside a running program.
int printFilteringStatistics(const Options& options) {
  chooseDataDirectory(options.configDirectory);
  useUserDateLanguage();
  std::string path = dataPath("statistics.dat");
  if (!fileExists(path)) {
    say(formatText(languageText(kTextStatsNone), {path}));
    return 0;
  }
  // The days the program keeps, as it would show them now.
  std::optional<std::string> days = readSavedSetting("FILTERING_STATS_DAYS");
  int shown = days ? std::clamp(readConfigNumber(*days), kFewestStatisticsDays, kMostStatisticsDays)
                   : Config{}.filteringStatsDays;
  rebuildFilteringStatistics(shown);
  loadFilteringStatistics();
  StatisticsModel model = statisticsModel();
  model.dnsbls.clear();
  say(formatText(languageText(kTextStatsHeading), {shown, path}));
  std::fputs(statisticsText(model).c_str(), stdout);
  say(languageText(kTextStatsDnsblNotSaved));
  return 0;
}

// The shutdown sequence after the main loop has ended.
int shutDown(int exitCode) {
  killTimer(kUpkeepTimerId);
  saveFilteringStatistics();
  stopTrayIcon();
  stopWebInterface();
  closeAllListeners();
  waitForThreads();
  flushRepeatedNotices(true);
  cacheSave();
  // Sessions save these as they end; a save that failed then is tried once more.
  SaveAutoWhitelistState();
  SaveReceivedTracking();
  // The plug-ins hand back their data with the last snapshot; their libraries go
  // unless a session that was not waited for may still be inside one.
  releaseCurrentConfig();
  if (runningSessionCount() == 0) {
    unloadPlugins();
  }
  freeThreadRecords();
  removeTrayIcon();
  closeMainLoop();
  say(languageText(kTextStopped));
  return exitCode;
}

// After every configuration load: the listening ports follow it on the main thread
// (a load may happen on a session thread), the tray shows its filtering state and
// the status window's DNSBL table follows the defined lists.
void followLoadedConfig(const std::shared_ptr<PortAnnouncer>& announcer) {
  postMainThreadCall([announcer] {
    reloadListeners();
    announcer->follow();
  });
  showTrayState();
  if (ConfigRef loaded = AcquireConfig()) {
    syncDnsblStatisticsLists(*loaded);
    rebuildFilteringStatistics(loaded->filteringStatsDays);
  }
}

// What the program does when its configuration cannot be kept: without readable
// settings, or unable to make a new config.dat at all, it cannot run (each change
// would be lost); a save whose new file could not be written keeps the old file
// and was reported, and the program goes on. A user who declined a newer
// version's file wants the program closed.
void decideOnConfigTrouble(ConfigTrouble trouble) {
  switch (trouble) {
  case ConfigTrouble::ExistsUnreadable:
    // A reload keeps running on the snapshot it has; a start has none.
    if (!AcquireConfig()) {
      postQuitMessage(1);
    }
    break;
  case ConfigTrouble::CannotCreate:
  case ConfigTrouble::CannotCreateNewFile:
    postQuitMessage(1);
    break;
  case ConfigTrouble::NewerVersionDeclined:
    postQuitMessage(0);
    break;
  case ConfigTrouble::None:
  case ConfigTrouble::CannotWriteNewFile:
  case ConfigTrouble::NotLoaded:
    break;
  }
}

// After the machine slept, every listening socket is opened anew.
void reopenListeners() {
  closeAllListeners();
  reloadListeners();
}

} // namespace

void installLayerHooks() {
  setSessionEntries({runPop3Session, runImap4Session, runSmtpSession});
  setSessionActivityHandlers(sessionBusy, sessionIdle);
  setConfigHandlers({notifyForReply, decideOnConfigTrouble});
  setShellHooks({trayShellState, runPageCommand});
}

namespace {

// The pages open on the configured loopback port; the address with this run's
// token is said once.
void openPages() {
  ConfigRef config = AcquireConfig();
  int port = config ? config->webInterfacePort : 0;
  config.reset();
  WebInterfaceStart pages = startWebInterface(port);
  if (!pages.trouble.empty()) {
    say(pages.trouble);
  }
  if (pages.serving) {
    say(formatText(languageText(kTextWebAddress), {pages.address}));
  }
}

} // namespace

bool trayIconWanted() {
  return trayIconOn.load();
}

void waitForThreads() {
  raiseStopFlag();
  int rounds = 0;
  while (runningSessionCount() >= 1 || updateCheckRunning()) {
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
  bool statisticsOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--help" || word == "--version") {
      std::fputs(word == "--help" ? usageText().c_str() : versionText().c_str(), stdout);
      return 0;
    }
    statisticsOnly = statisticsOnly || equalsIgnoreCase(word, "-stats");
  }
  // Signals that arrive while starting wait for the main loop instead of ending the
  // program half-way.
  blockLoopSignals();
  useUserDateLanguage();
  fixHeapThresholds();
  std::string commandLine = commandLineFromArguments(argc, argv);

  // The string table comes first: every later message needs it.
  std::string languageFile = executableDirectory() + "kestrelmail.lang";
  if (!loadLanguageTable(languageFile)) {
    showMessage("Error from Kestrelmail",
                "Unable to load language resources!\n(Kestrelmail looked for " + languageFile + ")",
                NoticeIcon::Stop);
    return 1;
  }

  if (statisticsOnly) {
    return printFilteringStatistics(readOptions(commandLine));
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
      showMessage(languageText(kTextOtherInstanceTitle),
                  formatText(languageText(kTextOtherInstanceRunning),
                             {instanceLockHolder(kInstanceLockName)}),
                  NoticeIcon::Exclamation);
    }
    closeMainLoop();
    return 1;
  }

  installLayerHooks();
  useUpdateLibrary(updateLibraryPath());
  initThreadRecords();
  initListeners();

  if (!prepareDataDirectory()) {
    closeMainLoop();
    return 1;
  }
  installFaultHandlers();
  say(formatText(languageText(kTextStarting), {kProgramVersion, dataPath("")}));

  // A configuration that can neither be read nor created has posted the quit
  // message; start-up ends there and the shutdown sequence runs.
  DiscoverPlugins();
  auto announcer = std::make_shared<PortAnnouncer>();
  setConfigLoadedHandler([announcer] { followLoadedConfig(announcer); });
  if (!loadConfigFile()) {
    return shutDown(runMainLoop());
  }
  loadFilteringStatistics();
  cacheLoad();
  LoadAutoWhitelistState();
  LoadReceivedTracking();

  // A first start with nobody at a screen does what the welcome window does when
  // it is opened and closed on its first page: the program then serves at once.
  if (ConfigRef first = AcquireConfig(); first && first->isFirstRun) {
    first.reset();
    for (const std::string& text : welcomeNewUser()) {
      say(text);
    }
    announcer->follow();
  }

  ConfigRef config = AcquireConfig();
  if (config && config->loggingEnabled) {
    mergeOrphanedSessionLogs();
  }
  config.reset();

  openPages();
  addTrayIcon();
  // On a desktop the tray icon shows the same state and opens the pages.
  if (trayIconWanted()) {
    startTrayIcon(executableDirectory() + "icons");
  }
  trimMemory();
  setTimer(kUpkeepTimerId, kUpkeepIntervalMs, upkeep);
  return shutDown(runMainLoop());
}

} // namespace km
