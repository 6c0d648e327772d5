// Port definitions: the access decision.
#include "config/config.h"

namespace km {

bool portAdmits(const PortConfig& port, const Config& config, const Ipv4Address& client) {
  const std::vector<Netblock>& blocks = port.specialAcl ? port.aclBlocks : config.ipAllowList;
  for (const Netblock& block : blocks) {
    if (ipInRange(client, block)) {
      return true;
    }
  }
  return false;
}

}  // namespace km
