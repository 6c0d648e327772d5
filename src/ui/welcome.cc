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
  return said;
}

} // namespace km
