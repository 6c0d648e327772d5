// Loading and matching big address and netblock lists: a black list of 100,000
// netblocks and a white list of 20,000 address patterns.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "config/config.h"
#include "config/data_dir.h"
#include "config/lists.h"
#include "platform/files.h"
#include "platform/notifier.h"

namespace km {
namespace {

constexpr int kNetblocks = 100000;
constexpr int kPatterns = 20000;

struct Fixture {
  std::string dir;
  std::vector<Ipv4Address> probes;
  std::vector<std::string> addresses;

  Fixture() {
    std::string pattern = temporaryDirectory() + "kestrel-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data());
    chooseDataDirectory(dir, true);
    std::mt19937 random(42);
    std::string blocks;
    for (int i = 0; i < kNetblocks; ++i) {
      auto octet = [&](unsigned range) {
        return static_cast<unsigned>(random() % range);
      };
      unsigned a = octet(223) + 1, b = octet(256), c = octet(256), d = octet(256);
      switch (i % 3) {
      case 0:
        blocks += formatLine("%u.%u.%u.%u\n", a, b, c, d);
        break;
      case 1:
        blocks += formatLine("%u.%u.%u.0/24\n", a, b, c, 0);
        break;
      default:
        blocks += formatLine("%u.%u.%u.%u-", a, b, c, 0) + formatLine("%u.%u.%u.%u\n", a, b, c, 99);
      }
    }
    writeText("blist_ip.dat", blocks);
    std::string patterns;
    for (int i = 0; i < kPatterns; ++i) {
      switch (i % 4) {
      case 0:
        patterns += "friend" + std::to_string(i) + "@example" + std::to_string(i % 500) + ".com\n";
        break;
      case 1:
        patterns += "*@company" + std::to_string(i) + ".example\n";
        break;
      case 2:
        patterns += "*.dept" + std::to_string(i) + ".example.org\n";
        break;
      default:
        patterns += "Contact Person <person" + std::to_string(i) + "@example.net>\n";
      }
    }
    writeText("wlist_email.dat", patterns);
    for (int i = 0; i < 4096; ++i) {
      probes.push_back({static_cast<uint8_t>(random() % 223 + 1), static_cast<uint8_t>(random()),
                        static_cast<uint8_t>(random()), static_cast<uint8_t>(random())});
      addresses.push_back("someone" + std::to_string(i) + "@company" +
                          std::to_string(random() % (kPatterns * 2)) + ".example");
    }
  }
  ~Fixture() { std::filesystem::remove_all(dir); }

  static std::string formatLine(const char* format, unsigned a, unsigned b, unsigned c,
                                unsigned d) {
    char line[64];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    return line;
  }
  void writeText(const std::string& name, const std::string& text) {
    FILE* file = std::fopen((dir + "/" + name).c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void BM_LoadLists(benchmark::State& state) {
  fixture();
  for (auto _ : state) {
    Config config;
    LoadLists(config);
    benchmark::DoNotOptimize(config.blacklistIp.data());
    state.counters["netblocks"] = static_cast<double>(config.blacklistIp.size());
    state.counters["patterns"] = static_cast<double>(config.whitelistEmail.size());
  }
}
BENCHMARK(BM_LoadLists)->Unit(benchmark::kMillisecond);

Config& loaded() {
  static Config config = [] {
    fixture();
    Config c;
    LoadLists(c);
    return c;
  }();
  return config;
}

void BM_NetblockIndexLookup(benchmark::State& state) {
  const Config& config = loaded();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(config.blacklistIpIndex.contains(fixture().probes[i++ & 4095]));
  }
}
BENCHMARK(BM_NetblockIndexLookup);

void BM_NetblockLinearScan(benchmark::State& state) {
  const Config& config = loaded();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(netblocksContain(config.blacklistIp, fixture().probes[i++ & 4095]));
  }
}
BENCHMARK(BM_NetblockLinearScan)->Unit(benchmark::kMicrosecond);

void BM_PatternIndexLookup(benchmark::State& state) {
  const Config& config = loaded();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        config.whitelistEmailIndex.firstMatch(fixture().addresses[i++ & 4095]));
  }
}
BENCHMARK(BM_PatternIndexLookup);

void BM_PatternLinearScan(benchmark::State& state) {
  const Config& config = loaded();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(patternsMatch(config.whitelistEmail, fixture().addresses[i++ & 4095]));
  }
}
BENCHMARK(BM_PatternLinearScan)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace km

BENCHMARK_MAIN();
