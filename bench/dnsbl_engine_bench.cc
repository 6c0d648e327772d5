// The DNSBL engine as sessions use it: messages filtered and waited for with six
// enabled lists. Shows how many lookups a stream of messages costs (one per
// distinct name, the cache serving the rest), and what the DNSBL wait adds to a
// message when each answer takes 50 ms, with the cache cold and warm.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/data_dir.h"
#include "filter/dnsbl.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_statistics.h"
#include "filter/pipeline.h"
#include "filter/verdict.h"
#include "message/message_fixture.h"
#include "platform/main_loop.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "support/dns_servers.h"

namespace km {
namespace {

constexpr int kLists = 6;
constexpr int kRelays = 50;
constexpr int kMessages = 500;
constexpr int kSessions = 5;
constexpr unsigned kAnswerDelayMs = 50;

std::string listKey(int n) {
  return "L" + std::to_string(n);
}

std::string zone(int n) {
  return "z" + std::to_string(n) + ".test";
}

// Every fifth relay of 198.51.100.0/24 is listed by every list.
test::Rbldnsd& rbldnsd() {
  static test::Rbldnsd server = [] {
    std::string lines = ":127.0.0.2:\n";
    for (int relay = 0; relay < kRelays; relay += 5) {
      lines += "198.51.100." + std::to_string(relay) + "\n";
    }
    return test::Rbldnsd({{zone(0), lines},
                          {zone(1), lines},
                          {zone(2), lines},
                          {zone(3), lines},
                          {zone(4), lines},
                          {zone(5), lines}});
  }();
  return server;
}

// Notices of the configuration load (ports created) are not the point here.
class QuietNotifier : public Notifier {
public:
  NoticeAnswer show(const Notice& notice) override { return notice.headlessAnswer; }
};

// A data directory with six enabled lists at the name server, an empty cache and
// a session to receive messages in.
class Setup {
public:
  explicit Setup(uint16_t port) {
    setNotifier(std::make_shared<QuietNotifier>());
    test::loadShippedLanguageTable();
    chooseDataDirectory(dir_.path(), true);
    // The benchmark does not run beside the shipped definitions: its own are all.
    std::string definitions = "LAST_UPDATED 2099-01-01\n";
    std::string config = "DNSBL_NAMESERVER 127.0.0.1:" + std::to_string(port) + "\n";
    for (int n = 0; n < kLists; ++n) {
      definitions += "LIST " + listKey(n) + "\nNAME List " + std::to_string(n) + "\nZONE " +
                     zone(n) + "\nTYPE STANDARD\n";
      config += "DNSBL " + listKey(n) + " List " + std::to_string(n) + "\n";
    }
    test::writeFile(dir_.file("dnsbl.dat"), definitions);
    test::writeFile(dir_.file("config.dat"), config);
    loadConfigFile();
    syncDnsblStatisticsLists(*AcquireConfig());
    cacheLoad();
  }
  ~Setup() {
    // The workers leave before the next setup changes the configuration.
    raiseStopFlag();
    while (dnsblEngineCounts().workers > 0) {
      sleepMs(20);
    }
    lowerStopFlagForTests();
    closeMainLoop();
  }

  // Lookups answered so far, over all lists.
  static uint64_t lookups() {
    uint64_t total = 0;
    for (int n = 0; n < kLists; ++n) {
      total += dnsblListCounts(listKey(n)).value_or(DnsblCounts{}).queries;
    }
    return total;
  }

private:
  test::TempDir dir_;
};

// One message from the relay through the pipeline's DNSBL stages, as a session
// handles it; true when it was judged spam.
bool judge(test::MessageFixture& session, const std::string& relay) {
  MessagePtr message = session.create();
  test::feedMessage(*message,
                    "From: a@example.org\r\nReceived: from x ([" + relay + "]) by y\r\n\r\n");
  FilterHeaders(*message, nullptr);
  waitForDnsblResults(*message, nullptr);
  return isSpamVerdict(message->verdict);
}

void BM_FiveHundredMessagesFromFiftyRelays(benchmark::State& state) {
  if (!rbldnsd().running()) {
    state.SkipWithError("rbldnsd did not start");
    return;
  }
  for (auto _ : state) {
    Setup setup(rbldnsd().port());
    std::atomic<int> spam{0};
    std::vector<std::thread> sessions;
    for (int s = 0; s < kSessions; ++s) {
      sessions.emplace_back([s, &spam] {
        test::MessageFixture session(PortType::Pop3Generic, AcquireConfig());
        for (int m = s; m < kMessages; m += kSessions) {
          spam += judge(session, "198.51.100." + std::to_string(m % kRelays)) ? 1 : 0;
        }
      });
    }
    for (std::thread& session : sessions) {
      session.join();
    }
    state.counters["dns_lookups"] = static_cast<double>(Setup::lookups());
    state.counters["spam"] = spam.load();
  }
}
BENCHMARK(BM_FiveHundredMessagesFromFiftyRelays)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A resolver whose every answer (not listed) takes 50 ms, counting what it is asked.
test::FakeDnsServer& slowResolver() {
  static test::FakeDnsServer server([](const test::DnsRequest& request) {
    return std::vector<test::DnsDatagram>{{test::dnsReply(request, 3), kAnswerDelayMs}};
  });
  return server;
}

// Each message from a relay never seen: six lookups, answered after 50 ms each.
void BM_MessageWaitColdCache(benchmark::State& state) {
  Setup setup(slowResolver().server().port);
  test::MessageFixture session(PortType::Pop3Generic, AcquireConfig());
  int asked = slowResolver().requestCount();
  int relay = 0;
  for (auto _ : state) {
    ++relay;
    judge(session, "203.0.113." + std::to_string(relay % 250) + "");
  }
  state.counters["dns_queries_per_message"] =
      benchmark::Counter(slowResolver().requestCount() - asked, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MessageWaitColdCache)->Iterations(40)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same relays again: the cache answers.
void BM_MessageWaitWarmCache(benchmark::State& state) {
  Setup setup(slowResolver().server().port);
  test::MessageFixture session(PortType::Pop3Generic, AcquireConfig());
  for (int relay = 1; relay <= 20; ++relay) {
    judge(session, "192.0.2." + std::to_string(relay));
  }
  int asked = slowResolver().requestCount();
  int relay = 0;
  for (auto _ : state) {
    judge(session, "192.0.2." + std::to_string(relay % 20 + 1));
    ++relay;
  }
  state.counters["dns_queries_per_message"] =
      benchmark::Counter(slowResolver().requestCount() - asked, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MessageWaitWarmCache)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
} // namespace km

BENCHMARK_MAIN();
