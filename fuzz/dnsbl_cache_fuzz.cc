// Feeds arbitrary bytes to the DNSBL cache loader as the two cache files, then
// checks that what it kept and wrote back reads again without complaint and
// unchanged.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "filter/dnsbl_cache.h"
#include "fuzz_support.h"
#include "platform/files.h"
#include "platform/notifier.h"

namespace {

constexpr int64_t kNow = 1700000000;

class CountingNotifier : public km::Notifier {
public:
  km::NoticeAnswer show(const km::Notice& notice) override {
    ++shown;
    return notice.headlessAnswer;
  }
  std::atomic<int> shown{0};
};

std::string readDataFile(const char* name) {
  return km::readWholeFile(km::fuzz::prepareFuzzing() + name).value_or("<missing>");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<CountingNotifier> notifier = [] {
    km::fuzz::prepareFuzzing();
    auto counting = std::make_shared<CountingNotifier>();
    km::setNotifier(counting);
    return counting;
  }();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  km::fuzz::clearDataDirectory();
  size_t half = size == 0 ? 0 : data[0] % (size + 1);
  km::fuzz::writeDataFile("dnsbl_cache_pos.dat", bytes.substr(0, half));
  km::fuzz::writeDataFile("dnsbl_cache_neg.dat", bytes.substr(half));

  km::cacheLoad(kNow);
  km::cacheLookup({192, 0, 2, 10}, "SBL");
  std::string positive = readDataFile("dnsbl_cache_pos.dat");
  std::string negative = readDataFile("dnsbl_cache_neg.dat");

  int before = notifier->shown.load();
  km::cacheLoad(kNow);
  if (notifier->shown.load() != before || readDataFile("dnsbl_cache_pos.dat") != positive ||
      readDataFile("dnsbl_cache_neg.dat") != negative) {
    __builtin_trap(); // the cache must read back what it kept
  }
  return 0;
}
