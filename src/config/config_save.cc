// Writing config.dat: the global keys in their fixed order, with the port blocks
// after the file head.
#include <cstdio>

#include "config/config_internal.h"
#include "config/data_dir.h"
#include "config/plugin_table.h"
#include "diag/error_report.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

const char* yesNo(bool flag) {
  return flag ? "YES" : "NO";
}

const char* levelName(LogLevel level) {
  static constexpr const char* kNames[] = {"MINIMAL", "BASIC", "STANDARD", "VERBOSE", "EXTREME"};
  auto index = static_cast<size_t>(level);
  return index < std::size(kNames) ? kNames[index] : "UNKNOWN";
}

class ConfigWriter {
public:
  void line(std::string_view format, std::initializer_list<FormatArg> args = {}) {
    text_ += formatText(format, args);
  }
  std::string& text() { return text_; }
  std::string take() { return std::move(text_); }

private:
  std::string text_;
};

void writeExtraFiles(ConfigWriter& out, const char* key, const std::vector<std::string>& paths) {
  if (paths.empty()) {
    return;
  }
  for (const std::string& path : paths) {
    out.line("%s %s\n", {key, path});
  }
  out.line("\n");
}

std::string pluginName(int installedIndex) {
  std::vector<std::string> names = installedPluginNames();
  return installedIndex >= 0 && static_cast<size_t>(installedIndex) < names.size()
             ? names[static_cast<size_t>(installedIndex)]
             : std::string();
}

} // namespace

std::string formatConfigFile(const Config& c) {
  ConfigWriter out;
  out.line("VERSION 1\n");
  out.line("Kestrelmail_COMPATIBILITY %s\n\n", {kCompatibilityVersion});
  out.line("LANGUAGE %s\n", {languageText(kTextLanguageName)});
  out.line("IS_FIRST_RUN %s\n\n", {yesNo(c.isFirstRun)});
  appendPortBlocks(out.text(), c);

  out.line("ALLOW_PORT_SHARING %s\n", {yesNo(c.allowPortSharing)});
  out.line("ALWAYS_SHOW_POP3_APOP_WARNING %s\n", {yesNo(c.alwaysShowApopWarning)});
  out.line("ALWAYS_SHOW_POP3_SASL_WARNING %s\n", {yesNo(c.alwaysShowSaslWarning)});
  out.line("ALWAYS_CONFIRM_EXIT %s\n", {yesNo(c.alwaysConfirmExit)});
  out.line("SHOWN_SCATTERER_WARNING %s\n", {yesNo(c.shownScattererWarning)});
  out.line("SHOWN_PORTAL_WLISTER_WARNING %s\n", {yesNo(c.shownPortalWarning)});
  out.line("CREATE_DEFAULT_IMAP4_PORT NO\n");

  for (int index : c.enabledDnsbl) {
    const DnsblList& list = c.dnsblLists[static_cast<size_t>(index)];
    out.line("DNSBL %s %s\n", {list.key, list.name});
  }
  out.line("\n");

  for (const EnabledPlugin& plugin : c.enabledPlugins) {
    std::string name = pluginName(plugin.installedIndex);
    out.line("ENABLED_PLUGIN %s %s\n", {name, PluginDisplayName(name)});
  }
  out.line("\n");

  for (const std::string& name : installedPluginNames()) {
    out.line("KNOWN_INSTALLED_PLUGIN %s\n", {name});
  }
  out.line("ANNOUNCE_NEW_INSTALLED_PLUGINS YES\n\n");

  out.line("TAG_SUBJECT %s\n", {c.tagSubject ? "TRUE" : "FALSE"});
  out.line("SUBJECT_TAG_STRING %s\n", {c.subjectTagString});
  out.line("X_Kestrelmail_IN_SUBJECT %s\n\n", {yesNo(c.verdictInSubject)});
  out.line("TAG_LOCATION %s\n", {c.tagAsSuffix ? "SUFFIX" : "PREFIX"});
  out.line("ADD_BWLIST_REASON_HEADERS %s\n", {yesNo(c.addReasonHeaders)});

  out.line("USE_AUTO_WLIST_FROM %s\n", {yesNo(c.useAutoWlistFrom)});
  out.line("AUTO_WLIST_FROM_NUM_MAILS %d\n", {c.autoWlistFromNumMails});
  out.line("USE_AUTO_WLIST_IP %s\n", {yesNo(c.useAutoWlistIp)});
  out.line("AUTO_WLIST_IP_NUM_MAILS %d\n", {c.autoWlistIpNumMails});
  out.line("USE_AUTO_WLIST_FROM_LOGGING %s\n", {yesNo(c.autoWlistFromLogging)});
  out.line("USE_AUTO_WLIST_IP_LOGGING %s\n", {yesNo(c.autoWlistIpLogging)});
  out.line("\n");

  out.line("LOGGING_ENABLED %s\n", {yesNo(c.loggingEnabled)});
  out.line("LOGFILE %s\n", {c.logFile});
  out.line("LOGGING_LEVEL %s\n", {levelName(c.loggingLevel)});
  out.line("LOG_MAX_SIZE %d\n", {c.logMaxSize});
  out.line("\n");

  out.line("STATUS_WINDOW_AUTO_OPEN %s\n", {yesNo(c.statusWindowAutoOpen)});
  out.line("STATUS_WINDOW_TOPMOST %s\n", {yesNo(c.statusWindowTopmost)});
  out.line("FILTERING_STATS_DAYS %d\n", {c.filteringStatsDays});
  out.line("\n");

  switch (c.trayAction) {
  case TrayAction::Status:
    out.line("TRAY_ACTION STATUS\n");
    break;
  case TrayAction::Options:
    out.line("TRAY_ACTION OPTIONS\n");
    break;
  case TrayAction::None:
    out.line("TRAY_ACTION NONE\n");
    break;
  case TrayAction::Plugin:
    out.line("TRAY_ACTION PLUGIN %s\n", {pluginName(c.trayPlugin)});
    break;
  }
  out.line("\n");

  out.line("SHOW_UPDATES_WINDOW %s\n", {yesNo(c.showUpdatesWindow)});
  out.line("INFORM_ABOUT_NEW_BETAS %s\n", {yesNo(c.informAboutBetas)});
  out.line("Kestrelmail_UPDATES_CHECK %s\n", {yesNo(c.programUpdatesCheck)});
  out.line("Kestrelmail_UPDATES_CHECK_INTERVAL %d\n", {c.programUpdatesInterval});
  out.line("Kestrelmail_UPDATES_LAST_CHECK %u\n", {c.programUpdatesLastCheck});
  out.line("DNSBL_UPDATES_CHECK %s\n", {yesNo(c.dnsblUpdatesCheck)});
  out.line("DNSBL_UPDATES_CHECK_INTERVAL %d\n", {c.dnsblUpdatesInterval});
  out.line("DNSBL_UPDATES_LAST_CHECK %u\n", {c.dnsblUpdatesLastCheck});

  for (const std::string& code : c.knownPluginCodes) {
    out.line("KNOWN_PLUGIN_CODE %s\n", {code});
  }

  out.line("MAX_DNSBL_THREADS %d\n", {c.maxDnsblThreads});
  out.line("DNSBL_TIME_OUT %d\n", {c.dnsblTimeout});
  out.line("DNSBL_POSITIVE_CACHE_PERIOD %d,%d\n",
           {c.dnsblPositivePeriod.a, c.dnsblPositivePeriod.b});
  out.line("DNSBL_NEGATIVE_CACHE_PERIOD %d,%d\n",
           {c.dnsblNegativePeriod.a, c.dnsblNegativePeriod.b});
  out.line("IP_LISTEN %d.%d.%d.%d\n", {c.listenIp[0], c.listenIp[1], c.listenIp[2], c.listenIp[3]});
  if (c.filteringDisabled) {
    out.line("FILTERING_DISABLED YES\n");
  }
  if (c.awlistFilteringDisabled) {
    out.line("AWLIST_FILTERING_DISABLED YES\n");
  }
  out.line("\n");

  writeExtraFiles(out, "EXTRA_BLIST_IP", c.extraBlistIpFiles);
  writeExtraFiles(out, "EXTRA_WLIST_IP", c.extraWlistIpFiles);
  writeExtraFiles(out, "EXTRA_BLIST_FROM", c.extraBlistFromFiles);
  writeExtraFiles(out, "EXTRA_WLIST_FROM", c.extraWlistFromFiles);

  // Keys added by this platform, written only when they differ from the default.
  if (!c.tlsVerify) {
    out.line("TLS_VERIFY NO\n");
  }
  if (!c.tlsCaFile.empty()) {
    out.line("TLS_CA_FILE %s\n", {c.tlsCaFile});
  }
  if (!c.dnsblNameserver.empty()) {
    out.line("DNSBL_NAMESERVER %s\n", {c.dnsblNameserver});
  }
  if (!c.dnsblUpdatesSource.empty()) {
    out.line("DNSBL_UPDATES_SOURCE %s\n", {c.dnsblUpdatesSource});
  }
  if (c.maxSessions != kDefaultMaxSessions) {
    out.line("MAX_SESSIONS %d\n", {c.maxSessions});
  }
  if (c.clientIdleTimeout != kDefaultClientIdleTimeout) {
    out.line("CLIENT_IDLE_TIME_OUT %d\n", {c.clientIdleTimeout});
  }
  if (c.preventionInterval != kDefaultPreventionInterval) {
    out.line("TIME_OUT_PREVENTION_INTERVAL %d\n", {c.preventionInterval});
  }
  if (c.webInterfacePort != kDefaultWebInterfacePort) {
    out.line("WEB_INTERFACE_PORT %d\n", {c.webInterfacePort});
  }
  return out.take();
}

ConfigStatus saveConfigFile() {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  if (!config) {
    return {ConfigTrouble::NotLoaded};
  }
  std::string text = formatConfigFile(*config);

  // The new file is written beside the old one and then put in its place, so a
  // failed write never leaves a half-written configuration behind. A config.dat
  // that is a link is written through to the file it names, and a file the user
  // made private stays private.
  std::string path = linkTarget(dataPath("config.dat"));
  std::string newPath = path + ".new";
  std::optional<unsigned> mode = fileMode(path);
  File file = openFileRetrying(newPath, "w");
  if (!file) {
    reportRuntimeError(path, nullptr);
    tellUser(languageText(kTextErrorTitle), languageText(kTextConfigUnwritable),
             NoticeIcon::Exclamation);
    reportTrouble(ConfigTrouble::CannotWrite);
    return {ConfigTrouble::CannotWrite};
  }
  std::fwrite(text.data(), 1, text.size(), file.get());
  if (mode) {
    setFileMode(newPath, *mode);
  }
  if (!closeFile(file) || !renameFile(newPath, path)) {
    reportRuntimeError(path, nullptr);
    removeFile(newPath);
    return {ConfigTrouble::NotSaved};
  }
  if (std::optional<int64_t> modified = modificationTime(path)) {
    noteConfigFileWritten(*modified);
  }
  return {};
}

} // namespace km
