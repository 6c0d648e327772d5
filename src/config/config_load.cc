// Loading config.dat into a new snapshot, with the conversions of older files and
// the write-backs a load calls for.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config_internal.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "config/dnsbl_definitions.h"
#include "config/lists.h"
#include "config/plugin_table.h"
#include "diag/activity_log.h"
#include "diag/error_report.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/version.h"

namespace km {

namespace {

// Names of the plug-ins the load treats specially.
constexpr std::string_view kScattererPlugin = "scatterer";
constexpr std::string_view kPortalPlugin = "portal_wlister";
constexpr std::string_view kPagemarkerPlugin = "pagemarker";
constexpr std::string_view kPortalDnsblKey = "iPortal";

// What one load remembers beside the snapshot it builds.
struct LoadState {
  explicit LoadState(Config& snapshot) : config(snapshot) {}
  Config& config;
  std::string language = "English";
  bool converted = false; // older keys seen, newer version accepted: rewrite
  bool rewrite = false;   // an unknown DNSBL key or another language: rewrite
  bool quitRequested = false;
  PortLoadState ports;
  std::vector<std::pair<std::string, std::string>> unknownDnsbl; // key, name
  std::string trayPluginName;
  // The lines as read, by number, to tell the user which of them a rewrite drops
  // or changes; and the file as it was, for its backup.
  std::vector<std::pair<int, std::string>> lines;
  std::string fileText;
  bool firstRunFile = false; // the program wrote the file just now
};

// The range each numeric setting is kept in; a value outside it is taken as the
// nearest end (and reported as a changed line when the file is rewritten). The
// README lists them.
struct NumberRange {
  int32_t Config::*field;
  int32_t lowest;
  int32_t highest;
};
constexpr NumberRange kNumberRanges[] = {
    {&Config::autoWlistFromNumMails, 1, 1000}, {&Config::autoWlistIpNumMails, 1, 1000},
    {&Config::logMaxSize, 1, 1048576},         {&Config::filteringStatsDays, 1, 365},
    {&Config::programUpdatesInterval, 1, 365}, {&Config::dnsblUpdatesInterval, 1, 365},
    {&Config::maxDnsblThreads, 1, 200},        {&Config::dnsblTimeout, 1, 600},
    {&Config::maxSessions, 0, 100000},         {&Config::clientIdleTimeout, 0, 86400},
    {&Config::preventionInterval, 1, 3600},    {&Config::webInterfacePort, 0, 65535},
};
constexpr int32_t kLongestCacheDays = 3650;
constexpr int32_t kLongestCacheHours = 8760;

void keepNumbersInRange(Config& c) {
  for (const NumberRange& range : kNumberRanges) {
    c.*range.field = std::clamp(c.*range.field, range.lowest, range.highest);
  }
  for (CachePeriod* period : {&c.dnsblPositivePeriod, &c.dnsblNegativePeriod}) {
    period->a = std::min(period->a, kLongestCacheDays);
    period->b = std::min(period->b, kLongestCacheHours);
  }
  keepPortNumbersInRange(c.ports);
}

bool isYes(std::string_view value) {
  return equalsIgnoreCase(value, "YES");
}
bool isNotNo(std::string_view value) {
  return !equalsIgnoreCase(value, "NO");
}

CachePeriod readPeriod(std::string_view value) {
  CachePeriod period{readConfigNumber(value), 0};
  size_t comma = value.find(',');
  if (comma != std::string_view::npos) {
    period.b = readConfigNumber(value.substr(comma + 1));
  }
  return period;
}

// Older keys whose lines move into other files.
struct MovedKey {
  const char* key;
  const char* file;
};
constexpr MovedKey kStatusWindowKeys[] = {
    {"STATUS_WINDOW_X", nullptr},
    {"STATUS_WINDOW_Y", nullptr},
    {"STATUS_WINDOW_WIDTH", nullptr},
    {"STATUS_WINDOW_HEIGHT", nullptr},
    {"STATUS_COL_WIDTH_CONNECTION", nullptr},
    {"STATUS_COL_WIDTH_PROTOCOL", nullptr},
    {"STATUS_COL_WIDTH_SERVER", nullptr},
    {"STATUS_COL_WIDTH_USER", nullptr},
    {"STATUS_COL_WIDTH_COMMAND", nullptr},
    {"STATUS_COL_WIDTH_PROGRESS", nullptr},
    {"STATUS_COL_WIDTH_STATUS", nullptr},
    {"STATUS_WINDOW_MAXIMISED", nullptr},
};
constexpr MovedKey kListKeys[] = {
    {"WLIST_IP", "wlist_ip.dat"},           {"WLIST_FROM", "wlist_email.dat"},
    {"BLIST_IP", "blist_ip.dat"},           {"BLIST_FROM", "blist_email.dat"},
    {"AUTO_WLIST_IP", "auto_wlist_ip.dat"}, {"AUTO_WLIST_FROM", "auto_wlist_from.dat"},
};

void appendToDataFile(const char* name, const std::string& line) {
  std::string path = dataPath(name);
  File file = openFileRetrying(path, "a");
  if (!file) {
    reportRuntimeError(path, nullptr);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), file.get());
  if (!closeFile(file)) {
    reportRuntimeError(path, nullptr);
  }
}

int findDnsblList(const Config& config, std::string_view key) {
  for (size_t i = 0; i < config.dnsblLists.size(); ++i) {
    if (equalsIgnoreCase(config.dnsblLists[i].key, key)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void applyDnsblLine(LoadState& load, std::string_view value) {
  size_t space = value.find(' ');
  std::string_view key = value.substr(0, space);
  std::string_view name = space == std::string_view::npos ? value : value.substr(space + 1);
  int index = findDnsblList(load.config, key);
  if (index >= 0) {
    load.config.enabledDnsbl.push_back(index);
    return;
  }
  tellUser(languageText(kTextNoticeTitle), formatText(languageText(kTextUnknownDnsblKey), {name}),
           NoticeIcon::Information);
  load.unknownDnsbl.emplace_back(key, name);
  load.rewrite = true;
}

void applyEnabledPlugin(LoadState& load, std::string_view value) {
  size_t end = 0;
  while (end < value.size() && static_cast<unsigned char>(value[end]) > 32) {
    ++end;
  }
  std::string_view name = value.substr(0, end);
  int index = findInstalledPlugin(name);
  if (index < 0) {
    std::string_view rest = end < value.size() ? value.substr(end + 1) : std::string_view();
    tellUser(languageText(kTextNoticeTitle),
             formatText(languageText(kTextPluginNotInstalled), {rest}), NoticeIcon::Exclamation);
    return;
  }
  load.config.enabledPlugins.push_back(enabledPlugin(index));
}

void checkCompatibility(LoadState& load, std::string_view value) {
  double version = readDouble(value);
  if (version <= kProgramVersionNumber) {
    return;
  }
  std::string text = formatText(languageText(kTextNewerConfigVersion),
                                {value, kProgramVersion, kProgramVersion, value, kProgramVersion});
  if (askUser(languageText(kTextNoticeTitle), text, NoticeIcon::Exclamation,
              NoticeButtons::OkCancel, false)) {
    load.converted = true;
  } else {
    load.quitRequested = true;
  }
}

bool applyLoggingLevel(Config& config, std::string_view value) {
  static constexpr std::string_view kLevels[] = {"MINIMAL", "BASIC", "STANDARD", "VERBOSE",
                                                 "EXTREME"};
  for (size_t i = 0; i < std::size(kLevels); ++i) {
    if (equalsIgnoreCase(value, kLevels[i])) {
      config.loggingLevel = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

void applyTrayAction(LoadState& load, std::string_view value) {
  Config& config = load.config;
  if (equalsIgnoreCase(value, "STATUS")) {
    config.trayAction = TrayAction::Status;
  } else if (equalsIgnoreCase(value, "OPTIONS")) {
    config.trayAction = TrayAction::Options;
  } else if (equalsIgnoreCase(value, "NONE")) {
    config.trayAction = TrayAction::None;
  } else if (startsWithIgnoreCase(value, "PLUGIN") && (value.size() == 6 || value[6] == ' ')) {
    config.trayAction = TrayAction::Plugin;
    load.trayPluginName = std::string(value.size() > 7 ? value.substr(7) : std::string_view());
  } else {
    config.trayAction = TrayAction::Status;
  }
}

// Applies one global key; false when the key is not one of them.
bool applyGlobalKey(LoadState& load, std::string_view key, std::string_view value) {
  Config& c = load.config;
  auto is = [&](std::string_view name) {
    return equalsIgnoreCase(key, name);
  };

  if (is("VERSION")) {
  } else if (is("Kestrelmail_COMPATIBILITY")) {
    checkCompatibility(load, value);
  } else if (is("LANGUAGE")) {
    load.language = std::string(value);
  } else if (is("IS_FIRST_RUN")) {
    c.isFirstRun = isYes(value);
  } else if (is("FILTERING_DISABLED")) {
    c.filteringDisabled = isYes(value);
  } else if (is("AWLIST_FILTERING_DISABLED")) {
    c.awlistFilteringDisabled = isYes(value);
  } else if (is("ALWAYS_SHOW_POP3_APOP_WARNING")) {
    c.alwaysShowApopWarning = isNotNo(value);
  } else if (is("ALWAYS_SHOW_POP3_SASL_WARNING")) {
    c.alwaysShowSaslWarning = isNotNo(value);
  } else if (is("ALWAYS_CONFIRM_EXIT")) {
    c.alwaysConfirmExit = isNotNo(value);
  } else if (is("SHOWN_SCATTERER_WARNING")) {
    c.shownScattererWarning = isYes(value);
  } else if (is("SHOWN_PORTAL_WLISTER_WARNING")) {
    c.shownPortalWarning = isYes(value);
  } else if (is("DNSBL")) {
    applyDnsblLine(load, value);
  } else if (is("ENABLED_PLUGIN")) {
    applyEnabledPlugin(load, value);
  } else if (is("KNOWN_INSTALLED_PLUGIN")) {
    c.knownInstalled.push_back(findInstalledPlugin(value));
  } else if (is("ANNOUNCE_NEW_INSTALLED_PLUGINS")) {
    c.announceNewPlugins = isYes(value);
  } else if (is("KNOWN_PLUGIN_CODE")) {
    c.knownPluginCodes.emplace_back(value);
  } else if (is("TAG_SUBJECT")) {
    c.tagSubject = !equalsIgnoreCase(value, "FALSE");
  } else if (is("SUBJECT_TAG_STRING")) {
    c.subjectTagString = std::string(value);
  } else if (is("X_Kestrelmail_IN_SUBJECT")) {
    c.verdictInSubject = isYes(value);
  } else if (is("TAG_LOCATION")) {
    c.tagAsSuffix = equalsIgnoreCase(value, "SUFFIX");
  } else if (is("ADD_BWLIST_REASON_HEADERS")) {
    c.addReasonHeaders = isYes(value);
  } else if (is("USE_AUTO_WLIST_FROM")) {
    c.useAutoWlistFrom = isYes(value);
  } else if (is("AUTO_WLIST_FROM_NUM_MAILS")) {
    c.autoWlistFromNumMails = readConfigNumber(value);
  } else if (is("USE_AUTO_WLIST_IP")) {
    c.useAutoWlistIp = isYes(value);
  } else if (is("AUTO_WLIST_IP_NUM_MAILS")) {
    c.autoWlistIpNumMails = readConfigNumber(value);
  } else if (is("USE_AUTO_WLIST_FROM_LOGGING")) {
    c.autoWlistFromLogging = isYes(value);
  } else if (is("USE_AUTO_WLIST_IP_LOGGING")) {
    c.autoWlistIpLogging = isYes(value);
  } else if (is("LOGGING_ENABLED")) {
    c.loggingEnabled = isYes(value);
  } else if (is("LOGFILE")) {
    c.logFile = std::string(value);
  } else if (is("LOGGING_LEVEL")) {
    applyLoggingLevel(c, value);
  } else if (is("LOG_MAX_SIZE")) {
    c.logMaxSize = readConfigNumber(value);
  } else if (is("STATUS_WINDOW_AUTO_OPEN")) {
    c.statusWindowAutoOpen = isYes(value);
  } else if (is("STATUS_WINDOW_TOPMOST")) {
    c.statusWindowTopmost = isYes(value);
  } else if (is("FILTERING_STATS_DAYS")) {
    c.filteringStatsDays = readConfigNumber(value);
  } else if (is("TRAY_ACTION")) {
    applyTrayAction(load, value);
  } else if (is("SHOW_UPDATES_WINDOW")) {
    c.showUpdatesWindow = isYes(value);
  } else if (is("INFORM_ABOUT_NEW_BETAS")) {
    c.informAboutBetas = isYes(value);
  } else if (is("Kestrelmail_UPDATES_CHECK")) {
    c.programUpdatesCheck = isYes(value);
  } else if (is("Kestrelmail_UPDATES_CHECK_INTERVAL")) {
    c.programUpdatesInterval = readConfigNumber(value);
  } else if (is("Kestrelmail_UPDATES_LAST_CHECK")) {
    c.programUpdatesLastCheck =
        static_cast<uint32_t>(std::min<int64_t>(readConfigLong(value), UINT32_MAX));
  } else if (is("DNSBL_UPDATES_CHECK")) {
    c.dnsblUpdatesCheck = isYes(value);
  } else if (is("DNSBL_UPDATES_CHECK_INTERVAL")) {
    c.dnsblUpdatesInterval = readConfigNumber(value);
  } else if (is("DNSBL_UPDATES_LAST_CHECK")) {
    c.dnsblUpdatesLastCheck =
        static_cast<uint32_t>(std::min<int64_t>(readConfigLong(value), UINT32_MAX));
  } else if (is("MAX_DNSBL_THREADS")) {
    c.maxDnsblThreads = readConfigNumber(value);
  } else if (is("DNSBL_TIME_OUT")) {
    c.dnsblTimeout = readConfigNumber(value);
  } else if (is("DNSBL_POSITIVE_CACHE_PERIOD")) {
    c.dnsblPositivePeriod = readPeriod(value);
  } else if (is("DNSBL_NEGATIVE_CACHE_PERIOD")) {
    c.dnsblNegativePeriod = readPeriod(value);
  } else if (is("EXTRA_WLIST_IP")) {
    c.extraWlistIpFiles.emplace_back(value);
  } else if (is("EXTRA_BLIST_IP")) {
    c.extraBlistIpFiles.emplace_back(value);
  } else if (is("EXTRA_WLIST_FROM")) {
    c.extraWlistFromFiles.emplace_back(value);
  } else if (is("EXTRA_BLIST_FROM")) {
    c.extraBlistFromFiles.emplace_back(value);
  } else if (is("TLS_VERIFY")) {
    c.tlsVerify = isNotNo(value);
  } else if (is("TLS_CA_FILE")) {
    c.tlsCaFile = std::string(value);
  } else if (is("DNSBL_UPDATES_SOURCE")) {
    c.dnsblUpdatesSource = std::string(value);
  } else if (is("DNSBL_NAMESERVER")) {
    c.dnsblNameserver = std::string(value);
  } else if (is("MAX_SESSIONS")) {
    c.maxSessions = readConfigNumber(value);
  } else if (is("CLIENT_IDLE_TIME_OUT")) {
    c.clientIdleTimeout = readConfigNumber(value);
  } else if (is("TIME_OUT_PREVENTION_INTERVAL")) {
    c.preventionInterval = readConfigNumber(value);
  } else if (is("WEB_INTERFACE_PORT")) {
    c.webInterfacePort = readConfigNumber(value);
  } else {
    return false;
  }
  return true;
}

// Keys of older files, accepted on reading and never written.
bool applyOlderKey(LoadState& load, std::string_view key, std::string_view value) {
  Config& c = load.config;
  if (equalsIgnoreCase(key, "USE_AUTO_WLIST_LOGGING")) {
    c.autoWlistFromLogging = c.autoWlistIpLogging = isYes(value);
    return true;
  }
  if (equalsIgnoreCase(key, "TRAY_OPENS_STATUS")) {
    c.trayAction = isYes(value) ? TrayAction::Status : TrayAction::Options;
    return true;
  }
  for (const MovedKey& moved : kStatusWindowKeys) {
    if (equalsIgnoreCase(key, moved.key)) {
      appendToDataFile("status_win_pos.dat", std::string(key) + " " + std::string(value) + "\n");
      load.converted = true;
      return true;
    }
  }
  for (const MovedKey& moved : kListKeys) {
    if (equalsIgnoreCase(key, moved.key)) {
      appendToDataFile(moved.file, std::string(value) + "\n");
      load.converted = true;
      return true;
    }
  }
  return false;
}

void readConfigLines(LoadState& load, FILE* file) {
  std::string line;
  int number = 1;
  bool endsLine = false;
  for (; readConfigLine(file, line, &endsLine); number += endsLine ? 1 : 0) {
    if (number == 1 && line.starts_with(kUtf8ByteOrderMark)) {
      line.erase(0, kUtf8ByteOrderMark.size());
    }
    if (!line.empty()) {
      load.lines.emplace_back(number, line);
    }
    KeyValue entry = splitKeyValue(line);
    if (entry.key.empty()) {
      continue;
    }
    if (!applyGlobalKey(load, entry.key, entry.value) &&
        !applyPortKey(load.config, load.ports, entry.key, entry.value)) {
      applyOlderKey(load, entry.key, entry.value);
    }
  }
}

// Step 11: a DNSBL key that named no list may have a successor that replaces it.
void offerReplacementLists(LoadState& load) {
  Config& c = load.config;
  for (const auto& missing : load.unknownDnsbl) {
    const std::string& missingKey = missing.first;
    const std::string& missingName = missing.second;
    for (size_t i = 0; i < c.dnsblLists.size(); ++i) {
      const DnsblList& list = c.dnsblLists[i];
      bool replaces =
          std::any_of(list.replaces.begin(), list.replaces.end(),
                      [&](const std::string& k) { return equalsIgnoreCase(k, missingKey); });
      bool enabled = std::find(c.enabledDnsbl.begin(), c.enabledDnsbl.end(), static_cast<int>(i)) !=
                     c.enabledDnsbl.end();
      if (!replaces || enabled) {
        continue;
      }
      std::string text =
          formatText(languageText(kTextReplacementDnsbl), {list.name, missingName, list.name});
      if (askUser(languageText(kTextNoticeTitle), text, NoticeIcon::Question,
                  NoticeButtons::OkCancel, false)) {
        c.enabledDnsbl.push_back(static_cast<int>(i));
      }
    }
  }
}

bool isEnabledPlugin(const Config& config, std::string_view name) {
  int index = findInstalledPlugin(name);
  return index >= 0 &&
         std::any_of(config.enabledPlugins.begin(), config.enabledPlugins.end(),
                     [index](const EnabledPlugin& p) { return p.installedIndex == index; });
}

void disablePlugin(Config& config, std::string_view name) {
  int index = findInstalledPlugin(name);
  std::erase_if(config.enabledPlugins,
                [index](const EnabledPlugin& p) { return p.installedIndex == index; });
}

// Step 13's questions about plug-ins: newly installed ones, and the plug-ins that
// need a word with the user once.
void askAboutPlugins(Config& c) {
  if (c.announceNewPlugins) {
    std::vector<int> fresh;
    std::string names;
    std::vector<std::string> installed = installedPluginNames();
    for (size_t i = 0; i < installed.size(); ++i) {
      int index = static_cast<int>(i);
      if (std::find(c.knownInstalled.begin(), c.knownInstalled.end(), index) ==
          c.knownInstalled.end()) {
        fresh.push_back(index);
        names += (names.empty() ? "" : "\r\n") + PluginDisplayName(installed[i]);
      }
    }
    if (!fresh.empty() && askUser(languageText(kTextInformationTitle),
                                  formatText(languageText(kTextNewPluginsInstalled), {names}),
                                  NoticeIcon::Information, NoticeButtons::YesNo, false)) {
      for (int index : fresh) {
        c.enabledPlugins.push_back(enabledPlugin(index));
      }
    }
  }
  if (isEnabledPlugin(c, kScattererPlugin) && !c.shownScattererWarning) {
    tellUser(languageText(kTextNoticeTitle), languageText(kTextScattererWarning),
             NoticeIcon::Information);
    c.shownScattererWarning = true;
  }
  if (isEnabledPlugin(c, kPortalPlugin) && !c.shownPortalWarning) {
    if (askUser(languageText(kTextNoticeTitle), languageText(kTextPortalOffer),
                NoticeIcon::Question, NoticeButtons::YesNo, false)) {
      int list = findDnsblList(c, kPortalDnsblKey);
      if (list >= 0) {
        c.enabledDnsbl.push_back(list);
      }
      disablePlugin(c, kPortalPlugin);
    }
    c.shownPortalWarning = true;
  }
  if (isEnabledPlugin(c, kPagemarkerPlugin) && PluginVersion(kPagemarkerPlugin) <= 0.1) {
    tellUser(languageText(kTextNoticeTitle), languageText(kTextPagemarkerTooOld),
             NoticeIcon::Information);
    disablePlugin(c, kPagemarkerPlugin);
  }
}

// The lines of the file as read that the file as it will be written no longer holds
// (keys and keyword values compared ignoring case, as they are read): unknown keys,
// words and comments, numbers read otherwise than they were written, settings
// given twice.
std::vector<std::pair<int, std::string>> droppedLines(const LoadState& load,
                                                      const std::string& written) {
  std::vector<std::string> kept;
  for (size_t start = 0; start < written.size();) {
    size_t end = written.find('\n', start);
    kept.push_back(toLowerAscii(std::string_view(written).substr(start, end - start)));
    start = end == std::string::npos ? written.size() : end + 1;
  }
  std::sort(kept.begin(), kept.end());
  std::vector<std::pair<int, std::string>> dropped;
  for (const auto& [number, line] : load.lines) {
    if (!std::binary_search(kept.begin(), kept.end(), toLowerAscii(line))) {
      dropped.emplace_back(number, line);
    }
  }
  return dropped;
}

// Before a rewrite drops or changes what the user wrote, the file is kept as
// config.dat.bak, and each such line is named in the log and on standard error.
void keepDroppedLines(const LoadState& load, const std::string& written) {
  std::vector<std::pair<int, std::string>> dropped = droppedLines(load, written);
  if (dropped.empty()) {
    return;
  }
  std::string configPath = linkTarget(dataPath("config.dat"));
  std::string backupPath = dataPath("config.dat.bak");
  File backup = openFileRetrying(backupPath, "w");
  if (!backup) {
    reportRuntimeError(backupPath, nullptr);
  } else {
    std::fwrite(load.fileText.data(), 1, load.fileText.size(), backup.get());
    if (!closeFile(backup)) {
      reportRuntimeError(backupPath, nullptr);
    }
    if (std::optional<unsigned> mode = fileMode(configPath)) {
      setFileMode(backupPath, *mode);
    }
  }
  for (const auto& [number, line] : dropped) {
    logGlobalText(LogLevel::Minimal, kTextConfigLineDropped, {number, line, backupPath});
    std::fprintf(
        stderr, "%s\n",
        formatText(languageText(kTextConfigLineDropped), {number, line, backupPath}).c_str());
  }
}

} // namespace

namespace {

ConfigStatus loadUnderLock() {
  MutableConfigRef snapshot = newConfigSnapshot();
  Config& config = *snapshot;
  LoadState load(config);

  // Step 1: the values of an empty file.
  config.loadedAt = currentFileTime();
  config.logFile = dataPath("log.txt");
  config.ipAllowList.push_back(Netblock{kLoopbackAddress, kLoopbackAddress});
  config.whitelistIp = {Netblock{{10, 0, 0, 0}, {10, 255, 255, 255}},
                        Netblock{{172, 16, 0, 0}, {172, 31, 255, 255}},
                        Netblock{{192, 168, 0, 0}, {192, 168, 255, 255}}};

  // Step 2: the DNSBL definitions, which the DNSBL lines name.
  loadDnsblDefinitions(config);

  // Steps 3 and 4: config.dat, written afresh when there is none. A file that is
  // there but cannot be read is an error the user must see: nothing is changed.
  std::string path = dataPath("config.dat");
  File file = openFileRetrying(path, "r");
  if (!file && errno != ENOENT) {
    std::string reason = std::strerror(errno);
    tellUser(languageText(kTextErrorTitle),
             formatText(languageText(kTextConfigExistsUnreadable), {path, reason}),
             NoticeIcon::Exclamation);
    reportTrouble(ConfigTrouble::ExistsUnreadable);
    return {ConfigTrouble::ExistsUnreadable};
  }
  if (!file) {
    load.firstRunFile = writeFirstRunFiles();
    file = openFileRetrying(path, "r");
  }
  if (!file) {
    tellUser(languageText(kTextErrorTitle), languageText(kTextConfigUnreadable),
             NoticeIcon::Exclamation);
    reportTrouble(ConfigTrouble::CannotCreate);
    return {ConfigTrouble::CannotCreate};
  }
  readConfigLines(load, file.get());
  if (std::ferror(file.get())) {
    reportRuntimeError(path, nullptr);
  }
  file.reset();
  if (!load.firstRunFile) {
    load.fileText = readWholeFile(path).value_or(std::string());
  }
  keepNumbersInRange(config);
  load.converted = load.converted || load.ports.converted;

  // Steps 5 and 6: the lists, then each port's own files.
  LoadLists(config);
  readPortFiles(config);

  // Step 7: the tray plug-in must be an enabled one.
  if (config.trayAction == TrayAction::Plugin) {
    int index = findInstalledPlugin(load.trayPluginName);
    bool enabled = index >= 0 && isEnabledPlugin(config, load.trayPluginName);
    config.trayAction = enabled ? TrayAction::Plugin : TrayAction::Status;
    config.trayPlugin = enabled ? index : -1;
  }

  // Step 8: the auto-white lists.
  loadAutoWhitelistFiles(config);

  // Step 9: a file written under another language fetches DNSBL definitions anew.
  if (!equalsIgnoreCase(languageText(kTextLanguageName), load.language)) {
    config.dnsblUpdatesLastCheck = 0;
    load.rewrite = true;
  }

  // Step 10: users of earlier versions get an IMAP4 port.
  if (load.ports.createDefaultImap4Port && !config.isFirstRun) {
    createGenericPort(config, PortType::Imap4Generic);
    load.converted = true;
  }

  // Step 11, then the questions of step 13, all before the swap of step 12: the
  // snapshot is complete when it becomes current and never changes after. Each
  // write-back saves the whole snapshot, so one save after the questions covers
  // them all; the plug-in bookkeeping makes every load save. A user who declined
  // to run with a newer version's file keeps that file as it is.
  offerReplacementLists(load);
  if (!load.quitRequested) {
    askAboutPlugins(config);
  }
  makeConfigCurrent(snapshot);
  if (load.quitRequested) {
    reportTrouble(ConfigTrouble::NewerVersionDeclined);
    return {ConfigTrouble::NewerVersionDeclined};
  }
  if (!load.firstRunFile) {
    keepDroppedLines(load, formatConfigFile(config));
  }
  saveConfigFile();
  if (load.converted) {
    SaveAutoWhitelists();
  }
  return {};
}

} // namespace

ConfigStatus loadConfigFile() {
  ConfigStatus status;
  {
    RecursiveGuard guard(configLock());
    status = loadUnderLock();
  }
  // Step 14, outside the lock: the tray, the listeners and the status window follow.
  if (status) {
    runConfigLoadedHandler();
  }
  return status;
}

} // namespace km
