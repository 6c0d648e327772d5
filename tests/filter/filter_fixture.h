// Configurations with lists for filter tests, messages run through the stages,
// and plug-ins made of functions of the test program.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "config/config.h"
#include "config/data_dir.h"
#include "config/plugin_table.h"
#include "filter/pipeline.h"
#include "filter/tagging.h"
#include "filter/verdict.h"
#include "message/message_fixture.h"
#include "support/test_support.h"

namespace km::test {

inline Ipv4Address ip(std::string_view text) {
  Ipv4Address address{};
  EXPECT_TRUE(parseIpv4(text, address)) << text;
  return address;
}

inline Netblock block(std::string_view low, std::string_view high) {
  return Netblock{ip(low), ip(high)};
}

// A snapshot with the built-in private white blocks, edited by the test, with its
// list indexes built.
inline std::shared_ptr<Config> filterConfig(const std::function<void(Config&)>& edit = {}) {
  auto config = std::make_shared<Config>();
  config->whitelistIp = {block("10.0.0.0", "10.255.255.255"), block("172.16.0.0", "172.31.255.255"),
                         block("192.168.0.0", "192.168.255.255")};
  if (edit) {
    edit(*config);
  }
  config->whitelistEmailIndex = PatternIndex(config->whitelistEmail);
  config->blacklistEmailIndex = PatternIndex(config->blacklistEmail);
  config->whitelistIpIndex = NetblockIndex(config->whitelistIp);
  config->blacklistIpIndex = NetblockIndex(config->blacklistIp);
  return config;
}

// The exports of a plug-in by name.
using PluginExports = std::map<std::string, void*>;

template <typename Function> void* exported(Function function) {
  return reinterpret_cast<void*>(function);
}

// Installs a plug-in of a fresh name whose exports are the given functions, and
// returns its index in the installed table.
inline int installPlugin(PluginExports exports) {
  static int count = 0;
  return addInstalledPlugin("test-plugin-" + std::to_string(++count),
                            [exports](const char* name) -> void* {
                              auto found = exports.find(name);
                              return found == exports.end() ? nullptr : found->second;
                            });
}

// Enables the plug-in with the given data, as if its loadConfig had answered it.
inline void enablePlugin(Config& config, int installedIndex, uintptr_t data = 0) {
  EnabledPlugin entry = enabledPlugin(installedIndex);
  entry.state->presetData(reinterpret_cast<KmPluginData>(data));
  config.enabledPlugins.push_back(entry);
}

// A POP3 session over a data directory (for session logs), in which messages are
// received and filtered.
class PipelineTest : public ::testing::Test {
protected:
  PipelineTest() { prepareDataDirectory(); }

  // Session logs are merged into a main log in the data directory.
  void useConfig(std::shared_ptr<Config> config) {
    if (config->logFile.empty()) {
      config->logFile = data_.file("kestrelmail.log");
    }
    fixture_.reset();
    fixture_ = std::make_unique<MessageFixture>(PortType::Pop3Generic, std::move(config));
  }

  // A message as received, announced at its own size.
  MessagePtr received(std::string_view raw) {
    fixture_->fetch.expectedSize = static_cast<int64_t>(raw.size());
    MessagePtr message = fixture_->create();
    feedMessage(*message, raw);
    return message;
  }

  MessagePtr filtered(std::string_view raw) {
    MessagePtr message = received(raw);
    FilterHeaders(*message, nullptr);
    return message;
  }

  // What the session log holds so far.
  std::string sessionLog() { return readFile(fixture_->session.log.path); }

  DataDirScope data_;
  NotifierScope notices_;
  std::unique_ptr<MessageFixture> fixture_ =
      std::make_unique<MessageFixture>(PortType::Pop3Generic, filterConfig());
};

} // namespace km::test
