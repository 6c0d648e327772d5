// The keys of config.dat as one table: each row names a key, the snapshot member
// it sets, how its value is read, when and how it is written, and whether a blank
// line ends its group. Rows stand in the order the file is written; keys that are
// only read come last. Keys with rules of their own (lists, ports, the plug-in
// bookkeeping) have small readers and writers named in their rows.
#include "config/config_keys.h"

#include <algorithm>
#include <variant>

#include "config/config_lines.h"
#include "config/plugin_table.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/version.h"

namespace km {

namespace {

// Where a row's value lives in the snapshot; nothing for rows with a reader and a
// writer of their own.
using KeyMember =
    std::variant<std::monostate, bool Config::*, int32_t Config::*, uint32_t Config::*,
                 std::string Config::*, std::vector<std::string> Config::*, CachePeriod Config::*>;

enum class Reading {
  Ignored,
  YesIsOn,    // "YES" on, anything else off
  NoIsOff,    // "NO" off, anything else on
  YesTurnsOn, // "YES" on, anything else leaves the flag as it is
  FalseIsOff, // "FALSE" off, anything else on; written TRUE or FALSE
  SuffixIsOn, // "SUFFIX" on, anything else off; written SUFFIX or PREFIX
  Number,     // the leading digits
  Time,       // the leading digits, at most the largest unsigned 32-bit number
  Text,       // the value as it stands
  Entry,      // one more entry of a list; written one line per entry
  Period,     // "a,b", b being 0 without a comma
  Custom,     // the row's reader
};

enum class Writing {
  Always,
  WhenNotDefault, // only when it differs from the value of a file without the key
  Never,          // keys of older files
  Custom,         // the row's writer
};

// What follows the row: nothing, a blank line, or a blank line when the row wrote
// anything.
enum class Group { Continues, Ends, EndsWhenWritten };

using KeyReader = void (*)(LoadState& load, std::string_view value);
using KeyWriter = void (*)(std::string& out, std::string_view name, const Config& config);

struct ConfigKey {
  std::string_view name;
  KeyMember member;
  Reading reading;
  Writing writing;
  Group group;
  KeyReader reader = nullptr;
  KeyWriter writer = nullptr;
};

bool isYes(std::string_view value) {
  return equalsIgnoreCase(value, "YES");
}

void line(std::string& out, std::string_view name, std::string_view format,
          std::initializer_list<FormatArg> args) {
  out += name;
  out += ' ';
  out += formatText(format, args);
  out += '\n';
}

// --- The keys with rules of their own ---

void readCompatibility(LoadState& load, std::string_view value) {
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

void readLanguage(LoadState& load, std::string_view value) {
  load.language = std::string(value);
}

void readPortLine(LoadState& load, std::string_view value) {
  applyPortLine(load.config, value);
}

void readCreateDefaultImap4Port(LoadState& load, std::string_view value) {
  if (equalsIgnoreCase(value, "NO")) {
    load.ports.createDefaultImap4Port = false;
  }
}

void readDnsbl(LoadState& load, std::string_view value) {
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

void readEnabledPlugin(LoadState& load, std::string_view value) {
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

void readKnownInstalledPlugin(LoadState& load, std::string_view value) {
  load.config.knownInstalled.push_back(findInstalledPlugin(value));
}

constexpr std::string_view kLevelNames[] = {"MINIMAL", "BASIC", "STANDARD", "VERBOSE", "EXTREME"};

// An unknown word leaves the level as it was.
void readLoggingLevel(LoadState& load, std::string_view value) {
  for (size_t i = 0; i < std::size(kLevelNames); ++i) {
    if (equalsIgnoreCase(value, kLevelNames[i])) {
      load.config.loggingLevel = static_cast<LogLevel>(i);
    }
  }
}

void readTrayAction(LoadState& load, std::string_view value) {
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

void readListenIp(LoadState& load, std::string_view value) {
  parseIpv4(value, load.config.listenIp);
}

// Older files: one key for both auto-whitelisting logs, and a flag for the tray.
void readAutoWlistLogging(LoadState& load, std::string_view value) {
  load.config.autoWlistFromLogging = load.config.autoWlistIpLogging = isYes(value);
}

void readTrayOpensStatus(LoadState& load, std::string_view value) {
  load.config.trayAction = isYes(value) ? TrayAction::Status : TrayAction::Options;
}

std::string pluginName(int installedIndex) {
  std::vector<std::string> names = installedPluginNames();
  return installedIndex >= 0 && static_cast<size_t>(installedIndex) < names.size()
             ? names[static_cast<size_t>(installedIndex)]
             : std::string();
}

void writeFormatVersion(std::string& out, std::string_view name, const Config&) {
  line(out, name, "1", {});
}

void writeCompatibility(std::string& out, std::string_view name, const Config&) {
  line(out, name, "%s", {kCompatibilityVersion});
}

void writeLanguage(std::string& out, std::string_view name, const Config&) {
  line(out, name, "%s", {languageText(kTextLanguageName)});
}

void writePortBlocks(std::string& out, std::string_view, const Config& config) {
  appendPortBlocks(out, config);
}

void writeAlwaysNo(std::string& out, std::string_view name, const Config&) {
  line(out, name, "NO", {});
}

void writeAlwaysYes(std::string& out, std::string_view name, const Config&) {
  line(out, name, "YES", {});
}

void writeDnsbl(std::string& out, std::string_view name, const Config& config) {
  for (int index : config.enabledDnsbl) {
    const DnsblList& list = config.dnsblLists[static_cast<size_t>(index)];
    line(out, name, "%s %s", {list.key, list.name});
  }
}

void writeEnabledPlugins(std::string& out, std::string_view name, const Config& config) {
  for (const EnabledPlugin& plugin : config.enabledPlugins) {
    std::string installed = pluginName(plugin.installedIndex);
    line(out, name, "%s %s", {installed, PluginDisplayName(installed)});
  }
}

// Every plug-in installed now, not the names the file held.
void writeInstalledPlugins(std::string& out, std::string_view name, const Config&) {
  for (const std::string& installed : installedPluginNames()) {
    line(out, name, "%s", {installed});
  }
}

void writeLoggingLevel(std::string& out, std::string_view name, const Config& config) {
  auto index = static_cast<size_t>(config.loggingLevel);
  line(out, name, "%s", {index < std::size(kLevelNames) ? kLevelNames[index] : "UNKNOWN"});
}

void writeTrayAction(std::string& out, std::string_view name, const Config& config) {
  switch (config.trayAction) {
  case TrayAction::Status:
    line(out, name, "STATUS", {});
    break;
  case TrayAction::Options:
    line(out, name, "OPTIONS", {});
    break;
  case TrayAction::None:
    line(out, name, "NONE", {});
    break;
  case TrayAction::Plugin:
    line(out, name, "PLUGIN %s", {pluginName(config.trayPlugin)});
    break;
  }
}

void writeListenIp(std::string& out, std::string_view name, const Config& config) {
  const Ipv4Address& ip = config.listenIp;
  line(out, name, "%d.%d.%d.%d", {ip[0], ip[1], ip[2], ip[3]});
}

// --- The table ---

using R = Reading;
using W = Writing;
using G = Group;

constexpr ConfigKey kConfigKeys[] = {
    {"VERSION", {}, R::Ignored, W::Custom, G::Continues, nullptr, writeFormatVersion},
    {"Kestrelmail_COMPATIBILITY",
     {},
     R::Custom,
     W::Custom,
     G::Ends,
     readCompatibility,
     writeCompatibility},
    {"LANGUAGE", {}, R::Custom, W::Custom, G::Continues, readLanguage, writeLanguage},
    {"IS_FIRST_RUN", &Config::isFirstRun, R::YesIsOn, W::Always, G::Ends},
    // Each port block ends with its own blank line; the keys inside a block
    // belong to the most recent PORT line (ports.cc).
    {"PORT", {}, R::Custom, W::Custom, G::Continues, readPortLine, writePortBlocks},
    {"ALLOW_PORT_SHARING", &Config::allowPortSharing, R::YesTurnsOn, W::Always, G::Continues},
    {"ALWAYS_SHOW_POP3_APOP_WARNING", &Config::alwaysShowApopWarning, R::NoIsOff, W::Always,
     G::Continues},
    {"ALWAYS_SHOW_POP3_SASL_WARNING", &Config::alwaysShowSaslWarning, R::NoIsOff, W::Always,
     G::Continues},
    {"ALWAYS_CONFIRM_EXIT", &Config::alwaysConfirmExit, R::NoIsOff, W::Always, G::Continues},
    {"SHOWN_SCATTERER_WARNING", &Config::shownScattererWarning, R::YesIsOn, W::Always,
     G::Continues},
    {"SHOWN_PORTAL_WLISTER_WARNING", &Config::shownPortalWarning, R::YesIsOn, W::Always,
     G::Continues},
    {"CREATE_DEFAULT_IMAP4_PORT",
     {},
     R::Custom,
     W::Custom,
     G::Continues,
     readCreateDefaultImap4Port,
     writeAlwaysNo},
    {"DNSBL", {}, R::Custom, W::Custom, G::Ends, readDnsbl, writeDnsbl},
    {"ENABLED_PLUGIN", {}, R::Custom, W::Custom, G::Ends, readEnabledPlugin, writeEnabledPlugins},
    {"KNOWN_INSTALLED_PLUGIN",
     {},
     R::Custom,
     W::Custom,
     G::Continues,
     readKnownInstalledPlugin,
     writeInstalledPlugins},
    {"ANNOUNCE_NEW_INSTALLED_PLUGINS", &Config::announceNewPlugins, R::YesIsOn, W::Custom, G::Ends,
     nullptr, writeAlwaysYes},
    {"TAG_SUBJECT", &Config::tagSubject, R::FalseIsOff, W::Always, G::Continues},
    {"SUBJECT_TAG_STRING", &Config::subjectTagString, R::Text, W::Always, G::Continues},
    {"X_Kestrelmail_IN_SUBJECT", &Config::verdictInSubject, R::YesIsOn, W::Always, G::Ends},
    {"TAG_LOCATION", &Config::tagAsSuffix, R::SuffixIsOn, W::Always, G::Continues},
    {"ADD_BWLIST_REASON_HEADERS", &Config::addReasonHeaders, R::YesIsOn, W::Always, G::Continues},
    {"USE_AUTO_WLIST_FROM", &Config::useAutoWlistFrom, R::YesIsOn, W::Always, G::Continues},
    {"AUTO_WLIST_FROM_NUM_MAILS", &Config::autoWlistFromNumMails, R::Number, W::Always,
     G::Continues},
    {"USE_AUTO_WLIST_IP", &Config::useAutoWlistIp, R::YesIsOn, W::Always, G::Continues},
    {"AUTO_WLIST_IP_NUM_MAILS", &Config::autoWlistIpNumMails, R::Number, W::Always, G::Continues},
    {"USE_AUTO_WLIST_FROM_LOGGING", &Config::autoWlistFromLogging, R::YesIsOn, W::Always,
     G::Continues},
    {"USE_AUTO_WLIST_IP_LOGGING", &Config::autoWlistIpLogging, R::YesIsOn, W::Always, G::Ends},
    {"LOGGING_ENABLED", &Config::loggingEnabled, R::YesIsOn, W::Always, G::Continues},
    {"LOGFILE", &Config::logFile, R::Text, W::Always, G::Continues},
    {"LOGGING_LEVEL", {}, R::Custom, W::Custom, G::Continues, readLoggingLevel, writeLoggingLevel},
    {"LOG_MAX_SIZE", &Config::logMaxSize, R::Number, W::Always, G::Ends},
    {"STATUS_WINDOW_AUTO_OPEN", &Config::statusWindowAutoOpen, R::YesIsOn, W::Always, G::Continues},
    {"STATUS_WINDOW_TOPMOST", &Config::statusWindowTopmost, R::YesIsOn, W::Always, G::Continues},
    {"FILTERING_STATS_DAYS", &Config::filteringStatsDays, R::Number, W::Always, G::Ends},
    {"TRAY_ACTION", {}, R::Custom, W::Custom, G::Ends, readTrayAction, writeTrayAction},
    {"SHOW_UPDATES_WINDOW", &Config::showUpdatesWindow, R::YesIsOn, W::Always, G::Continues},
    {"INFORM_ABOUT_NEW_BETAS", &Config::informAboutBetas, R::YesIsOn, W::Always, G::Continues},
    {"Kestrelmail_UPDATES_CHECK", &Config::programUpdatesCheck, R::YesIsOn, W::Always,
     G::Continues},
    {"Kestrelmail_UPDATES_CHECK_INTERVAL", &Config::programUpdatesInterval, R::Number, W::Always,
     G::Continues},
    {"Kestrelmail_UPDATES_LAST_CHECK", &Config::programUpdatesLastCheck, R::Time, W::Always,
     G::Continues},
    {"DNSBL_UPDATES_CHECK", &Config::dnsblUpdatesCheck, R::YesIsOn, W::Always, G::Continues},
    {"DNSBL_UPDATES_CHECK_INTERVAL", &Config::dnsblUpdatesInterval, R::Number, W::Always,
     G::Continues},
    {"DNSBL_UPDATES_LAST_CHECK", &Config::dnsblUpdatesLastCheck, R::Time, W::Always, G::Continues},
    {"KNOWN_PLUGIN_CODE", &Config::knownPluginCodes, R::Entry, W::Always, G::Continues},
    {"MAX_DNSBL_THREADS", &Config::maxDnsblThreads, R::Number, W::Always, G::Continues},
    {"DNSBL_TIME_OUT", &Config::dnsblTimeout, R::Number, W::Always, G::Continues},
    {"DNSBL_POSITIVE_CACHE_PERIOD", &Config::dnsblPositivePeriod, R::Period, W::Always,
     G::Continues},
    {"DNSBL_NEGATIVE_CACHE_PERIOD", &Config::dnsblNegativePeriod, R::Period, W::Always,
     G::Continues},
    {"IP_LISTEN", {}, R::Custom, W::Custom, G::Continues, readListenIp, writeListenIp},
    {"FILTERING_DISABLED", &Config::filteringDisabled, R::YesIsOn, W::WhenNotDefault, G::Continues},
    {"AWLIST_FILTERING_DISABLED", &Config::awlistFilteringDisabled, R::YesIsOn, W::WhenNotDefault,
     G::Ends},
    {"EXTRA_BLIST_IP", &Config::extraBlistIpFiles, R::Entry, W::Always, G::EndsWhenWritten},
    {"EXTRA_WLIST_IP", &Config::extraWlistIpFiles, R::Entry, W::Always, G::EndsWhenWritten},
    {"EXTRA_BLIST_FROM", &Config::extraBlistFromFiles, R::Entry, W::Always, G::EndsWhenWritten},
    {"EXTRA_WLIST_FROM", &Config::extraWlistFromFiles, R::Entry, W::Always, G::EndsWhenWritten},
    // Keys this program added, written only when they differ from the default.
    {"TLS_VERIFY", &Config::tlsVerify, R::NoIsOff, W::WhenNotDefault, G::Continues},
    {"TLS_CA_FILE", &Config::tlsCaFile, R::Text, W::WhenNotDefault, G::Continues},
    {"DNSBL_NAMESERVER", &Config::dnsblNameserver, R::Text, W::WhenNotDefault, G::Continues},
    {"DNSBL_UPDATES_SOURCE", &Config::dnsblUpdatesSource, R::Text, W::WhenNotDefault, G::Continues},
    {"MAX_SESSIONS", &Config::maxSessions, R::Number, W::WhenNotDefault, G::Continues},
    {"CLIENT_IDLE_TIME_OUT", &Config::clientIdleTimeout, R::Number, W::WhenNotDefault,
     G::Continues},
    {"TIME_OUT_PREVENTION_INTERVAL", &Config::preventionInterval, R::Number, W::WhenNotDefault,
     G::Continues},
    {"WEB_INTERFACE_PORT", &Config::webInterfacePort, R::Number, W::WhenNotDefault, G::Continues},
    // Keys of older files, read and never written.
    {"USE_AUTO_WLIST_LOGGING", {}, R::Custom, W::Never, G::Continues, readAutoWlistLogging},
    {"TRAY_OPENS_STATUS", {}, R::Custom, W::Never, G::Continues, readTrayOpensStatus},
};

// A row's reading rule fits its member, and custom rows name their functions.
constexpr bool rowIsWellFormed(const ConfigKey& key) {
  const KeyMember& m = key.member;
  bool readable = false;
  switch (key.reading) {
  case R::Ignored:
    readable = true;
    break;
  case R::YesIsOn:
  case R::NoIsOff:
  case R::YesTurnsOn:
  case R::FalseIsOff:
  case R::SuffixIsOn:
    readable = std::holds_alternative<bool Config::*>(m);
    break;
  case R::Number:
    readable = std::holds_alternative<int32_t Config::*>(m);
    break;
  case R::Time:
    readable = std::holds_alternative<uint32_t Config::*>(m);
    break;
  case R::Text:
    readable = std::holds_alternative<std::string Config::*>(m);
    break;
  case R::Entry:
    readable = std::holds_alternative<std::vector<std::string> Config::*>(m);
    break;
  case R::Period:
    readable = std::holds_alternative<CachePeriod Config::*>(m);
    break;
  case R::Custom:
    readable = key.reader != nullptr;
    break;
  }
  bool writable = key.writing == W::Never ||
                  (key.writing == W::Custom
                       ? key.writer != nullptr
                       : !std::holds_alternative<std::monostate>(m) && key.reading != R::Custom);
  return readable && writable;
}

constexpr bool tableIsWellFormed() {
  for (const ConfigKey& key : kConfigKeys) {
    if (!rowIsWellFormed(key)) {
      return false;
    }
  }
  return true;
}
static_assert(tableIsWellFormed(), "a config.dat key's row does not fit its member");

// --- Reading and writing a row ---

void readRow(const ConfigKey& key, LoadState& load, std::string_view value) {
  Config& c = load.config;
  auto flag = [&]() -> bool& {
    return c.*std::get<bool Config::*>(key.member);
  };
  switch (key.reading) {
  case R::Ignored:
    break;
  case R::YesIsOn:
    flag() = isYes(value);
    break;
  case R::NoIsOff:
    flag() = !equalsIgnoreCase(value, "NO");
    break;
  case R::YesTurnsOn:
    flag() = flag() || isYes(value);
    break;
  case R::FalseIsOff:
    flag() = !equalsIgnoreCase(value, "FALSE");
    break;
  case R::SuffixIsOn:
    flag() = equalsIgnoreCase(value, "SUFFIX");
    break;
  case R::Number:
    c.*std::get<int32_t Config::*>(key.member) = readConfigNumber(value);
    break;
  case R::Time:
    c.*std::get<uint32_t Config::*>(key.member) =
        static_cast<uint32_t>(std::min<int64_t>(readConfigLong(value), UINT32_MAX));
    break;
  case R::Text:
    c.*std::get<std::string Config::*>(key.member) = std::string(value);
    break;
  case R::Entry:
    (c.*std::get<std::vector<std::string> Config::*>(key.member)).emplace_back(value);
    break;
  case R::Period: {
    CachePeriod period{readConfigNumber(value), 0};
    size_t comma = value.find(',');
    if (comma != std::string_view::npos) {
      period.b = readConfigNumber(value.substr(comma + 1));
    }
    c.*std::get<CachePeriod Config::*>(key.member) = period;
    break;
  }
  case R::Custom:
    key.reader(load, value);
    break;
  }
}

const char* flagWord(Reading reading, bool on) {
  switch (reading) {
  case R::FalseIsOff:
    return on ? "TRUE" : "FALSE";
  case R::SuffixIsOn:
    return on ? "SUFFIX" : "PREFIX";
  default:
    return on ? "YES" : "NO";
  }
}

bool differsFromDefault(const ConfigKey& key, const Config& c) {
  static const Config defaults;
  return std::visit(
      [&](auto member) -> bool {
        using Member = decltype(member);
        if constexpr (std::is_same_v<Member, std::monostate>) {
          return true;
        } else if constexpr (std::is_same_v<Member, CachePeriod Config::*>) {
          return (c.*member).a != (defaults.*member).a || (c.*member).b != (defaults.*member).b;
        } else {
          return c.*member != defaults.*member;
        }
      },
      key.member);
}

void writeRow(std::string& out, const ConfigKey& key, const Config& c) {
  std::string_view name = key.name;
  std::visit(
      [&](auto member) {
        using Member = decltype(member);
        if constexpr (std::is_same_v<Member, bool Config::*>) {
          line(out, name, "%s", {flagWord(key.reading, c.*member)});
        } else if constexpr (std::is_same_v<Member, int32_t Config::*>) {
          line(out, name, "%d", {c.*member});
        } else if constexpr (std::is_same_v<Member, uint32_t Config::*>) {
          line(out, name, "%u", {c.*member});
        } else if constexpr (std::is_same_v<Member, std::string Config::*>) {
          line(out, name, "%s", {c.*member});
        } else if constexpr (std::is_same_v<Member, std::vector<std::string> Config::*>) {
          for (const std::string& entry : c.*member) {
            line(out, name, "%s", {entry});
          }
        } else if constexpr (std::is_same_v<Member, CachePeriod Config::*>) {
          line(out, name, "%d,%d", {(c.*member).a, (c.*member).b});
        }
      },
      key.member);
}

} // namespace

int findDnsblList(const Config& config, std::string_view key) {
  for (size_t i = 0; i < config.dnsblLists.size(); ++i) {
    if (equalsIgnoreCase(config.dnsblLists[i].key, key)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool applyConfigKey(LoadState& load, std::string_view key, std::string_view value) {
  for (const ConfigKey& row : kConfigKeys) {
    if (equalsIgnoreCase(key, row.name)) {
      readRow(row, load, value);
      return true;
    }
  }
  return false;
}

void appendConfigKeys(std::string& out, const Config& config) {
  for (const ConfigKey& row : kConfigKeys) {
    size_t before = out.size();
    switch (row.writing) {
    case W::Always:
      writeRow(out, row, config);
      break;
    case W::WhenNotDefault:
      if (differsFromDefault(row, config)) {
        writeRow(out, row, config);
      }
      break;
    case W::Custom:
      row.writer(out, row.name, config);
      break;
    case W::Never:
      break;
    }
    if (row.group == G::Ends || (row.group == G::EndsWhenWritten && out.size() > before)) {
      out += '\n';
    }
  }
}

} // namespace km
