// patternsieve's rules: a rule file in the plug-in's configuration folder, each rule
// a place in the message (a header name or the body), a verdict (spam or white), a
// short reason for the label and an RE2 pattern. RE2 matches in time linear in the
// text, whatever the pattern, so a rule written for hostile mail cannot stall a
// session.
#pragma once

#include <re2/re2.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sieve {

// The rule file's name in the configuration folder.
inline constexpr const char* kRuleFileName = "rules.txt";
// The longest reason: the label's pattern text field holds 15 characters.
inline constexpr size_t kLongestReason = 15;
// How much of a body the rules see.
inline constexpr size_t kBodyBytes = 256 * 1024;
// Memory one compiled pattern may take; a larger one is a bad rule.
inline constexpr int64_t kPatternMemory = 8 << 20;
// Rules beyond this count are reported and left out.
inline constexpr size_t kMostRules = 5000;

enum class Judgement { Spam, White };

struct Rule {
  std::string header; // empty for a body rule
  Judgement verdict = Judgement::Spam;
  std::string reason;
  std::unique_ptr<RE2> pattern;
  int line = 0;
};

struct RuleSet {
  std::vector<Rule> headerRules;
  std::vector<Rule> bodyRules;
  // One text per rule left out: "rules.txt line N: what is wrong".
  std::vector<std::string> problems;
  bool hasWhiteBodyRules = false;
};

// Reads rule text (the file's contents). Blank lines and lines starting with "#"
// are skipped; every other line is "<where> <verdict> <reason> <pattern>", fields
// separated by blanks, the pattern being the rest of the line.
RuleSet parseRules(std::string_view text);

// Reads the rule file of a configuration folder (ending in "/"); writes the
// default rules there first when it has none. A file that cannot be read gives
// no rules and one problem.
RuleSet loadRules(const std::string& folder);

// The rules shipped with the plug-in (default_rules.txt).
std::string_view defaultRules();

// A header field's value: after its colon, folded lines joined, the line end and
// the blanks around the value removed.
std::string headerValue(std::string_view field);
// Whether the header field has the name (ignoring case).
bool fieldIsNamed(std::string_view field, std::string_view name);

// The first header rule that matches one of the fields, or null.
const Rule* matchHeaders(const RuleSet& rules, const std::vector<std::string_view>& fields,
                         bool whiteOnly);
// The first body rule that matches the body text, or null.
const Rule* matchBody(const RuleSet& rules, std::string_view body, bool whiteOnly);

} // namespace sieve
