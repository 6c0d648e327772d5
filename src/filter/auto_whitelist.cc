#include "filter/auto_whitelist.h"

#include <algorithm>

#include "config/config.h"
#include "platform/text.h"

namespace km {

std::optional<std::string> IsAutoWhiteAddress(const Config& config, std::string_view address) {
  RecursiveGuard guard(configLock());
  for (const std::string& entry : config.autoWlistFrom) {
    if (equalsIgnoreCase(entry, address)) {
      return entry;
    }
  }
  return std::nullopt;
}

bool IsAutoWhiteIp(const Config& config, const Ipv4Address& ip) {
  RecursiveGuard guard(configLock());
  return std::find(config.autoWlistIp.begin(), config.autoWlistIp.end(), ip) !=
         config.autoWlistIp.end();
}

void feedAutoWhitelisting(const Message&) {}

void WhitelistAddressNow(std::string_view, std::string_view, const Config&) {}

} // namespace km
