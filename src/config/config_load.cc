// Loading config.dat into a new snapshot, with the conversions of older files and
// the write-backs a load calls for.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config_keys.h"
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

namespace km {

namespace {

// Names of the plug-ins the load treats specially.
constexpr std::string_view kScattererPlugin = "scatterer";
constexpr std::string_view kPortalPlugin = "portal_wlister";
constexpr std::string_view kPagemarkerPlugin = "pagemarker";
constexpr std::string_view kPortalDnsblKey = "iPortal";

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

// Keys of older files whose lines move into other files.
bool applyMovedKey(LoadState& load, std::string_view key, std::string_view value) {
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
    if (!applyConfigKey(load, entry.key, entry.value) &&
        !applyPortKey(load.config, load.ports, entry.key, entry.value)) {
      applyMovedKey(load, entry.key, entry.value);
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
