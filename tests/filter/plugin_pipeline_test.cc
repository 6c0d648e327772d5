// The pipeline and the rewriting with plug-ins made of functions of this program.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "filter/dnsbl.h"
#include "filter/filter_fixture.h"
#include "platform/descriptors.h"

namespace km::test {
namespace {

// What the fake plug-ins saw and what they are to answer.
struct PluginState {
  std::vector<std::string> calls;
  std::string bodySeen;
  int32_t minimumBytes = 0;
  int32_t requireBody = 0;
  std::vector<int32_t> prefixBufferSizes;
  std::vector<std::string> headerLinesSeen;
};

PluginState& state() {
  static PluginState instance;
  return instance;
}

// Fills a caller's buffer as getMessageBodyPrefix and getAddedHeaderLines do.
int32_t fill(std::string_view text, char* buffer, int32_t size) {
  auto needed = static_cast<int32_t>(text.size() + 1);
  if (needed <= size) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
  }
  return needed;
}

void fetchStart(uint32_t, Verdict*, KmPluginData) {
  state().calls.push_back("fetchStart");
}
void fetchEnd(uint32_t, Verdict*, KmPluginData) {
  state().calls.push_back("fetchEnd");
}

void whitelistAddress(const char* address, int32_t kind, uint32_t, Verdict* verdict, KmPluginData,
                      const KmCallbacksA*) {
  state().calls.push_back(std::string("address ") + address + " " + std::to_string(kind));
  if (std::string_view(address) == "friend@plugin.example") {
    verdict->isWhitelisted = 1;
  }
}

int32_t ignoreNetwork(const uint8_t* ip, uint32_t, Verdict*, KmPluginData) {
  return ip[0] == 192 && ip[1] == 0 && ip[2] == 2 ? 1 : 0;
}

void seeRelay(const uint8_t* ip, uint32_t, Verdict*, KmPluginData, const KmCallbacksA*) {
  state().calls.push_back("relay " + ipToString({ip[0], ip[1], ip[2], ip[3]}));
}

void seeHeaders(const char* const* lines, int32_t count, uint32_t, Verdict*, KmPluginData data,
                const KmCallbacksA*) {
  state().headerLinesSeen.assign(lines, lines + count);
  state().calls.push_back("headers data " + std::to_string(reinterpret_cast<uintptr_t>(data)));
}

int32_t minimumBytes(int32_t phase, const char* const*, int32_t, uint32_t, Verdict*, KmPluginData) {
  state().calls.push_back("minimum " + std::to_string(phase));
  return state().minimumBytes;
}

int32_t requireBody(const char* const*, int32_t, uint32_t, Verdict*, KmPluginData) {
  return state().requireBody;
}

void judgeBody(const char* const*, int32_t, int body, uint32_t, Verdict* verdict, KmPluginData,
               const KmCallbacksA*) {
  state().bodySeen = readAll(body);
  if (state().bodySeen.find("viagra") != std::string::npos) {
    verdict->isSpam = 1;
    verdict->source = KM_SOURCE_BODY;
  }
}

void seeProcessed(const char* const* lines, int32_t count, int body, uint32_t, Verdict*,
                  KmPluginData) {
  state().headerLinesSeen.assign(lines, lines + count);
  state().bodySeen = readAll(body);
}

int32_t firstPrefix(uint32_t, Verdict*, KmPluginData, char* buffer, int32_t size) {
  return fill("First plug-in. ", buffer, size);
}

int32_t longPrefix(uint32_t, Verdict*, KmPluginData, char* buffer, int32_t size) {
  state().prefixBufferSizes.push_back(size);
  return fill(std::string(2999, 'L'), buffer, size);
}

int32_t addedLines(uint32_t, Verdict*, KmPluginData, char* buffer, int32_t size) {
  return fill("X-Plugin-One: 1\r\nX-Plugin-Two: 2\r\n", buffer, size);
}

int32_t yes(const char* const*, int32_t, uint32_t, Verdict*, KmPluginData) {
  return 1;
}

void shoutBody(const char* const*, int32_t, int body, int output, uint32_t, Verdict*,
               KmPluginData) {
  std::string text = readAll(body);
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  UniqueFd out(output);
  writeAll(out.get(), text.data(), text.size());
}

void replaceHeaders(const char* const* lines, int32_t count, int32_t firstChangeable, int output,
                    uint32_t, Verdict*, KmPluginData) {
  std::string block;
  for (int32_t i = 0; i < count; ++i) {
    if (i < firstChangeable || std::string_view(lines[i]).substr(0, 8) != "X-Drop: ") {
      block += lines[i];
    }
  }
  block += "X-Rewritten: \x02yes\r\n";
  UniqueFd out(output);
  writeAll(out.get(), block.data(), block.size());
}

int32_t addFifty(KmPluginData) {
  return 50;
}

class Plugins : public PipelineTest {
protected:
  Plugins() { state() = PluginState{}; }

  // A session whose configuration enables the given plug-ins, in order.
  void usePlugins(const std::vector<PluginExports>& plugins,
                  const std::function<void(Config&)>& edit = {}) {
    useConfig(filterConfig([&](Config& c) {
      for (const PluginExports& exports : plugins) {
        int index = installPlugin(exports);
        installed_.push_back(index);
        enablePlugin(c, index, 7);
      }
      c.loggingEnabled = true;
      c.loggingLevel = LogLevel::Verbose;
      if (edit) {
        edit(c);
      }
    }));
  }

  std::vector<int> installed_;
};

TEST_F(Plugins, HearWhenAFetchStartsAndEndsUnlessDisabled) {
  usePlugins({{{"fetchStart", exported(fetchStart)}, {"_fetchEnd", exported(fetchEnd)}}});
  MessagePtr message = received("Subject: x\r\n\r\n");
  EXPECT_EQ(state().calls, (std::vector<std::string>{"fetchStart"}));
  message.reset();
  EXPECT_EQ(state().calls, (std::vector<std::string>{"fetchStart", "fetchEnd"}));
  // A disabled plug-in is never called.
  disablePlugin(installed_[0]);
  received("Subject: x\r\n\r\n");
  EXPECT_EQ(state().calls.size(), 2u);
}

TEST_F(Plugins, AreAskedAboutAddressesRelaysAndHeaders) {
  usePlugins({{{"filterOnEmailAddress", exported(whitelistAddress)},
               {"ignoreIpAddress", exported(ignoreNetwork)},
               {"filterOnIpAddress", exported(seeRelay)},
               {"filterOnMessageHeaders", exported(seeHeaders)}}});
  MessagePtr message = filtered(
      "From: friend@plugin.example\r\nReceived: from a (192.0.2.9) by b (203.0.113.4)\r\n\r\n");
  EXPECT_EQ(state().calls, (std::vector<std::string>{"address friend@plugin.example 1",
                                                     "relay 203.0.113.4", "headers data 7"}));
  EXPECT_EQ(state().headerLinesSeen, message->headerLines);
  EXPECT_TRUE(message->verdict.isWhitelisted);
  // The ignored relay counts as white: neither checked further nor gathered.
  EXPECT_EQ(message->pluginContext.collectedIps, (std::vector<Ipv4Address>{ip("203.0.113.4")}));
  EXPECT_TRUE(IsIpWhite(*message, ip("192.0.2.200")));
  std::string log = sessionLog();
  EXPECT_NE(log.find("white-listed the message in filterOnEmailAddress(friend@plugin.example)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Relay 192.0.2.9 is ignored by plug-in test-plugin-"), std::string::npos);
}

TEST_F(Plugins, WantingMostOfTheMessageFetchesAllOfIt) {
  usePlugins({{{"minBodyBytesRequired", exported(minimumBytes)}}});
  MessagePtr message = received("Subject: x\r\n\r\n");
  fixture_->fetch.expectedSize = 70 * 1024;
  state().minimumBytes = 60 * 1024;
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_BODY_FILTERING, nullptr), -1);
  state().minimumBytes = 40 * 1024;
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_PROCESSED, nullptr), 40 * 1024);
  state().minimumBytes = -1;
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_FETCH_START, nullptr), -1);
  EXPECT_EQ(state().calls, (std::vector<std::string>{"minimum 50", "minimum 100", "minimum 1"}));
  PluginFlags none{0};
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_BODY_FILTERING, &none), 0);
}

TEST_F(Plugins, WithoutTheirOwnAnswerPlugInsGetThePortsLimit) {
  usePlugins(
      {{{"fetchStart", exported(fetchStart)}}, {{"requireBodyFiltering", exported(requireBody)}}});
  fixture_->fetch.isRetr = true;
  MessagePtr message = received("Subject: x\r\n\r\n");
  fixture_->fetch.expectedSize = 1000000;
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_BODY_FILTERING, nullptr), 64 * 1024);
  EXPECT_EQ(BodyBytesRequired(*message, KM_PHASE_PROCESSED, nullptr), 0);
  // The body is wanted by default while the verdict is open, or when asked for.
  EXPECT_EQ(BodyFilteringFlags(*message), (PluginFlags{1, 0}));
  message->verdict.isSpam = 1;
  state().requireBody = 1;
  EXPECT_EQ(BodyFilteringFlags(*message), (PluginFlags{0, 1}));
  message->verdict.bodyCheckWanted = 1;
  EXPECT_EQ(BodyFilteringFlags(*message), (PluginFlags{1, 1}));
  disablePlugin(installed_[1]);
  EXPECT_EQ(BodyFilteringFlags(*message), (PluginFlags{1, 0}));
}

TEST_F(Plugins, ReadTheBodyFromMemoryOrFromItsFile) {
  usePlugins({{{"filterOnMessageBody", exported(judgeBody)}}});
  MessagePtr message = received("Subject: x\r\n\r\ncheap viagra here");
  FilterBody(*message, nullptr, PluginFlags{1});
  EXPECT_EQ(state().bodySeen, "cheap viagra here");
  EXPECT_EQ(VerdictLabel(true, message->verdict), "SPAM BODY");
  EXPECT_NE(sessionLog().find("judged the message spam in filterOnMessageBody"), std::string::npos);

  std::string large(kMemoryBodyLimit + 1000, 'x');
  MessagePtr spilled = received("Subject: x\r\n\r\n" + large);
  ASSERT_EQ(spilled->body.storageType, BodyStorage::InFile);
  FilterBody(*spilled, nullptr, PluginFlags{1});
  EXPECT_EQ(state().bodySeen, large);
  FilterBody(*spilled, nullptr, PluginFlags{0}); // not flagged: not asked
  EXPECT_EQ(state().bodySeen, large);
}

TEST_F(Plugins, SeeTheMessageAsReceivedWhenItIsFinished) {
  usePlugins({{{"processedMessage", exported(seeProcessed)}}});
  MessagePtr message = received("Subject: x\r\n\r\nthe body");
  appendOwnHeaderLine(*message, "X-Added: 1\r\n");
  AppendBody(*message, " rewritten", false);
  FinishMessage(*message);
  EXPECT_EQ(state().headerLinesSeen, (std::vector<std::string>{"Subject: x\r\n"}));
  EXPECT_EQ(state().bodySeen, "the body");
}

TEST_F(Plugins, BodyPrefixesFollowOneAnotherAndGrowTheBuffer) {
  usePlugins({{{"getMessageBodyPrefix", exported(firstPrefix)}},
              {{"getMessageBodyPrefix", exported(longPrefix)}}});
  MessagePtr message = received("Subject: x\r\n\r\nbody");
  RewriteBody(*message, nullptr, false, nullptr);
  EXPECT_EQ(message->bodyPrefix, "First plug-in. " + std::string(2999, 'L'));
  ASSERT_EQ(state().prefixBufferSizes.size(), 2u);
  EXPECT_EQ(state().prefixBufferSizes[0], 1024 - 15);
  EXPECT_GE(state().prefixBufferSizes[1], 3000);
}

TEST_F(Plugins, RewriteTheBodyThroughPipes) {
  usePlugins(
      {{{"requireBodyRewriting", exported(yes)}, {"rewriteMessageBody", exported(shoutBody)}}});
  std::string body;
  while (body.size() < 200000) {
    body += "some words of the body\r\n";
  }
  MessagePtr message = received("Subject: x\r\n\r\n" + body);
  RewriteBody(*message, nullptr, true, nullptr);
  std::string expected = body;
  std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  EXPECT_EQ(bodyText(message->body), expected);
  EXPECT_EQ(bodyText(message->pristineBody), body);
  // Without the rewrite switch, or without a plug-in's flag, the body stays.
  MessagePtr unchanged = received("Subject: x\r\n\r\nquiet");
  RewriteBody(*unchanged, nullptr, false, nullptr);
  PluginFlags none{0};
  RewriteBody(*unchanged, nullptr, true, &none);
  EXPECT_EQ(bodyText(unchanged->body), "quiet");
}

TEST_F(Plugins, RewriteHeadersAndAddLinesBeforeTheProxysOwn) {
  usePlugins({{{"requireHeaderRewriting", exported(yes)},
               {"rewriteMessageHeaders", exported(replaceHeaders)},
               {"getAddedHeaderLines", exported(addedLines)}}},
             [](Config& c) {
               c.blacklistEmail = {"*@spammer.example"};
               c.tagSubject = true;
               c.addReasonHeaders = false;
             });
  MessagePtr message = filtered("From: x@spammer.example\r\nX-Drop: me\r\n\r\n");
  RewriteHeaders(*message, 0, nullptr);
  EXPECT_EQ(
      message->headerLines,
      (std::vector<std::string>{"From: x@spammer.example\r\n", "Subject: **SPAM** \r\n",
                                "X-Rewritten: Cyes\r\n", "X-Plugin-One: 1\r\n",
                                "X-Plugin-Two: 2\r\n", "X-Kestrelmail: SPAM BLIST EMAIL\r\n"}));
}

TEST_F(Plugins, AddToTheSizeAllowance) {
  usePlugins(
      {{{"getMaxBytesToAdd", exported(addFifty)}}, {{"getMaxBytesToAdd", exported(addFifty)}}});
  Config withoutPlugins = *fixture_->session.config;
  withoutPlugins.enabledPlugins.clear();
  EXPECT_EQ(MaxBytesToAdd(*fixture_->session.config, 5000),
            MaxBytesToAdd(withoutPlugins, 5000) + 100);
}

} // namespace
} // namespace km::test
