// Feeds arbitrary bytes to the configuration loader as config.dat, with the
// writing back that every load does.
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "fuzz_support.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Keys that name paths outside the data directory would let the fuzzer read
  // devices or append to any file of the machine: they are left out here.
  std::string lower = km::toLowerAscii(bytes);
  if (lower.find("logfile") != std::string::npos || lower.find("extra_") != std::string::npos) {
    return 0;
  }
  km::fuzz::prepareFuzzing();
  km::fuzz::clearDataDirectory();
  km::fuzz::writeDataFile("config.dat", bytes);
  km::loadConfigFile();
  km::releaseCurrentConfig();
  return 0;
}
