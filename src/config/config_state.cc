#include <optional>

#include "config/config_internal.h"
#include "config/data_dir.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace km {

namespace {

struct ConfigState {
  RecursiveLock lock;
  ConfigRef current;
  std::optional<int64_t> ownConfigWrite;
  std::function<void()> loadedHandler;
  ConfigHandlers handlers;
};

ConfigState& state() {
  static ConfigState instance;
  return instance;
}

} // namespace

RecursiveLock& configLock() {
  return state().lock;
}

ConfigRef AcquireConfig() {
  RecursiveGuard guard(configLock());
  return state().current;
}

namespace {

void freeSnapshot(Config* config) {
  delete config;
  requestMemoryTrim();
}

} // namespace

MutableConfigRef newConfigSnapshot() {
  return MutableConfigRef(new Config, freeSnapshot);
}

MutableConfigRef copyConfigSnapshot(const Config& from) {
  return MutableConfigRef(new Config(from), freeSnapshot);
}

ConfigStatus updateConfig(const std::function<void(Config&)>& edit) {
  RecursiveGuard guard(configLock());
  ConfigRef current = state().current;
  if (!current) {
    return {ConfigTrouble::NotLoaded};
  }
  MutableConfigRef changed = copyConfigSnapshot(*current);
  edit(*changed);
  makeConfigCurrent(std::move(changed));
  return saveConfigFile();
}

ConfigStatus updateConfigWithoutSaving(const std::function<void(Config&)>& edit) {
  RecursiveGuard guard(configLock());
  ConfigRef current = state().current;
  if (!current) {
    return {ConfigTrouble::NotLoaded};
  }
  MutableConfigRef changed = copyConfigSnapshot(*current);
  edit(*changed);
  makeConfigCurrent(std::move(changed));
  return {};
}

void setConfigHandlers(ConfigHandlers handlers) {
  RecursiveGuard guard(configLock());
  state().handlers = std::move(handlers);
}

void tellUser(const std::string& title, const std::string& text, NoticeIcon icon) {
  Notice notice;
  notice.title = title;
  notice.text = text;
  notice.icon = icon;
  std::function<NoticeReply(const Notice&)> converse;
  {
    RecursiveGuard guard(configLock());
    converse = state().handlers.converse;
  }
  if (converse) {
    converse(notice);
  }
}

bool askUser(const std::string& title, const std::string& text, NoticeIcon icon,
             NoticeButtons buttons, bool headlessYes) {
  bool okCancel = buttons == NoticeButtons::OkCancel;
  NoticeAnswer yes = okCancel ? NoticeAnswer::Ok : NoticeAnswer::Yes;
  NoticeAnswer no = okCancel ? NoticeAnswer::Cancel : NoticeAnswer::No;
  Notice notice;
  notice.title = title;
  notice.text = text;
  notice.icon = icon;
  notice.buttons = buttons;
  notice.headlessAnswer = headlessYes ? yes : no;
  std::function<NoticeReply(const Notice&)> converse;
  {
    RecursiveGuard guard(configLock());
    converse = state().handlers.converse;
  }
  NoticeAnswer answer = converse ? converse(notice).answer : notice.headlessAnswer;
  return answer == yes;
}

void reportTrouble(ConfigTrouble trouble) {
  RecursiveGuard guard(configLock());
  if (state().handlers.onTrouble) {
    state().handlers.onTrouble(trouble);
  }
}

LogSettings logSettingsOf(const Config& config) {
  return LogSettings{config.loggingEnabled, config.loggingLevel, config.logFile,
                     static_cast<int64_t>(config.logMaxSize) * 1024};
}

void makeConfigCurrent(ConfigRef config) {
  ConfigRef previous;
  {
    RecursiveGuard guard(configLock());
    previous = std::move(state().current);
    state().current = std::move(config);
    setMainLogSettings(state().current ? std::optional(logSettingsOf(*state().current))
                                       : std::nullopt);
  }
}

void releaseCurrentConfig() {
  makeConfigCurrent(nullptr);
}

void noteConfigFileWritten(int64_t modified) {
  RecursiveGuard guard(configLock());
  state().ownConfigWrite = modified;
}

void setConfigLoadedHandler(std::function<void()> handler) {
  RecursiveGuard guard(configLock());
  state().loadedHandler = std::move(handler);
}

void runConfigLoadedHandler() {
  std::function<void()> handler;
  {
    RecursiveGuard guard(configLock());
    handler = state().loadedHandler;
  }
  if (handler) {
    handler();
  }
}

bool isKnownPluginCode(std::string_view code) {
  RecursiveGuard guard(configLock());
  if (!state().current) {
    return false;
  }
  for (const std::string& known : state().current->knownPluginCodes) {
    if (equalsIgnoreCase(known, code)) {
      return true;
    }
  }
  return false;
}

bool reloadIfConfigChanged() {
  bool changed = false;
  {
    RecursiveGuard guard(configLock());
    const ConfigRef& config = state().current;
    if (!config) {
      return false;
    }
    // File systems stamp times from a coarse clock, which the load time was read
    // from too; a file stamped in the same tick counts as changed, so a change is
    // never missed (at worst a reload is repeated).
    auto isNewer = [&](const std::string& path) {
      if (!fileExists(path)) {
        return false; // cannot be opened: unchanged
      }
      std::optional<int64_t> modified = modificationTime(path);
      return !modified || *modified >= config->loadedAt;
    };
    auto configFileChanged = [&] {
      std::string path = dataPath("config.dat");
      if (!isNewer(path)) {
        return false;
      }
      std::optional<int64_t> modified = modificationTime(path);
      return !(modified && state().ownConfigWrite && *modified == *state().ownConfigWrite);
    };

    changed = configFileChanged();
    for (const char* name :
         {"wlist_email.dat", "wlist_ip.dat", "blist_email.dat", "blist_ip.dat", "dnsbl.dat",
          "extra_dnsbl.txt", "ip_allow.dat", "auto_wlist_from_never.dat"}) {
      changed = changed || isNewer(dataPath(name));
    }
    for (const auto* files : {&config->extraWlistIpFiles, &config->extraWlistFromFiles,
                              &config->extraBlistIpFiles, &config->extraBlistFromFiles}) {
      for (const std::string& path : *files) {
        changed = changed || isNewer(path);
      }
    }
    for (const PortConfig& port : config->ports) {
      if (changed) {
        break;
      }
      changed =
          (!port.aclFileName.empty() && isNewer(dataPath(port.aclFileName))) ||
          (port.type == PortType::SmtpSpecific &&
           ((!port.smtp.localEmailFile.empty() && isNewer(dataPath(port.smtp.localEmailFile))) ||
            (!port.smtp.localIpFile.empty() && isNewer(dataPath(port.smtp.localIpFile)))));
    }
  }
  if (changed) {
    loadConfigFile();
  }
  return changed;
}

} // namespace km
