#include "sieve.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "mailtext.h"

namespace sieve {

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The next blank-separated field of the line, taken off its front.
std::string_view takeField(std::string_view& line) {
  size_t start = 0;
  while (start < line.size() && isBlank(line[start])) {
    ++start;
  }
  size_t end = start;
  while (end < line.size() && !isBlank(line[end])) {
    ++end;
  }
  std::string_view field = line.substr(start, end - start);
  line.remove_prefix(end);
  return field;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (isBlank(text.front()) || text.front() == '\r')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// A header name as RFC 5322 allows it: printable characters but the colon.
bool isHeaderName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(),
                                      [](char c) { return c > 32 && c < 127 && c != ':'; });
}

std::string problem(int line, std::string_view what) {
  return std::string(kRuleFileName) + " line " + std::to_string(line) + ": " + std::string(what);
}

// The rule of one line, or the reason it is left out.
std::optional<Rule> parseRule(std::string_view line, int number, std::string& error) {
  std::string_view where = takeField(line);
  std::string_view verdict = takeField(line);
  std::string_view reason = takeField(line);
  std::string_view pattern = trimmed(line);
  Rule rule;
  rule.line = number;
  if (pattern.empty()) {
    error = "expected <header name or body> <spam or white> <reason> <pattern>";
    return std::nullopt;
  }
  if (!equalIgnoringCase(where, "body")) {
    if (!isHeaderName(where)) {
      error = "\"" + std::string(where) + "\" is not a header name";
      return std::nullopt;
    }
    rule.header = std::string(where);
  }
  if (equalIgnoringCase(verdict, "spam")) {
    rule.verdict = Judgement::Spam;
  } else if (equalIgnoringCase(verdict, "white")) {
    rule.verdict = Judgement::White;
  } else {
    error = "the verdict \"" + std::string(verdict) + "\" is neither spam nor white";
    return std::nullopt;
  }
  if (reason.size() > kLongestReason) {
    error = "the reason \"" + std::string(reason) + "\" is longer than " +
            std::to_string(kLongestReason) + " characters";
    return std::nullopt;
  }
  rule.reason = std::string(reason);
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kPatternMemory);
  // Mail is 8-bit text of any character set; bytes are matched as they are.
  options.set_encoding(RE2::Options::EncodingLatin1);
  rule.pattern = std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), options);
  if (!rule.pattern->ok()) {
    error = "bad pattern: " + rule.pattern->error();
    return std::nullopt;
  }
  return rule;
}

} // namespace

RuleSet parseRules(std::string_view text) {
  RuleSet rules;
  int number = 0;
  size_t count = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    std::string_view content = trimmed(line);
    if (content.empty() || content.front() == '#') {
      continue;
    }
    if (count == kMostRules) {
      rules.problems.push_back(problem(number, "more than " + std::to_string(kMostRules) +
                                                   " rules; the rest are left out"));
      break;
    }
    std::string error;
    std::optional<Rule> rule = parseRule(content, number, error);
    if (!rule) {
      rules.problems.push_back(problem(number, error + "; the rule is left out"));
      continue;
    }
    ++count;
    if (rule->header.empty()) {
      rules.hasWhiteBodyRules = rules.hasWhiteBodyRules || rule->verdict == Judgement::White;
      rules.bodyRules.push_back(std::move(*rule));
    } else {
      rules.headerRules.push_back(std::move(*rule));
    }
  }
  return rules;
}

RuleSet loadRules(const std::string& folder) {
  mailtext::ConfigFile file = mailtext::readConfigFile(folder, kRuleFileName, defaultRules(),
                                                       std::numeric_limits<std::uintmax_t>::max());
  if (file.state == mailtext::ConfigFileState::Unreadable ||
      file.state == mailtext::ConfigFileState::Unwritable) {
    RuleSet none;
    none.problems.push_back(folder + kRuleFileName + ": cannot be read; no rules");
    return none;
  }
  return parseRules(file.text);
}

bool fieldIsNamed(std::string_view field, std::string_view name) {
  return field.size() > name.size() && field[name.size()] == ':' &&
         equalIgnoringCase(field.substr(0, name.size()), name);
}

std::string headerValue(std::string_view field) {
  size_t colon = field.find(':');
  std::string value;
  if (colon == std::string_view::npos) {
    return value;
  }
  for (char c : field.substr(colon + 1)) {
    if (c != '\r' && c != '\n') {
      value += c;
    }
  }
  return std::string(trimmed(value));
}

const Rule* matchHeaders(const RuleSet& rules, const std::vector<std::string_view>& fields,
                         bool whiteOnly) {
  for (const Rule& rule : rules.headerRules) {
    if (whiteOnly && rule.verdict != Judgement::White) {
      continue;
    }
    for (std::string_view field : fields) {
      if (fieldIsNamed(field, rule.header) &&
          RE2::PartialMatch(headerValue(field), *rule.pattern)) {
        return &rule;
      }
    }
  }
  return nullptr;
}

const Rule* matchBody(const RuleSet& rules, std::string_view body, bool whiteOnly) {
  re2::StringPiece text(body.data(), std::min(body.size(), kBodyBytes));
  for (const Rule& rule : rules.bodyRules) {
    if ((!whiteOnly || rule.verdict == Judgement::White) &&
        RE2::PartialMatch(text, *rule.pattern)) {
      return &rule;
    }
  }
  return nullptr;
}

} // namespace sieve
