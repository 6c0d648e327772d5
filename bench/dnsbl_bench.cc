// DNSBL lookups against a local rbldnsd (one thread and several in parallel), and
// the result cache: lookups and stores in a cache of 100,000 answers over six
// lists, and saving and loading it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "config/data_dir.h"
#include "filter/dnsbl_cache.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/notifier.h"
#include "platform/resolver.h"
#include "support/dns_servers.h"

namespace km {
namespace {

constexpr int64_t kNow = 1700000000;
constexpr int kCachedAnswers = 100000;
const char* const kListKeys[] = {"SBL", "XBL", "SPAMCOP", "SORBS", "PSBL", "UCE1"};

test::Rbldnsd& server() {
  static test::Rbldnsd rbldnsd(
      {{"bl.test", ":127.0.0.2:Listed\n192.0.2.0/24\n198.51.100.0/24 :127.0.0.4:\n"}});
  return rbldnsd;
}

LookupOptions serverOptions() {
  LookupOptions options;
  options.server = server().server();
  options.timeoutSeconds = 2;
  options.attempts = 1;
  return options;
}

void lookupLoop(benchmark::State& state, const char* name, int expectedError) {
  if (!server().running()) {
    state.SkipWithError("rbldnsd did not start");
    return;
  }
  LookupOptions options = serverOptions();
  for (auto _ : state) {
    AddressLookup found = lookupDnsblName(name, options);
    if (found.error != expectedError) {
      state.SkipWithError("unexpected answer");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
}

void BM_RbldnsdLookupListed(benchmark::State& state) {
  lookupLoop(state, "10.2.0.192.bl.test", 0);
}
BENCHMARK(BM_RbldnsdLookupListed)->UseRealTime();
BENCHMARK(BM_RbldnsdLookupListed)->Threads(4)->UseRealTime();

void BM_RbldnsdLookupNotListed(benchmark::State& state) {
  lookupLoop(state, "10.2.0.203.bl.test", wsa::kHostNotFound);
}
BENCHMARK(BM_RbldnsdLookupNotListed)->UseRealTime();

// A cache of 100,000 answers spread over six lists (a fifth of them listed).
struct CacheFixture {
  std::string dir;
  std::vector<Ipv4Address> cached;
  std::vector<Ipv4Address> absent;

  CacheFixture() {
    setNotifier(std::make_shared<HeadlessNotifier>());
    std::string pattern = temporaryDirectory() + "kestrel-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data());
    chooseDataDirectory(dir, true);
    cacheLoad(kNow);
    std::mt19937 random(42);
    for (int i = 0; i < kCachedAnswers; ++i) {
      Ipv4Address ip{static_cast<uint8_t>(random() % 223 + 1), static_cast<uint8_t>(random()),
                     static_cast<uint8_t>(random()), static_cast<uint8_t>(random())};
      cacheStore(ip, kListKeys[i % 6], i % 5 == 0, kNow + i / 100);
      cached.push_back(ip);
      absent.push_back({10, static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                        static_cast<uint8_t>(random())});
    }
  }
  ~CacheFixture() { std::filesystem::remove_all(dir); }
};

CacheFixture& cacheFixture() {
  static CacheFixture fixture;
  return fixture;
}

void BM_CacheLookupHit(benchmark::State& state) {
  CacheFixture& fixture = cacheFixture();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cacheLookup(fixture.cached[i % kCachedAnswers], kListKeys[i % 6]));
    ++i;
  }
}
BENCHMARK(BM_CacheLookupHit);

void BM_CacheLookupMiss(benchmark::State& state) {
  CacheFixture& fixture = cacheFixture();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cacheLookup(fixture.absent[i % kCachedAnswers], kListKeys[i % 6]));
    ++i;
  }
}
BENCHMARK(BM_CacheLookupMiss);

void BM_CacheSaveAndLoad(benchmark::State& state) {
  cacheFixture();
  uint8_t round = 0;
  for (auto _ : state) {
    ++round; // a new answer of each kind makes both files due
    cacheStore({198, 18, 0, round}, "SBL", true, kNow);
    cacheStore({198, 19, 0, round}, "SBL", false, kNow);
    cacheSave();
    cacheLoad(kNow);
  }
  state.counters["file_bytes"] =
      static_cast<double>(readWholeFile(dataPath("dnsbl_cache_pos.dat"))->size() +
                          readWholeFile(dataPath("dnsbl_cache_neg.dat"))->size());
}
BENCHMARK(BM_CacheSaveAndLoad)->Unit(benchmark::kMillisecond);

void BM_CacheStoreNew(benchmark::State& state) {
  cacheFixture();
  uint32_t next = 0;
  for (auto _ : state) {
    ++next;
    Ipv4Address ip{172, static_cast<uint8_t>(next >> 16), static_cast<uint8_t>(next >> 8),
                   static_cast<uint8_t>(next)};
    cacheStore(ip, kListKeys[next % 6], next % 5 == 0, kNow + 5000);
  }
}
BENCHMARK(BM_CacheStoreNew);

} // namespace
} // namespace km

BENCHMARK_MAIN();
