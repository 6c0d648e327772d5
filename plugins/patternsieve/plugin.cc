// The pattern plug-in "patternsieve": judges a message by the rules in rules.txt of
// its configuration folder (sieve.h). Header rules are tried when the headers
// arrive, body rules when the body does; the first rule that matches decides. A
// message already whitelisted is left alone; a white rule also rescues a message
// judged spam before it.
#include <kestrelmail/plugin.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "mailtext.h"
#include "sieve.h"

#define SIEVE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Activity-log level of the program for problems with the rules (minimal).
constexpr int32_t kLogMinimal = 0;

struct Sieve {
  sieve::RuleSet rules;
  // The host's callback table B, from the first session that starts.
  std::atomic<const KmCallbacksB*> callbacks{nullptr};
  // The problems go to the activity log with the first message after a load.
  std::atomic<bool> problemsLogged{false};
};

Sieve* sieveOf(KmPluginData data) {
  return static_cast<Sieve*>(data);
}

void logProblems(Sieve& sieve, uint32_t message) {
  const KmCallbacksB* callbacks = sieve.callbacks.load();
  if (sieve.rules.problems.empty() || callbacks == nullptr || sieve.problemsLogged.exchange(true)) {
    return;
  }
  for (const std::string& problem : sieve.rules.problems) {
    callbacks->logText(message, kLogMinimal, ("patternsieve: " + problem).c_str());
  }
}

void apply(const sieve::Rule& rule, Verdict& verdict, int32_t source) {
  if (rule.verdict == sieve::Judgement::White) {
    verdict.isWhitelisted = 1;
  } else {
    verdict.isSpam = 1;
  }
  verdict.source = source;
  verdict.reason = KM_REASON_OTHER;
  std::memset(verdict.pattern.text, 0, sizeof verdict.pattern.text);
  std::memcpy(verdict.pattern.text, rule.reason.data(),
              std::min(rule.reason.size(), sizeof verdict.pattern.text - 1));
}

bool bodyRulesMatter(const Sieve& sieve, const Verdict& verdict) {
  if (sieve.rules.bodyRules.empty() || verdict.isWhitelisted) {
    return false;
  }
  return !verdict.isSpam || sieve.rules.hasWhiteBodyRules;
}

} // namespace

SIEVE_EXPORT int32_t checkKestrelmailVersion(const char* hostVersion) {
  return mailtext::hostVersionAccepted(hostVersion) ? 1 : 0;
}

SIEVE_EXPORT const char* getPluginName() {
  return "Pattern sieve";
}

SIEVE_EXPORT const char* getPluginVersion() {
  return "1.0";
}

SIEVE_EXPORT const char* getPluginDescription() {
  return "Judges mail by the patterns in rules.txt of its configuration folder: a header "
         "name or body, spam or white, a short reason and a regular expression per line.";
}

SIEVE_EXPORT KmPluginData loadConfig(const char* configFolder) {
  if (configFolder == nullptr || *configFolder == '\0') {
    return nullptr;
  }
  auto* sieve = new Sieve;
  sieve->rules = sieve::loadRules(configFolder);
  // The activity log hears of them with the next message; standard error at once.
  for (const std::string& problem : sieve->rules.problems) {
    std::fprintf(stderr, "patternsieve: %s\n", problem.c_str());
  }
  return sieve;
}

SIEVE_EXPORT void releaseConfig(KmPluginData data) {
  delete sieveOf(data);
}

SIEVE_EXPORT void sessionStart(const KmSessionInfo* session, KmPluginData data) {
  if (Sieve* sieve = sieveOf(data); sieve != nullptr && session != nullptr) {
    sieve->callbacks.store(session->callbacks);
  }
}

SIEVE_EXPORT void filterOnMessageHeaders(const char* const* lines, int32_t count, uint32_t message,
                                         Verdict* verdict, KmPluginData data, const KmCallbacksA*) {
  Sieve* sieve = sieveOf(data);
  if (sieve == nullptr || verdict == nullptr) {
    return;
  }
  logProblems(*sieve, message);
  if (verdict->isWhitelisted) {
    return;
  }
  std::vector<std::string_view> fields(lines, lines + std::max(count, 0));
  if (const sieve::Rule* rule = sieve::matchHeaders(sieve->rules, fields, verdict->isSpam != 0)) {
    apply(*rule, *verdict, KM_SOURCE_HEADERS);
  }
}

SIEVE_EXPORT int32_t requireBodyFiltering(const char* const*, int32_t, uint32_t, Verdict* verdict,
                                          KmPluginData data) {
  Sieve* sieve = sieveOf(data);
  return sieve != nullptr && verdict != nullptr && bodyRulesMatter(*sieve, *verdict) ? 1 : 0;
}

SIEVE_EXPORT int32_t minBodyBytesRequired(int32_t phase, const char* const*, int32_t, uint32_t,
                                          Verdict*, KmPluginData data) {
  Sieve* sieve = sieveOf(data);
  if (sieve == nullptr || sieve->rules.bodyRules.empty() || phase != KM_PHASE_BODY_FILTERING) {
    return 0;
  }
  return static_cast<int32_t>(sieve::kBodyBytes);
}

SIEVE_EXPORT void filterOnMessageBody(const char* const*, int32_t, int body, uint32_t,
                                      Verdict* verdict, KmPluginData data, const KmCallbacksA*) {
  Sieve* sieve = sieveOf(data);
  if (sieve == nullptr || verdict == nullptr || !bodyRulesMatter(*sieve, *verdict)) {
    return;
  }
  std::string text(sieve::kBodyBytes, '\0');
  size_t used = 0;
  while (used < text.size()) {
    ssize_t got = ::read(body, text.data() + used, text.size() - used);
    if (got <= 0) {
      break;
    }
    used += static_cast<size_t>(got);
  }
  text.resize(used);
  if (const sieve::Rule* rule = sieve::matchBody(sieve->rules, text, verdict->isSpam != 0)) {
    apply(*rule, *verdict, KM_SOURCE_BODY);
  }
}

namespace {

std::string escapeHtml(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
    case '<':
      escaped += "&lt;";
      break;
    case '>':
      escaped += "&gt;";
      break;
    case '&':
      escaped += "&amp;";
      break;
    case '"':
      escaped += "&quot;";
      break;
    default:
      escaped += c;
    }
  }
  return escaped;
}

void appendRuleRows(std::string& html, const std::vector<sieve::Rule>& rules) {
  for (const sieve::Rule& rule : rules) {
    html += "<tr><td>" + std::to_string(rule.line) + "</td><td>" +
            escapeHtml(rule.header.empty() ? "body" : rule.header) + "</td><td>" +
            (rule.verdict == sieve::Judgement::White ? "white" : "spam") + "</td><td>" +
            escapeHtml(rule.reason) + "</td><td><code>" +
            escapeHtml(rule.pattern ? rule.pattern->pattern() : "") + "</code></td></tr>";
  }
}

} // namespace

// The page among the program's pages: the rules in force and the lines left out.
SIEVE_EXPORT int32_t renderPluginPage(KmPluginData data, char* html, int32_t size) {
  const Sieve* sieve = sieveOf(data);
  if (sieve == nullptr || html == nullptr || size < 0) {
    return -1;
  }
  const sieve::RuleSet& rules = sieve->rules;
  std::string page = "<h2>Pattern sieve</h2><p>" + std::to_string(rules.headerRules.size()) +
                     " header rules and " + std::to_string(rules.bodyRules.size()) +
                     " body rules from <code>" + sieve::kRuleFileName +
                     "</code> in the plug-in's folder of the data directory.</p>"
                     "<table><tr><th>Line</th><th>Where</th><th>Verdict</th><th>Reason</th>"
                     "<th>Pattern</th></tr>";
  appendRuleRows(page, rules.headerRules);
  appendRuleRows(page, rules.bodyRules);
  page += "</table>";
  if (!rules.problems.empty()) {
    page += "<h3>Lines left out</h3><ul>";
    for (const std::string& problem : rules.problems) {
      page += "<li>" + escapeHtml(problem) + "</li>";
    }
    page += "</ul>";
  }
  if (page.size() < static_cast<size_t>(size)) {
    std::memcpy(html, page.c_str(), page.size() + 1);
  }
  return static_cast<int32_t>(page.size());
}

// The exports have the types the host calls them through.
static_assert(std::is_same_v<decltype(&checkKestrelmailVersion), KmCheckKestrelmailVersion>);
static_assert(std::is_same_v<decltype(&loadConfig), KmLoadConfig>);
static_assert(std::is_same_v<decltype(&releaseConfig), KmReleaseConfig>);
static_assert(std::is_same_v<decltype(&sessionStart), KmSessionEvent>);
static_assert(std::is_same_v<decltype(&filterOnMessageHeaders), KmFilterOnMessageHeaders>);
static_assert(std::is_same_v<decltype(&requireBodyFiltering), KmRequireFromHeaders>);
static_assert(std::is_same_v<decltype(&minBodyBytesRequired), KmMinBodyBytesRequired>);
static_assert(std::is_same_v<decltype(&filterOnMessageBody), KmFilterOnMessageBody>);
static_assert(std::is_same_v<decltype(&renderPluginPage), KmRenderPluginPage>);
