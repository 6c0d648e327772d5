// Feeds arbitrary bytes to the DNSBL definition reader, as the current definitions
// and as the user's own additions.
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "config/dnsbl_definitions.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  km::fuzz::prepareFuzzing();
  km::fuzz::clearDataDirectory();
  size_t half = bytes.size() / 2;
  km::fuzz::writeDataFile("dnsbl.dat", bytes.substr(0, half));
  km::fuzz::writeDataFile("extra_dnsbl.txt", bytes.substr(half));
  km::Config config;
  km::loadDnsblDefinitions(config);
  for (const km::DnsblList& list : config.dnsblLists) {
    for (int earlier : list.subsumedBy) {
      if (earlier < 0 || static_cast<size_t>(earlier) >= config.dnsblLists.size() ||
          &config.dnsblLists[static_cast<size_t>(earlier)] >= &list) {
        __builtin_trap(); // subsumption must point at an earlier list
      }
    }
    if (list.key.size() > 7) {
      __builtin_trap();
    }
  }
  return 0;
}
