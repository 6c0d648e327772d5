// Robinson's token probabilities combined with Fisher's chi-square method.
#include <algorithm>
#include <cmath>

#include "bayes.h"

namespace bayes {

namespace {

// The probability that a chi-square variable with `freedom` (even) degrees of
// freedom is at least `chi2`.
double chiSquareTail(double chi2, size_t freedom) {
  double m = chi2 / 2.0;
  double term = std::exp(-m);
  double sum = term;
  for (size_t i = 1; i < freedom / 2; ++i) {
    term *= m / static_cast<double>(i);
    sum += term;
  }
  return std::min(sum, 1.0);
}

} // namespace

double spamProbability(const TokenTable& table, const TokenSet& tokens, const Parameters& p) {
  if (table.spamMessages == 0 || table.hamMessages == 0) {
    return 0.5;
  }
  double spamTotal = table.spamMessages;
  double hamTotal = table.hamMessages;
  // The deviation of each token's probability from 0.5, and the probability.
  std::vector<std::pair<double, double>> evidence;
  evidence.reserve(tokens.size());
  for (uint64_t token : tokens) {
    auto found = table.tokens.find(token);
    double f = p.unknownTokenProbability;
    if (found != table.tokens.end()) {
      double spamRatio = found->second.spam / spamTotal;
      double hamRatio = found->second.ham / hamTotal;
      double n = static_cast<double>(found->second.spam) + found->second.ham;
      double probability = spamRatio + hamRatio > 0 ? spamRatio / (spamRatio + hamRatio) : 0.5;
      f = (p.unknownTokenStrength * p.unknownTokenProbability + n * probability) /
          (p.unknownTokenStrength + n);
    }
    double deviation = std::fabs(f - 0.5);
    if (deviation >= p.minimumDeviation) {
      evidence.emplace_back(deviation, f);
    }
  }
  if (evidence.empty()) {
    return 0.5;
  }
  if (evidence.size() > static_cast<size_t>(p.maxDiscriminators)) {
    std::nth_element(evidence.begin(), evidence.begin() + p.maxDiscriminators, evidence.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    evidence.resize(static_cast<size_t>(p.maxDiscriminators));
  }
  // Fisher's method on f for the ham side and on 1 - f for the spam side: a set of
  // spammy tokens makes the product of (1 - f) improbably small.
  double logF = 0, logOneMinusF = 0;
  for (const auto& [deviation, f] : evidence) {
    double clamped = std::clamp(f, 1e-6, 1 - 1e-6);
    logF += std::log(clamped);
    logOneMinusF += std::log(1 - clamped);
  }
  size_t freedom = 2 * evidence.size();
  double hamEvidence = 1 - chiSquareTail(-2 * logF, freedom);
  double spamEvidence = 1 - chiSquareTail(-2 * logOneMinusF, freedom);
  return (spamEvidence - hamEvidence + 1) / 2;
}

Judgement judge(double probability, const Parameters& p) {
  if (probability >= p.spamCutoff) {
    return Judgement::Spam;
  }
  if (probability <= p.hamCutoff) {
    return Judgement::Ham;
  }
  return Judgement::Unsure;
}

namespace {

void count(TokenTable& table, const TokenSet& tokens, Category category, int direction) {
  uint32_t& messages = category == Category::Spam ? table.spamMessages : table.hamMessages;
  messages = direction > 0 ? messages + 1 : (messages > 0 ? messages - 1 : 0);
  for (uint64_t token : tokens) {
    TokenCounts& counts = table.tokens[token];
    uint32_t& n = category == Category::Spam ? counts.spam : counts.ham;
    n = direction > 0 ? n + 1 : (n > 0 ? n - 1 : 0);
    if (counts.spam == 0 && counts.ham == 0) {
      table.tokens.erase(token);
    }
  }
}

} // namespace

LearnOutcome learn(TokenTable& table, uint64_t fingerprint, const TokenSet& tokens,
                   Category category) {
  auto known = table.learned.find(fingerprint);
  if (known != table.learned.end() && known->second == category) {
    return LearnOutcome::AlreadyKnown;
  }
  LearnOutcome outcome = LearnOutcome::Learned;
  if (known != table.learned.end()) {
    count(table, tokens, known->second, -1);
    outcome = LearnOutcome::Moved;
  }
  count(table, tokens, category, +1);
  table.learned[fingerprint] = category;
  return outcome;
}

} // namespace bayes
