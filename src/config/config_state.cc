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

ConfigRef newConfigSnapshot() {
  return ConfigRef(new Config, [](Config* config) {
    delete config;
    requestMemoryTrim();
  });
}

void makeConfigCurrent(ConfigRef config) {
  ConfigRef previous;
  {
    RecursiveGuard guard(configLock());
    previous = std::move(state().current);
    state().current = std::move(config);
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

bool loadConfigFileUnlessClosing() {
  return !stopRequested() && loadConfigFile();
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
          (port.type == SMTP_SPECIFIC &&
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
