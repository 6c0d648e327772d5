#include "ui/welcome.h"

#include <algorithm>
#include <mutex>

#include "config/plugin_table.h"
#include "net/listeners.h"
#include "platform/text.h"

namespace km {

namespace {

std::mutex welcomeLock;

WelcomeState& progress() {
  static WelcomeState state;
  return state;
}

constexpr const char* kCountryListKeys[] = {"CHI-KOR", "H-KONG", "TAIWAN"};

void enablePlugin(Config& config, const char* name) {
  int installed = findInstalledPlugin(name);
  if (installed < 0) {
    return;
  }
  for (const EnabledPlugin& enabled : config.enabledPlugins) {
    if (enabled.installedIndex == installed) {
      return;
    }
  }
  config.enabledPlugins.push_back(enabledPlugin(installed));
}

} // namespace

void chooseDnsblScheme(Config& config, DnsblScheme scheme) {
  config.enabledDnsbl.clear();
  for (size_t i = 0; i < config.dnsblLists.size(); ++i) {
    const DnsblList& list = config.dnsblLists[i];
    bool inScheme = scheme == DnsblScheme::Safe     ? list.inSafe
                    : scheme == DnsblScheme::Medium ? list.inMedium
                                                    : list.inAggressive;
    if (inScheme) {
      config.enabledDnsbl.push_back(static_cast<int>(i));
    }
  }
}

std::vector<std::string> welcomeNewUser() {
  std::vector<std::string> said(2);
  ConfigStatus made = updateConfig([&said](Config& changed) {
    createGenericPort(changed, PortType::Pop3Generic, &said[0]);
    createGenericPort(changed, PortType::Imap4Generic, &said[1]);
    changed.isFirstRun = false;
  });
  if (made.trouble == ConfigTrouble::NotLoaded) {
    return {};
  }
  reloadListeners();
  updateConfig([](Config& changed) { chooseDnsblScheme(changed, DnsblScheme::Medium); });
  std::lock_guard guard(welcomeLock);
  progress() = WelcomeState{true, said, DnsblScheme::Medium};
  return said;
}

WelcomeState welcomeState() {
  std::lock_guard guard(welcomeLock);
  return progress();
}

void chooseWelcomeScheme(DnsblScheme scheme) {
  updateConfig([scheme](Config& changed) { chooseDnsblScheme(changed, scheme); });
  std::lock_guard guard(welcomeLock);
  progress().scheme = scheme;
}

WelcomeExtras prepareWelcomeExtras(DnsblScheme scheme) {
  WelcomeExtras extras;
  extras.countryLists = scheme != DnsblScheme::Safe;
  extras.patternPluginInstalled = findInstalledPlugin(kPatternPluginName) >= 0;
  extras.linkPluginInstalled = findInstalledPlugin(kLinkPluginName) >= 0;
  extras.patternPlugin = extras.patternPluginInstalled && scheme == DnsblScheme::Aggressive;
  extras.linkPlugin = extras.linkPluginInstalled;
  return extras;
}

void finishWelcome(const WelcomeExtras& chosen) {
  updateConfig([&chosen](Config& changed) {
    if (chosen.countryLists) {
      for (const char* key : kCountryListKeys) {
        for (size_t i = 0; i < changed.dnsblLists.size(); ++i) {
          int index = static_cast<int>(i);
          // A list the scheme enabled already is not queried twice.
          if (equalsIgnoreCase(changed.dnsblLists[i].key, key) &&
              std::find(changed.enabledDnsbl.begin(), changed.enabledDnsbl.end(), index) ==
                  changed.enabledDnsbl.end()) {
            changed.enabledDnsbl.push_back(index);
          }
        }
      }
    }
    if (chosen.patternPlugin) {
      enablePlugin(changed, kPatternPluginName);
    }
    if (chosen.linkPlugin) {
      enablePlugin(changed, kLinkPluginName);
    }
  });
  // A reload sets up the plug-ins just enabled.
  loadConfigFile();
  std::lock_guard guard(welcomeLock);
  progress().open = false;
}

} // namespace km
