#include <gtest/gtest.h>

#include "filter/verdict.h"

namespace km {
namespace {

Verdict evidence(int32_t source, int32_t reason, std::string_view sourceText = {}) {
  Verdict verdict{};
  setVerdictEvidence(verdict, source, reason, sourceText);
  return verdict;
}

Verdict withIp(Verdict verdict) {
  verdict.ip[0] = 1;
  verdict.ip[1] = 2;
  verdict.ip[2] = 3;
  verdict.ip[3] = 4;
  return verdict;
}

TEST(VerdictLabel, NamesTheListAndWhatMatched) {
  EXPECT_EQ(VerdictLabel(true, evidence(KM_SOURCE_HEADERS, KM_REASON_BLIST_EMAIL)),
            "SPAM BLIST EMAIL");
  EXPECT_EQ(VerdictLabel(true, withIp(evidence(KM_SOURCE_HEADERS, KM_REASON_BLIST_IP))),
            "SPAM BLIST 1.2.3.4");
  EXPECT_EQ(VerdictLabel(false, evidence(KM_SOURCE_HEADERS, KM_REASON_WLIST_EMAIL)),
            "PASS WLIST EMAIL");
  EXPECT_EQ(VerdictLabel(false, withIp(evidence(KM_SOURCE_HEADERS, KM_REASON_WLIST_IP))),
            "PASS WLIST 1.2.3.4");
  EXPECT_EQ(VerdictLabel(false, evidence(KM_SOURCE_HEADERS, KM_REASON_AWLIST_EMAIL)),
            "PASS A-WLIST EMAIL");
  EXPECT_EQ(VerdictLabel(false, withIp(evidence(KM_SOURCE_HEADERS, KM_REASON_AWLIST_IP))),
            "PASS A-WLIST 1.2.3.4");
  EXPECT_EQ(VerdictLabel(false, Verdict{}), "PASS");
}

TEST(VerdictLabel, ADnsblHitShowsTheListsWholeName) {
  Verdict verdict = withIp(evidence(KM_SOURCE_HEADERS, KM_REASON_DNSBL));
  verdict.pattern.entry = "Barracuda Reputation Block List";
  EXPECT_EQ(VerdictLabel(true, verdict), "SPAM Barracuda Reputation Block List 1.2.3.4");
}

TEST(VerdictLabel, ATimeOutShowsTheOpenQueriesAndNothingMore) {
  Verdict verdict = evidence(KM_SOURCE_DNSBL_TIMEOUT, KM_REASON_OTHER);
  setVerdictPatternText(verdict, "3");
  EXPECT_EQ(VerdictLabel(false, verdict), "PASS TIME-OUT 3");
}

TEST(VerdictLabel, NamesTheSourceOfOtherEvidence) {
  Verdict body = evidence(KM_SOURCE_BODY, KM_REASON_BLIST_EMAIL);
  EXPECT_EQ(VerdictLabel(true, body), "SPAM BLIST EMAIL BODY");
  Verdict other = evidence(KM_SOURCE_OTHER, KM_REASON_OTHER, "BAYESIAN-FILTER");
  setVerdictPatternText(other, "score 0.99");
  EXPECT_EQ(VerdictLabel(true, other), "SPAM score 0.99 BAYESIA");
}

TEST(VerdictLabel, ReadsInlineTextsOnlyWithinTheirFields) {
  Verdict verdict = evidence(KM_SOURCE_OTHER, KM_REASON_OTHER);
  // A plug-in that fills the fields without terminating them.
  std::fill(std::begin(verdict.sourceText), std::end(verdict.sourceText), 'S');
  std::fill(std::begin(verdict.pattern.text), std::end(verdict.pattern.text), 'P');
  EXPECT_EQ(VerdictLabel(true, verdict),
            "SPAM " + std::string(16, 'P') + " " + std::string(8, 'S'));
}

TEST(Verdict, EvidenceReplacesTheWholeRecord) {
  Verdict verdict = withIp(evidence(KM_SOURCE_HEADERS, KM_REASON_DNSBL));
  verdict.isSpam = 1;
  setVerdictEvidence(verdict, KM_SOURCE_HEADERS, KM_REASON_WLIST_EMAIL, "ignored");
  EXPECT_EQ(verdict.isSpam, 1);
  EXPECT_EQ(verdict.ip[0], 0);
  EXPECT_EQ(verdict.pattern.entry, nullptr);
  EXPECT_EQ(verdictSourceText(verdict), "");
  EXPECT_TRUE(isSpamVerdict(verdict));
  verdict.isWhitelisted = 1;
  EXPECT_FALSE(isSpamVerdict(verdict));
}

} // namespace
} // namespace km
