// DNS blacklists as the program meets them: list definitions in extra_dnsbl.txt,
// the enabled lists and the name server in config.dat, loaded as the current
// configuration, and messages judged through the filter pipeline.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "filter/dnsbl.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_lock.h"
#include "filter/dnsbl_statistics.h"
#include "filter/filter_fixture.h"
#include "platform/main_loop.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "support/dns_servers.h"

namespace km::test {

// One list definition: key, name, zone, type word and result codes.
struct ListDefinition {
  std::string key;
  std::string name;
  std::string zone;
  std::string type = "STANDARD";
  std::vector<std::string> resultCodes;
};

class DnsblTest : public ::testing::Test {
protected:
  DnsblTest() { cacheLoad(); }

  ~DnsblTest() override {
    messages_.clear();
    fixture_.reset();
    endWorkers();
    closeMainLoop();
  }

  // Defines and enables the lists and loads them with the name server and time-out.
  void useLists(const std::vector<ListDefinition>& lists, const NameServer& server,
                int timeoutSeconds = 10) {
    std::string definitions;
    std::string config = "DNSBL_NAMESERVER 127.0.0.1:" + std::to_string(server.port) +
                         "\nDNSBL_TIME_OUT " + std::to_string(timeoutSeconds) + "\n";
    for (const ListDefinition& list : lists) {
      definitions += "LIST " + list.key + "\nNAME " + list.name + "\nZONE " + list.zone +
                     "\nTYPE " + list.type + "\n";
      for (const std::string& code : list.resultCodes) {
        definitions += "RESULT_CODE " + code + "\n";
      }
      config += "DNSBL " + list.key + " " + list.name + "\n";
    }
    writeFile(data_.file("extra_dnsbl.txt"), definitions);
    writeFile(data_.file("config.dat"), config);
    messages_.clear(); // they belong to the session that goes
    ASSERT_TRUE(loadConfigFile());
    ConfigRef loaded = AcquireConfig();
    ASSERT_EQ(loaded->enabledDnsbl.size(), lists.size());
    syncDnsblStatisticsLists(*loaded);
    fixture_.reset();
    fixture_ = std::make_unique<MessageFixture>(PortType::Pop3Generic, loaded);
  }

  // A message with the header block, filtered (its queries queued) but not waited for.
  Message& filtered(const std::string& headers) {
    messages_.push_back(fixture_->create());
    Message& message = *messages_.back();
    feedMessage(message, headers + "\r\n");
    FilterHeaders(message, nullptr);
    return message;
  }

  // A message from the relay as a session handles it: filtered, waited for, and
  // gone again; what remains is its verdict.
  Verdict judged(const std::string& relay) {
    Message& message = filtered("From: someone@example.org\r\nReceived: from mx.example.org ([" +
                                relay + "]) by us\r\n");
    waitForDnsblResults(message, nullptr);
    Verdict verdict = message.verdict;
    messages_.pop_back();
    return verdict;
  }

  static std::string label(const Verdict& verdict) {
    return VerdictLabel(isSpamVerdict(verdict), verdict);
  }
  static std::string label(const Message& message) { return label(message.verdict); }

  // Lets the workers go (they finish a lookup in progress first) and checks that the
  // engine kept nothing once every message is gone.
  void endWorkers() {
    messages_.clear();
    raiseStopFlag();
    waitUntil([] { return dnsblEngineCounts().workers == 0; }, 20000);
    DnsblEngineCounts left = dnsblEngineCounts();
    EXPECT_EQ(left.workers, 0);
    EXPECT_EQ(left.idleWorkers, 0);
    EXPECT_EQ(left.queries, 0u);
    EXPECT_EQ(left.waiters, 0u);
    EXPECT_EQ(left.queued, 0);
    lowerStopFlagForTests();
  }

  DataDirScope data_;
  NotifierScope notices_;
  std::unique_ptr<MessageFixture> fixture_;
  std::vector<MessagePtr> messages_;
};

} // namespace km::test
