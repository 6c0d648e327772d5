// Judging and tagging messages: a typical 20 KB message with 8 Received lines
// through header filtering and tagging against a white list of 10,000 address
// patterns and a black list of 100,000 netblocks; and the memory a 50 MB message
// takes while it is held (its body must live in temporary files).
#include <benchmark/benchmark.h>

#include <fstream>
#include <random>
#include <string>

#include "config/config.h"
#include "filter/dnsbl.h"
#include "filter/pipeline.h"
#include "filter/session_record.h"
#include "filter/tagging.h"
#include "message/message.h"

namespace km {
namespace {

constexpr int kWhitePatterns = 10000;
constexpr int kBlackBlocks = 100000;

Ipv4Address randomAddress(std::mt19937& random) {
  return {static_cast<uint8_t>(random() % 223 + 1), static_cast<uint8_t>(random()),
          static_cast<uint8_t>(random()), static_cast<uint8_t>(random())};
}

ConfigRef benchConfig() {
  auto config = std::make_shared<Config>();
  std::mt19937 random(7);
  for (int i = 0; i < kWhitePatterns; ++i) {
    switch (i % 4) {
    case 0:
      config->whitelistEmail.push_back("friend" + std::to_string(i) + "@example.com");
      break;
    case 1:
      config->whitelistEmail.push_back("*@company" + std::to_string(i) + ".example");
      break;
    case 2:
      config->whitelistEmail.push_back("*.dept" + std::to_string(i) + ".example.org");
      break;
    default:
      config->whitelistEmail.push_back("person" + std::to_string(i) + "@*");
    }
  }
  config->whitelistIp = {{{10, 0, 0, 0}, {10, 255, 255, 255}},
                         {{172, 16, 0, 0}, {172, 31, 255, 255}},
                         {{192, 168, 0, 0}, {192, 168, 255, 255}}};
  for (int i = 0; i < kBlackBlocks; ++i) {
    Ipv4Address low = randomAddress(random);
    Ipv4Address high = low;
    high[3] = static_cast<uint8_t>(std::max<int>(low[3], i % 3 == 0 ? 255 : low[3]));
    config->blacklistIp.push_back({low, high});
  }
  config->blacklistEmail = {"*@spammer.example", "offers@*"};
  config->whitelistEmailIndex = PatternIndex(config->whitelistEmail);
  config->blacklistEmailIndex = PatternIndex(config->blacklistEmail);
  config->whitelistIpIndex = NetblockIndex(config->whitelistIp);
  config->blacklistIpIndex = NetblockIndex(config->blacklistIp);
  config->tagSubject = true;
  config->verdictInSubject = true;
  return config;
}

std::string typicalMessage() {
  std::string text;
  std::mt19937 random(11);
  for (int hop = 0; hop < 8; ++hop) {
    Ipv4Address relay = randomAddress(random);
    text += "Received: from relay" + std::to_string(hop) + ".example.net (relay" +
            std::to_string(hop) + ".example.net [" + ipToString(relay) +
            "])\r\n\tby mx.example.org (Postfix) with ESMTPS id 4Hk2" + std::to_string(hop) +
            "\r\n\tfor <reader@example.org>; Tue, 3 Mar 2026 10:00:0" + std::to_string(hop) +
            " +0000\r\n";
  }
  text += "From: Newsletter <news@unknown-sender.example>\r\n"
          "Reply-To: replies@unknown-sender.example\r\n"
          "Return-Path: <bounce-1234@mailer.unknown-sender.example>\r\n"
          "To: reader@example.org\r\n"
          "Subject: Your weekly digest\r\n"
          "Date: Tue, 3 Mar 2026 10:00:00 +0000\r\n"
          "Message-ID: <digest-2026-10@unknown-sender.example>\r\n"
          "MIME-Version: 1.0\r\n"
          "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  while (text.size() < 20 * 1024) {
    text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.\r\n";
  }
  return text;
}

// Feeds the raw text as a session does: header lines, then the body.
void receive(Message& message, std::string_view raw) {
  while (!raw.empty()) {
    size_t end = raw.find("\r\n");
    size_t length = end == std::string_view::npos ? raw.size() : end + 2;
    AppendHeaderData(message, raw.substr(0, length), true);
    raw.remove_prefix(length);
    if (message.headerLines.back() == "\r\n") {
      RemoveHeaderLine(message, message.headerLines.size(), true);
      message.headersComplete = true;
      AppendBody(message, raw, true);
      return;
    }
  }
}

struct Pop3Session {
  PortConfig port;
  SessionRecord record;
  explicit Pop3Session(ConfigRef config) {
    port.type = PortType::Pop3Generic;
    CreateSessionRecord(record, std::move(config), port, {127, 0, 0, 1});
  }
  ~Pop3Session() { FinishSessionRecord(record); }
};

void BM_FilterAndTagTypicalMessage(benchmark::State& state) {
  Pop3Session session(benchConfig());
  const std::string raw = typicalMessage();
  FetchRecord fetch;
  fetch.expectedSize = static_cast<int64_t>(raw.size());
  fetch.isRetr = true;
  for (auto _ : state) {
    MessagePtr message = CreateMessage(session.record.config, &session.record, fetch);
    receive(*message, raw);
    FilterHeaders(*message, nullptr);
    waitForDnsblResults(*message, nullptr);
    withdrawMessage(*message);
    RewriteBody(*message, nullptr, true, nullptr);
    RewriteHeaders(*message, 0, nullptr);
    PadToSize(*message, 0,
              fetch.expectedSize + MaxBytesToAdd(*session.record.config, fetch.expectedSize));
    benchmark::DoNotOptimize(MessageSize(*message));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(raw.size()));
}
BENCHMARK(BM_FilterAndTagTypicalMessage)->Unit(benchmark::kMicrosecond);

// Resident memory of the process in bytes.
int64_t residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      int64_t kilobytes = 0;
      status >> kilobytes;
      return kilobytes * 1024;
    }
  }
  return 0;
}

void BM_HoldFiftyMegabyteMessage(benchmark::State& state) {
  Pop3Session session(std::make_shared<Config>());
  const std::string piece(64 * 1024, 'x');
  constexpr int kPieces = 50 * 16; // 50 MB
  int64_t largestGrowth = 0;
  for (auto _ : state) {
    FetchRecord fetch;
    int64_t before = residentBytes();
    MessagePtr message = CreateMessage(session.record.config, &session.record, fetch);
    receive(*message, "From: big@example.net\r\nSubject: large\r\n\r\n");
    for (int i = 0; i < kPieces; ++i) {
      AppendBody(*message, piece, true);
    }
    largestGrowth = std::max(largestGrowth, residentBytes() - before);
    if (message->body.storageType != BodyStorage::InFile ||
        message->pristineBody.storageType != BodyStorage::InFile) {
      state.SkipWithError("a 50 MB body stayed in memory");
    }
  }
  state.counters["resident_growth_MB"] = static_cast<double>(largestGrowth) / (1024 * 1024);
  state.SetBytesProcessed(state.iterations() * kPieces * static_cast<int64_t>(piece.size()));
}
BENCHMARK(BM_HoldFiftyMegabyteMessage)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
} // namespace km

BENCHMARK_MAIN();
