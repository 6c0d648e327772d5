// Feeds arbitrary bytes to the link scanner plug-in's core as a message, and as its
// two files, and checks what every scan must give: at most the allowed number of
// hosts, each distinct and already in the form it is looked up under.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "links.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const linkscan::Suffixes suffixes;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  linkscan::ScanLimits limits;
  limits.mostHosts = 5;
  limits.bodyBytes = limits.textBytes = 2048;
  linkscan::LinkHosts found = linkscan::findLinkHosts(bytes, limits, suffixes, {"w3.org"});
  if (found.hosts.size() > limits.mostHosts) {
    std::abort();
  }
  for (size_t i = 0; i < found.hosts.size(); ++i) {
    const std::string& host = found.hosts[i];
    if (linkscan::normaliseHost(host) != host ||
        std::count(found.hosts.begin(), found.hosts.end(), host) != 1 || host == "w3.org" ||
        host.ends_with(".w3.org")) {
      std::abort();
    }
  }
  linkscan::Settings settings;
  linkscan::parseSettings(bytes, settings);
  linkscan::parseDomainLists(bytes, settings);
  if (settings.limits.mostHosts > linkscan::kMostHostsAllowed) {
    std::abort();
  }
  for (const linkscan::DomainList& list : settings.domainLists) {
    if (list.key.empty() || list.key.size() > linkscan::kLongestListKey || list.zone.empty()) {
      std::abort();
    }
  }
  return 0;
}
