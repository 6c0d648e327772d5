#include "ui/options.h"

#include <algorithm>
#include <functional>

#include "config/config_lines.h"
#include "config/data_dir.h"
#include "config/lists.h"
#include "config/plugin_table.h"
#include "net/socket_errors.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/md5.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

struct Setting {
  SettingInfo info;
  std::function<std::string(const Config&)> get;
  // False when the value is not one the setting takes.
  std::function<bool(Config&, std::string_view)> set;
};

Setting flag(const char* name, const char* section, bool Config::*field) {
  return {{name, section, SettingKind::Flag, 0, 0, {}},
          [field](const Config& c) { return std::string(c.*field ? "YES" : "NO"); },
          [field](Config& c, std::string_view value) {
            if (!equalsIgnoreCase(value, "YES") && !equalsIgnoreCase(value, "NO")) {
              return false;
            }
            c.*field = equalsIgnoreCase(value, "YES");
            return true;
          }};
}

bool readWholeNumber(std::string_view text, int32_t lowest, int32_t highest, int32_t& out) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    number = number * 10 + (c - '0');
  }
  if (number < lowest || number > highest) {
    return false;
  }
  out = static_cast<int32_t>(number);
  return true;
}

Setting number(const char* name, const char* section, int32_t Config::*field, int32_t lowest,
               int32_t highest) {
  return {{name, section, SettingKind::Number, lowest, highest, {}},
          [field](const Config& c) { return std::to_string(c.*field); },
          [field, lowest, highest](Config& c, std::string_view value) {
            return readWholeNumber(value, lowest, highest, c.*field);
          }};
}

// One line of config.dat: no control characters, and not empty where the setting
// needs a word.
Setting text(const char* name, const char* section, std::string Config::*field) {
  return {{name, section, SettingKind::Text, 0, 0, {}},
          [field](const Config& c) { return c.*field; },
          [field](Config& c, std::string_view value) {
            for (char ch : value) {
              if (static_cast<unsigned char>(ch) < 32 || ch == 127) {
                return false;
              }
            }
            c.*field = std::string(value);
            return true;
          }};
}

template <typename Enum>
Setting choice(const char* name, const char* section, Enum Config::*field,
               std::vector<std::pair<Enum, const char*>> words) {
  std::vector<std::string> choices;
  for (const auto& entry : words) {
    choices.emplace_back(entry.second);
  }
  return {{name, section, SettingKind::Choice, 0, 0, choices},
          [field, words](const Config& c) {
            for (const auto& [value, word] : words) {
              if (c.*field == value) {
                return std::string(word);
              }
            }
            return std::string();
          },
          [field, words](Config& c, std::string_view value) {
            for (const auto& [choice, word] : words) {
              if (equalsIgnoreCase(value, word)) {
                c.*field = choice;
                return true;
              }
            }
            return false;
          }};
}

const std::vector<Setting>& settings() {
  static const std::vector<Setting> table = [] {
    std::vector<Setting> all;
    all.push_back(flag("ALWAYS_CONFIRM_EXIT", "general", &Config::alwaysConfirmExit));
    all.push_back(choice("TRAY_ACTION", "general", &Config::trayAction,
                         {{TrayAction::Status, "STATUS"},
                          {TrayAction::Options, "OPTIONS"},
                          {TrayAction::None, "NONE"}}));
    all.push_back(number("FILTERING_STATS_DAYS", "general", &Config::filteringStatsDays, 1, 365));
    all.push_back(flag("ALLOW_PORT_SHARING", "general", &Config::allowPortSharing));
    all.push_back(number("MAX_SESSIONS", "general", &Config::maxSessions, 0, 100000));
    all.push_back(number("CLIENT_IDLE_TIME_OUT", "general", &Config::clientIdleTimeout, 0, 86400));
    all.push_back(
        number("TIME_OUT_PREVENTION_INTERVAL", "general", &Config::preventionInterval, 1, 3600));
    all.push_back(number("WEB_INTERFACE_PORT", "general", &Config::webInterfacePort, 0, 65535));
    all.push_back(flag("USE_AUTO_WLIST_FROM", "general", &Config::useAutoWlistFrom));
    all.push_back(
        number("AUTO_WLIST_FROM_NUM_MAILS", "general", &Config::autoWlistFromNumMails, 1, 1000));
    all.push_back(flag("USE_AUTO_WLIST_IP", "general", &Config::useAutoWlistIp));
    all.push_back(
        number("AUTO_WLIST_IP_NUM_MAILS", "general", &Config::autoWlistIpNumMails, 1, 1000));

    all.push_back(flag("TAG_SUBJECT", "tagging", &Config::tagSubject));
    all.push_back(text("SUBJECT_TAG_STRING", "tagging", &Config::subjectTagString));
    all.push_back(flag("X_Kestrelmail_IN_SUBJECT", "tagging", &Config::verdictInSubject));
    all.push_back(choice("TAG_LOCATION", "tagging", &Config::tagAsSuffix,
                         {{false, "PREFIX"}, {true, "SUFFIX"}}));
    all.push_back(flag("ADD_BWLIST_REASON_HEADERS", "tagging", &Config::addReasonHeaders));

    all.push_back(flag("LOGGING_ENABLED", "logging", &Config::loggingEnabled));
    all.push_back(choice("LOGGING_LEVEL", "logging", &Config::loggingLevel,
                         {{LogLevel::Minimal, "MINIMAL"},
                          {LogLevel::Basic, "BASIC"},
                          {LogLevel::Standard, "STANDARD"},
                          {LogLevel::Verbose, "VERBOSE"},
                          {LogLevel::Extreme, "EXTREME"}}));
    all.push_back(text("LOGFILE", "logging", &Config::logFile));
    all.push_back(number("LOG_MAX_SIZE", "logging", &Config::logMaxSize, 1, 1048576));

    all.push_back(number("DNSBL_TIME_OUT", "dnsbl", &Config::dnsblTimeout, 1, 600));
    all.push_back(number("MAX_DNSBL_THREADS", "dnsbl", &Config::maxDnsblThreads, 1, 200));
    all.push_back(flag("AWLIST_FILTERING_DISABLED", "dnsbl", &Config::awlistFilteringDisabled));

    all.push_back(flag("Kestrelmail_UPDATES_CHECK", "updates", &Config::programUpdatesCheck));
    all.push_back(number("Kestrelmail_UPDATES_CHECK_INTERVAL", "updates",
                         &Config::programUpdatesInterval, 1, 365));
    all.push_back(flag("DNSBL_UPDATES_CHECK", "updates", &Config::dnsblUpdatesCheck));
    all.push_back(
        number("DNSBL_UPDATES_CHECK_INTERVAL", "updates", &Config::dnsblUpdatesInterval, 1, 365));
    all.push_back(flag("INFORM_ABOUT_NEW_BETAS", "updates", &Config::informAboutBetas));
    return all;
  }();
  return table;
}

const Setting* findSetting(std::string_view name) {
  for (const Setting& setting : settings()) {
    if (equalsIgnoreCase(setting.info.name, name)) {
      return &setting;
    }
  }
  return nullptr;
}

ChangeOutcome refused(ChangeStatus status, std::string message) {
  return {status, std::move(message)};
}

// Runs a checked change: on the configuration at `revision` only, written whole,
// then reloaded so that everything follows it.
ChangeOutcome applyChange(const std::string& revision,
                          const std::function<ChangeOutcome(const Config&)>& check,
                          const std::function<void(Config&)>& edit) {
  {
    RecursiveGuard guard(configLock());
    ConfigRef current = AcquireConfig();
    if (!current || configRevision(*current) != revision) {
      return refused(ChangeStatus::Conflict, languageText(kTextOptionChanged));
    }
    ChangeOutcome checked = check(*current);
    if (checked.status != ChangeStatus::Done) {
      return checked;
    }
    current.reset();
    if (!updateConfig(edit)) {
      return refused(ChangeStatus::NotSaved, languageText(kTextOptionNotSaved));
    }
  }
  // The reload may ask the user (a newly installed plug-in, say); the sessions
  // must not wait for the configuration lock meanwhile.
  loadConfigFile();
  return {};
}

const char* serverNameKey(PortType type) {
  switch (type) {
  case PortType::Pop3Specific:
  case PortType::Pop3Generic:
    return "PORT_POP3_SERVERNAME";
  case PortType::Imap4Specific:
  case PortType::Imap4Generic:
    return "PORT_IMAP4_SERVERNAME";
  case PortType::SmtpSpecific:
    return "PORT_SMTP_SERVERNAME";
  }
  return "";
}

bool needsServerName(PortType type) {
  return type == PortType::Pop3Specific || type == PortType::Imap4Specific ||
         type == PortType::SmtpSpecific;
}

const PortConfig* findPort(const Config& config, uint32_t id) {
  for (const PortConfig& port : config.ports) {
    if (port.id == id) {
      return &port;
    }
  }
  return nullptr;
}

// What a listening port serves, for the messages about port numbers.
std::string portSummary(const PortConfig& port) {
  std::string summary = portTypeWord(port.type);
  if (!port.serverName.empty()) {
    summary += " " + port.serverName;
  }
  return summary;
}

// The port definition a new or edited port is made of, or the reason it cannot be.
ChangeOutcome checkPortNumber(const Config& config, const PortChange& change) {
  if (change.listenPort < 1 || change.listenPort > 65535) {
    return refused(ChangeStatus::Invalid, languageText(kTextOptionPortNumber));
  }
  const PortConfig* edited =
      change.action == PortChange::Action::Edit ? findPort(config, change.id) : nullptr;
  if (edited && edited->listenPort == change.listenPort) {
    return {};
  }
  for (const PortConfig& port : config.ports) {
    if (&port != edited && port.listenPort == change.listenPort) {
      if (!config.allowPortSharing) {
        return refused(ChangeStatus::Invalid, formatText(languageText(kTextOptionPortTaken),
                                                         {change.listenPort, portSummary(port)}));
      }
      return {}; // shared with a port this program listens on already
    }
  }
  UniqueSocket probe(createTcpSocket());
  int error = 0;
  if (probe.valid() && !bindSocket(probe.get(), config.listenIp, change.listenPort, error)) {
    return refused(ChangeStatus::Invalid, formatText(languageText(kTextOptionPortInUse),
                                                     {change.listenPort, socketErrorText(error)}));
  }
  return {};
}

std::string digestOf(std::string_view text) {
  return md5Hex(text);
}

bool isIpListFile(std::string_view name) {
  return equalsIgnoreCase(name, "wlist_ip.dat") || equalsIgnoreCase(name, "blist_ip.dat") ||
         equalsIgnoreCase(name, "ip_allow.dat");
}

const std::string* findEditableList(std::string_view name) {
  for (const std::string& file : editableListFiles()) {
    if (file == name) {
      return &file;
    }
  }
  return nullptr;
}

// The first line of an IP list that holds something other than a netblock.
ChangeOutcome checkNetblockLines(const std::string& text) {
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end;
    std::string_view line(text.data() + start, end - start);
    std::string_view entry = cleanListLine(line);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) {
      entry.remove_prefix(1);
    }
    Netblock block;
    if (!entry.empty() && !ParseNetblock(entry, block)) {
      return refused(ChangeStatus::Invalid,
                     formatText(languageText(kTextOptionBadNetblock), {number, entry}));
    }
    start = end + 1;
  }
  return {};
}

} // namespace

std::string configRevision(const Config& config) {
  std::string text = formatConfigFile(config);
  for (const PortConfig& port : config.ports) {
    text += "#" + std::to_string(port.id);
  }
  return digestOf(text);
}

std::string currentConfigRevision() {
  ConfigRef config = AcquireConfig();
  return config ? configRevision(*config) : std::string();
}

const std::vector<SettingInfo>& settingInfos() {
  static const std::vector<SettingInfo> infos = [] {
    std::vector<SettingInfo> all;
    for (const Setting& setting : settings()) {
      all.push_back(setting.info);
    }
    return all;
  }();
  return infos;
}

std::optional<std::string> settingValue(const Config& config, std::string_view name) {
  const Setting* setting = findSetting(name);
  if (!setting) {
    return std::nullopt;
  }
  return setting->get(config);
}

ChangeOutcome changeSettings(const std::string& revision,
                             const std::vector<std::pair<std::string, std::string>>& values) {
  auto check = [&](const Config& current) -> ChangeOutcome {
    Config trial = current;
    for (const auto& [name, value] : values) {
      const Setting* setting = findSetting(name);
      if (!setting || !setting->set(trial, value)) {
        return refused(ChangeStatus::Invalid,
                       formatText(languageText(kTextOptionBadValue), {name, value}));
      }
    }
    return {};
  };
  return applyChange(revision, check, [&](Config& changed) {
    for (const auto& [name, value] : values) {
      findSetting(name)->set(changed, value);
    }
  });
}

std::string portTypeWord(PortType type) {
  switch (type) {
  case PortType::Pop3Specific:
    return "POP3_SPECIFIC";
  case PortType::Pop3Generic:
    return "POP3_GENERIC";
  case PortType::Imap4Specific:
    return "IMAP4_SPECIFIC";
  case PortType::Imap4Generic:
    return "IMAP4_GENERIC";
  case PortType::SmtpSpecific:
    return "SMTP_SPECIFIC";
  }
  return "";
}

std::optional<PortType> portTypeFromWord(std::string_view word) {
  for (PortType type : {PortType::Pop3Specific, PortType::Pop3Generic, PortType::Imap4Specific,
                        PortType::Imap4Generic, PortType::SmtpSpecific}) {
    if (equalsIgnoreCase(word, portTypeWord(type))) {
      return type;
    }
  }
  return std::nullopt;
}

ChangeOutcome changePort(const std::string& revision, const PortChange& change, uint32_t* madeId) {
  // The type first, so that the keys of the type apply to it; the server name
  // under the key of the type, whichever the page sent.
  PortKeyValues keys{{"PORT_TYPE", portTypeWord(change.type)}};
  std::string serverName;
  for (const auto& [key, value] : change.keys) {
    if (equalsIgnoreCase(key, "PORT_TYPE")) {
      continue;
    }
    if (key.size() >= 11 &&
        equalsIgnoreCase(std::string_view(key).substr(key.size() - 11), "_SERVERNAME")) {
      serverName = value;
      continue;
    }
    // A file name left empty is made for the port, as loading makes one.
    if (value.empty() && (key.ends_with("_LEAFNAME") || key.ends_with("_FNAME"))) {
      continue;
    }
    keys.emplace_back(key, value);
  }
  keys.emplace_back(serverNameKey(change.type), serverName);

  PortConfig made;
  auto check = [&](const Config& current) -> ChangeOutcome {
    if (change.action != PortChange::Action::Add && !findPort(current, change.id)) {
      return refused(ChangeStatus::Invalid, languageText(kTextOptionUnknownPort));
    }
    if (change.action == PortChange::Action::Remove) {
      return {};
    }
    if (needsServerName(change.type) &&
        (serverName.empty() || serverName.find(' ') != std::string::npos)) {
      return refused(ChangeStatus::Invalid, languageText(kTextOptionServerNeeded));
    }
    for (const auto& [key, value] : keys) {
      for (char c : key + value) {
        if (static_cast<unsigned char>(c) < 32) {
          return refused(ChangeStatus::Invalid,
                         formatText(languageText(kTextOptionBadValue), {key, value}));
        }
      }
    }
    if (ChangeOutcome number = checkPortNumber(current, change);
        number.status != ChangeStatus::Done) {
      return number;
    }
    std::vector<PortConfig> others;
    for (const PortConfig& port : current.ports) {
      if (change.action == PortChange::Action::Add || port.id != change.id) {
        others.push_back(port);
      }
    }
    Config building;
    building.ports = others;
    made = portFromKeyValues(building, change.listenPort, keys);
    made.id = change.action == PortChange::Action::Edit ? change.id : newPortId(current.ports);
    return {};
  };
  ChangeOutcome result = applyChange(revision, check, [&](Config& changed) {
    std::vector<PortConfig>& ports = changed.ports;
    switch (change.action) {
    case PortChange::Action::Add:
      ports.push_back(made);
      break;
    case PortChange::Action::Edit:
      for (PortConfig& port : ports) {
        if (port.id == change.id) {
          port = made;
        }
      }
      break;
    case PortChange::Action::Remove:
      std::erase_if(ports, [&](const PortConfig& port) { return port.id == change.id; });
      break;
    }
  });
  if (result.status == ChangeStatus::Done && madeId) {
    // The reload numbered the ports anew: the added one is the last of its number
    // and type.
    *madeId = 0;
    if (ConfigRef loaded = AcquireConfig()) {
      for (const PortConfig& port : loaded->ports) {
        if (port.listenPort == change.listenPort && port.type == change.type) {
          *madeId = port.id;
        }
      }
    }
  }
  return result;
}

ChangeOutcome changeEnabledDnsbl(const std::string& revision,
                                 const std::vector<std::string>& keys) {
  std::vector<int> enabled;
  auto check = [&](const Config& current) -> ChangeOutcome {
    for (const std::string& key : keys) {
      int found = -1;
      for (size_t i = 0; i < current.dnsblLists.size(); ++i) {
        if (equalsIgnoreCase(current.dnsblLists[i].key, key)) {
          found = static_cast<int>(i);
        }
      }
      if (found < 0) {
        return refused(ChangeStatus::Invalid,
                       formatText(languageText(kTextOptionBadValue), {"DNSBL", key}));
      }
      if (std::find(enabled.begin(), enabled.end(), found) == enabled.end()) {
        enabled.push_back(found);
      }
    }
    return {};
  };
  return applyChange(revision, check, [&](Config& changed) { changed.enabledDnsbl = enabled; });
}

std::vector<PluginInfo> pluginInfos(const Config& config) {
  std::vector<PluginInfo> infos;
  auto describe = [](int index, bool enabled) {
    std::string name = installedPluginName(index);
    return PluginInfo{name, PluginDisplayName(name), PluginVersion(name), enabled,
                      pluginDisabled(index)};
  };
  std::vector<int> shown;
  for (const EnabledPlugin& plugin : config.enabledPlugins) {
    if (plugin.installedIndex >= 0) {
      infos.push_back(describe(plugin.installedIndex, true));
      shown.push_back(plugin.installedIndex);
    }
  }
  std::vector<std::string> names = installedPluginNames();
  for (size_t i = 0; i < names.size(); ++i) {
    int index = static_cast<int>(i);
    if (std::find(shown.begin(), shown.end(), index) == shown.end()) {
      infos.push_back(describe(index, false));
    }
  }
  return infos;
}

ChangeOutcome changeEnabledPlugins(const std::string& revision,
                                   const std::vector<std::string>& names) {
  std::vector<int> wanted;
  auto check = [&](const Config&) -> ChangeOutcome {
    for (const std::string& name : names) {
      int index = findInstalledPlugin(name);
      if (index < 0) {
        return refused(ChangeStatus::Invalid,
                       formatText(languageText(kTextOptionBadValue), {"ENABLED_PLUGIN", name}));
      }
      if (std::find(wanted.begin(), wanted.end(), index) == wanted.end()) {
        wanted.push_back(index);
      }
    }
    return {};
  };
  return applyChange(revision, check, [&](Config& changed) {
    std::vector<EnabledPlugin> enabled;
    for (int index : wanted) {
      EnabledPlugin entry = enabledPlugin(index);
      for (const EnabledPlugin& kept : changed.enabledPlugins) {
        if (kept.installedIndex == index) {
          entry = kept;
        }
      }
      enabled.push_back(entry);
    }
    changed.enabledPlugins = std::move(enabled);
  });
}

const std::vector<std::string>& editableListFiles() {
  static const std::vector<std::string> files = {"wlist_email.dat", "blist_email.dat",
                                                 "wlist_ip.dat",    "blist_ip.dat",
                                                 "ip_allow.dat",    "auto_wlist_from_never.dat"};
  return files;
}

std::optional<ListFileText> readEditableList(std::string_view name) {
  const std::string* file = findEditableList(name);
  if (!file) {
    return std::nullopt;
  }
  RecursiveGuard guard(configLock());
  std::string path = dataPath(*file);
  std::optional<std::string> text = fileExists(path) ? readWholeFile(path) : std::string();
  if (!text) {
    return std::nullopt;
  }
  return ListFileText{*text, digestOf(*text)};
}

ChangeOutcome writeEditableList(std::string_view name, const std::string& text,
                                const std::string& revision) {
  const std::string* file = findEditableList(name);
  if (!file) {
    return refused(ChangeStatus::Invalid,
                   formatText(languageText(kTextOptionBadValue), {"file", name}));
  }
  if (isIpListFile(*file)) {
    if (ChangeOutcome lines = checkNetblockLines(text); lines.status != ChangeStatus::Done) {
      return lines;
    }
  }
  {
    RecursiveGuard guard(configLock());
    std::optional<ListFileText> current = readEditableList(*file);
    if (!current || current->revision != revision) {
      return refused(ChangeStatus::Conflict, languageText(kTextOptionChanged));
    }
    if (!replaceFileContents(dataPath(*file), text)) {
      return refused(ChangeStatus::NotSaved,
                     formatText(languageText(kTextOptionListNotSaved), {*file}));
    }
  }
  reloadIfConfigChanged();
  return {};
}

} // namespace km
