#include "ui/welcome.h"

#include "net/listeners.h"

namespace km {

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
  {
    RecursiveGuard guard(configLock());
    ConfigRef config = AcquireConfig();
    if (!config) {
      return {};
    }
    createGenericPort(*config, POP3_GENERIC, &said[0]);
    createGenericPort(*config, IMAP4_GENERIC, &said[1]);
    config->isFirstRun = false;
    saveConfigFile();
  }
  reloadListeners();
  RecursiveGuard guard(configLock());
  if (ConfigRef config = AcquireConfig()) {
    chooseDnsblScheme(*config, DnsblScheme::Medium);
    saveConfigFile();
  }
  return said;
}

} // namespace km
