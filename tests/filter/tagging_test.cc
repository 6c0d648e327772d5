#include <algorithm>
#include <array>

#include "filter/dnsbl.h"
#include "filter/filter_fixture.h"

namespace km::test {
namespace {

using Lines = std::vector<std::string>;

std::shared_ptr<Config> taggingConfig(const std::function<void(Config&)>& edit = {}) {
  return filterConfig([&](Config& c) {
    c.whitelistEmail = {"*@friends.example"};
    c.blacklistEmail = {"*@spammer.example"};
    c.blacklistIp = {block("198.51.100.0", "198.51.100.255"), block("198.51.100.5", "198.51.100.5"),
                     block("198.51.0.0", "198.51.255.255")};
    if (edit) {
      edit(c);
    }
  });
}

class Tagging : public PipelineTest {
protected:
  // Filters and rewrites a message as a session does after the DNSBL wait.
  MessagePtr tagged(std::string_view raw, size_t firstIndex = 0) {
    MessagePtr message = filtered(raw);
    waitForDnsblResults(*message, nullptr);
    withdrawMessage(*message);
    RewriteBody(*message, nullptr, true, nullptr);
    RewriteHeaders(*message, firstIndex, nullptr);
    return message;
  }

  std::string subjectOf(const Message& message) {
    for (const std::string& line : message.headerLines) {
      if (startsWithIgnoreCase(line, "Subject:")) {
        return line;
      }
    }
    return "<none>";
  }
};

// The whole header block after tagging, for the verdicts a message can get.
TEST_F(Tagging, EachVerdictGetsItsLabelReasonHeaderAndTag) {
  struct Case {
    const char* raw;
    Lines expected;
  };
  const Case cases[] = {
      {"From: pal@friends.example\r\nSubject: Hi\r\n\r\nbody",
       {"From: pal@friends.example\r\n", "Subject: Hi\r\n", "X-Kestrelmail: PASS WLIST EMAIL\r\n",
        "X-Wlist-Pattern: *@friends.example\r\n"}},
      {"From: x@spammer.example\r\nSubject: Hello\r\n\r\nbody",
       {"From: x@spammer.example\r\n", "Subject: [junk] Hello\r\n",
        "X-Kestrelmail: SPAM BLIST EMAIL\r\n", "X-Blist-Pattern: *@spammer.example\r\n"}},
      // Spam without a Subject gets one.
      {"From: x@spammer.example\r\n\r\n",
       {"From: x@spammer.example\r\n", "Subject: [junk] \r\n",
        "X-Kestrelmail: SPAM BLIST EMAIL\r\n", "X-Blist-Pattern: *@spammer.example\r\n"}},
      {"From: someone@else.example\r\nSubject: Hi\r\n\r\n",
       {"From: someone@else.example\r\n", "Subject: Hi\r\n", "X-Kestrelmail: PASS\r\n"}},
  };
  useConfig(taggingConfig([](Config& c) {
    c.tagSubject = true;
    c.subjectTagString = "[junk]";
  }));
  for (const Case& c : cases) {
    EXPECT_EQ(tagged(c.raw)->headerLines, c.expected) << c.raw;
  }
}

TEST_F(Tagging, TheTagFollowsTheSettingsInBothPlaces) {
  struct Case {
    bool tag;
    bool verdict;
    bool suffix;
    const char* subject;
  };
  const Case cases[] = {
      {true, false, false, "Subject: **SPAM** Hello\r\n"},
      {true, false, true, "Subject: Hello **SPAM**\r\n"},
      {false, true, false, "Subject: **SPAM BLIST EMAIL** Hello\r\n"},
      {false, true, true, "Subject: Hello **SPAM BLIST EMAIL**\r\n"},
      {true, true, false, "Subject: **SPAM** **SPAM BLIST EMAIL** Hello\r\n"},
      {true, true, true, "Subject: Hello **SPAM** **SPAM BLIST EMAIL**\r\n"},
      {false, false, false, "Subject: Hello\r\n"},
      {false, false, true, "Subject: Hello\r\n"},
  };
  for (const Case& c : cases) {
    useConfig(taggingConfig([&](Config& config) {
      config.tagSubject = c.tag;
      config.verdictInSubject = c.verdict;
      config.tagAsSuffix = c.suffix;
    }));
    MessagePtr message = tagged("From: x@spammer.example\r\nSubject: Hello\r\n\r\n");
    EXPECT_EQ(subjectOf(*message), c.subject) << c.tag << c.verdict << c.suffix;
  }
  // A suffix tag ends a folded subject.
  useConfig(taggingConfig([](Config& c) {
    c.tagSubject = true;
    c.tagAsSuffix = true;
  }));
  MessagePtr message = tagged("From: x@spammer.example\r\nSubject: Hello\r\n\tworld  \r\n\r\n");
  EXPECT_EQ(subjectOf(*message), "Subject: Hello\r\n\tworld   **SPAM**\r\n");
}

TEST_F(Tagging, AWhitelistedMessageIsNeverTagged) {
  useConfig(taggingConfig([](Config& c) {
    c.tagSubject = true;
    c.addReasonHeaders = false;
  }));
  MessagePtr message = filtered("From: pal@friends.example\r\nSubject: Hi\r\n\r\n");
  message->verdict.isSpam = 1;
  RewriteHeaders(*message, 0, nullptr);
  EXPECT_EQ(message->verdict.isSpam, 0);
  EXPECT_EQ(message->headerLines, (Lines{"From: pal@friends.example\r\n", "Subject: Hi\r\n",
                                         "X-Kestrelmail: PASS WLIST EMAIL\r\n"}));
}

TEST_F(Tagging, ABlackListedRelayIsNamedByItsLastBlock) {
  useConfig(taggingConfig());
  MessagePtr single = tagged("Received: from x ([198.51.100.5])\r\n\r\n");
  EXPECT_EQ(single->headerLines.back(), "X-Blist-Pattern: 198.51.0.0 - 198.51.255.255\r\n");
  EXPECT_EQ(single->headerLines[single->headerLines.size() - 2],
            "X-Kestrelmail: SPAM BLIST 198.51.100.5\r\n");
  useConfig(taggingConfig([](Config& c) {
    c.blacklistIp = {block("198.51.0.0", "198.51.255.255"), block("198.51.100.5", "198.51.100.5")};
  }));
  MessagePtr last = tagged("Received: from x ([198.51.100.5])\r\n\r\n");
  EXPECT_EQ(last->headerLines.back(), "X-Blist-Pattern: 198.51.100.5\r\n");
}

TEST_F(Tagging, LinesAlreadySentStayAsTheyAre) {
  useConfig(taggingConfig([](Config& c) { c.tagSubject = true; }));
  MessagePtr message =
      tagged("X-Kestrelmail-Timeout: Prevent\r\nX-Early: \x01\r\nFrom: x@spammer.example\r\n"
             "Subject: a\r\nX-Late: \x01\r\nSubject: b\r\n\r\n",
             2);
  EXPECT_EQ(message->headerLines,
            (Lines{"X-Kestrelmail-Timeout: Prevent\r\n", "X-Early: \x01\r\n",
                   "From: x@spammer.example\r\n", "Subject: **SPAM** a\r\n         b\r\n",
                   "X-Late: C\r\n", "X-Kestrelmail: SPAM BLIST EMAIL\r\n",
                   "X-Blist-Pattern: *@spammer.example\r\n"}));
}

Verdict evidence(int32_t source, int32_t reason, bool withIp = false) {
  Verdict verdict{};
  setVerdictEvidence(verdict, source, reason, {});
  if (withIp) {
    const uint8_t address[4] = {1, 2, 3, 4};
    std::copy_n(address, 4, verdict.ip);
  }
  return verdict;
}

TEST(VerdictLabel, NamesTheListWhatMatchedAndTheSource) {
  Verdict dnsbl = evidence(KM_SOURCE_HEADERS, KM_REASON_DNSBL, true);
  dnsbl.pattern.entry = "Barracuda Reputation Block List";
  // Labels stay within 34 characters: the list name gives way to the rest.
  Verdict longest = dnsbl;
  longest.source = KM_SOURCE_BODY;
  std::copy_n(std::array<uint8_t, 4>{203, 113, 255, 255}.data(), 4, longest.ip);
  Verdict timeOut = evidence(KM_SOURCE_DNSBL_TIMEOUT, KM_REASON_OTHER);
  setVerdictPatternText(timeOut, "3");
  Verdict other = evidence(KM_SOURCE_OTHER, KM_REASON_OTHER);
  setVerdictEvidence(other, KM_SOURCE_OTHER, KM_REASON_OTHER, "BAYESIAN-FILTER");
  setVerdictPatternText(other, "score 0.99");
  Verdict unterminated = evidence(KM_SOURCE_OTHER, KM_REASON_OTHER);
  // A plug-in that fills the fields without terminating them.
  std::fill(std::begin(unterminated.sourceText), std::end(unterminated.sourceText), 'S');
  std::fill(std::begin(unterminated.pattern.text), std::end(unterminated.pattern.text), 'P');
  const std::tuple<bool, Verdict, std::string> cases[] = {
      {true, evidence(KM_SOURCE_HEADERS, KM_REASON_BLIST_EMAIL), "SPAM BLIST EMAIL"},
      {true, evidence(KM_SOURCE_HEADERS, KM_REASON_BLIST_IP, true), "SPAM BLIST 1.2.3.4"},
      {false, evidence(KM_SOURCE_HEADERS, KM_REASON_WLIST_EMAIL), "PASS WLIST EMAIL"},
      {false, evidence(KM_SOURCE_HEADERS, KM_REASON_WLIST_IP, true), "PASS WLIST 1.2.3.4"},
      {false, evidence(KM_SOURCE_HEADERS, KM_REASON_AWLIST_EMAIL), "PASS A-WLIST EMAIL"},
      {false, evidence(KM_SOURCE_HEADERS, KM_REASON_AWLIST_IP, true), "PASS A-WLIST 1.2.3.4"},
      {false, Verdict{}, "PASS"},
      {true, dnsbl, "SPAM Barracuda Reputation 1.2.3.4"},
      {true, longest, "SPAM Barracud 203.113.255.255 BODY"},
      {false, timeOut, "PASS TIME-OUT 3"},
      {true, evidence(KM_SOURCE_BODY, KM_REASON_BLIST_EMAIL), "SPAM BLIST EMAIL BODY"},
      {true, other, "SPAM score 0.99 BAYESIA"},
      {true, unterminated, "SPAM " + std::string(16, 'P') + " " + std::string(8, 'S')},
  };
  for (const auto& [spam, verdict, label] : cases) {
    EXPECT_EQ(VerdictLabel(spam, verdict), label);
    EXPECT_LE(label.size(), 34u);
  }
}

TEST(Verdict, EvidenceReplacesTheWholeRecordButNotTheJudgement) {
  Verdict verdict = evidence(KM_SOURCE_HEADERS, KM_REASON_DNSBL, true);
  verdict.isSpam = 1;
  setVerdictEvidence(verdict, KM_SOURCE_HEADERS, KM_REASON_WLIST_EMAIL, "ignored");
  EXPECT_EQ(verdict.ip[0], 0);
  EXPECT_EQ(verdict.pattern.entry, nullptr);
  EXPECT_EQ(verdictSourceText(verdict), "");
  EXPECT_TRUE(isSpamVerdict(verdict));
  verdict.isWhitelisted = 1;
  EXPECT_FALSE(isSpamVerdict(verdict));
}

TEST(MaxBytesToAdd, AddsUpTheLongestLabelTagsReasonHeaderAndTimeOutLines) {
  ConfigRef plain = filterConfig();
  // "X-Kestrelmail: " + L + 2, L = "SPAM " + "A-WLIST" + the longest tail with CR LF;
  // "Subject: \r\n"; "X-Wlist-Pattern: \r\n"; one time-out line.
  int64_t label = 5 + 7 + 28;
  EXPECT_EQ(MaxBytesToAdd(*plain, 1000), 15 + label + 2 + 11 + 19 + 32);
  ConfigRef all = filterConfig([](Config& c) {
    c.tagSubject = true;
    c.subjectTagString = "[SPAM!]";
    c.verdictInSubject = true;
    DnsblList list;
    list.name = "A Rather Long Blacklist Name";
    c.dnsblLists = {list};
    c.whitelistEmail = {"short@x.example"};
    c.blacklistEmail = {"a-very-long-pattern-for-senders@*.example.com"}; // 45
    c.autoWlistFrom = {"ab@c"};
  });
  int64_t longLabel = 5 + 28 + 28;
  EXPECT_EQ(MaxBytesToAdd(*all, 1000),
            15 + longLabel + 2 + (longLabel + 5) + (7 + 1) + 11 + (19 + 45) + 32);
  ConfigRef ranges = filterConfig([](Config& c) {
    c.blacklistIp = {block("192.0.2.1", "192.0.2.1")};
    c.addReasonHeaders = true;
  });
  EXPECT_EQ(MaxBytesToAdd(*ranges, 1000), MaxBytesToAdd(*plain, 1000) + 33);
  ConfigRef off = filterConfig([](Config& c) { c.filteringDisabled = true; });
  EXPECT_EQ(MaxBytesToAdd(*off, 1000), 0);
  // One time-out line per 118784 bytes, and at least one.
  ConfigRef config = filterConfig([](Config& c) { c.addReasonHeaders = false; });
  int64_t base = MaxBytesToAdd(*config, 0) - 32;
  EXPECT_EQ(MaxBytesToAdd(*config, 118783), base + 32);
  EXPECT_EQ(MaxBytesToAdd(*config, 118784), base + 32);
  EXPECT_EQ(MaxBytesToAdd(*config, 2 * 118784 - 1), base + 32);
  EXPECT_EQ(MaxBytesToAdd(*config, 2 * 118784), base + 64);
}

} // namespace
} // namespace km::test
