// The link scanner plug-in "linkscan": finds the hosts a message's body links to
// and has the program check them like the relays of its Received lines: each
// host's addresses against the enabled DNS blacklists (checkHost), and its
// registered domain against the domain blocklists of its own folder
// (queueHostCheck). It changes no verdict itself: the DNS blacklist engine does
// when an answer lists a link.
#include <kestrelmail/plugin.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "links.h"

#define LINKSCAN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// What a verdict decided by a link says after the list's name: "SPAM ZEN
// 192.0.2.7 LINK", "SPAM DBLX LINK".
constexpr const char* kSourceText = "LINK";

struct Scanner {
  explicit Scanner(const std::string& folder) : settings(linkscan::loadSettings(folder)) {}

  linkscan::Settings settings;
  linkscan::Suffixes suffixes;
  // The host's callback table B, from the first session that starts.
  std::atomic<const KmCallbacksB*> callbacks{nullptr};
  // The problems of the files go to the activity log with the first message.
  std::atomic<bool> problemsLogged{false};
};

Scanner* scannerOf(KmPluginData data) {
  return static_cast<Scanner*>(data);
}

void logText(const Scanner& scanner, uint32_t message, int32_t level, const std::string& text) {
  const KmCallbacksB* callbacks = scanner.callbacks.load();
  if (callbacks != nullptr && callbacks->logText != nullptr) {
    callbacks->logText(message, level, text.c_str());
  }
}

void logProblems(Scanner& scanner, uint32_t message) {
  if (scanner.settings.problems.empty() || scanner.callbacks.load() == nullptr ||
      scanner.problemsLogged.exchange(true)) {
    return;
  }
  for (const std::string& problem : scanner.settings.problems) {
    logText(scanner, message, KM_LOG_MINIMAL, "linkscan: " + problem);
  }
}

bool hasWork(const Scanner& scanner) {
  const linkscan::Settings& settings = scanner.settings;
  return settings.limits.mostHosts > 0 &&
         (settings.checkLinkAddresses || !settings.domainLists.empty());
}

bool undecided(const Verdict& verdict) {
  return verdict.isSpam == 0 && verdict.isWhitelisted == 0;
}

// Reads at most `limit` bytes of a body handle.
std::string readBody(int body, size_t limit) {
  std::string bytes(limit, '\0');
  size_t done = 0;
  while (done < limit) {
    ssize_t n = ::read(body, bytes.data() + done, limit - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

Verdict domainEvidence(const linkscan::DomainList& list) {
  Verdict evidence{};
  evidence.source = KM_SOURCE_OTHER;
  std::strncpy(evidence.sourceText, kSourceText, KM_SOURCE_TEXT_SIZE - 1);
  evidence.reason = KM_REASON_OTHER;
  std::strncpy(evidence.pattern.text, list.key.c_str(), KM_PATTERN_TEXT_SIZE - 1);
  return evidence;
}

// The registered domains of the hosts, each once.
std::vector<std::string> domainsOf(const Scanner& scanner, const std::vector<std::string>& hosts) {
  std::vector<std::string> domains;
  for (const std::string& host : hosts) {
    std::string domain = scanner.suffixes.registrableDomain(host);
    if (!domain.empty() && std::find(domains.begin(), domains.end(), domain) == domains.end()) {
      domains.push_back(std::move(domain));
    }
  }
  return domains;
}

void checkDomains(const Scanner& scanner, const std::vector<std::string>& domains, uint32_t message,
                  const KmCallbacksA& callbacks) {
  for (const linkscan::DomainList& list : scanner.settings.domainLists) {
    Verdict evidence = domainEvidence(list);
    std::vector<uint8_t> codes;
    for (const auto& code : list.resultCodes) {
      codes.insert(codes.end(), code.begin(), code.end());
    }
    for (const std::string& domain : domains) {
      std::string name = domain + "." + list.zone;
      if (name.size() <= 253) {
        callbacks.queueHostCheck(message, name.c_str(), codes.empty() ? nullptr : codes.data(),
                                 static_cast<int32_t>(list.resultCodes.size()), KM_HOST_CHECK_SPAM,
                                 &evidence);
      }
    }
  }
}

} // namespace

LINKSCAN_EXPORT int32_t checkKestrelmailVersion(const char* hostVersion) {
  return mailtext::hostVersionAccepted(hostVersion) ? 1 : 0;
}

LINKSCAN_EXPORT const char* getPluginName() {
  return "Link scanner";
}

LINKSCAN_EXPORT const char* getPluginVersion() {
  return "1.0";
}

LINKSCAN_EXPORT const char* getPluginDescription() {
  return "Checks the hosts that a message's links point to: their addresses against the DNS "
         "blacklists, their domains against the domain blocklists of domain_dnsbl.txt.";
}

LINKSCAN_EXPORT KmPluginData loadConfig(const char* configFolder) {
  if (configFolder == nullptr || *configFolder == '\0') {
    return nullptr;
  }
  auto* scanner = new Scanner(configFolder);
  // The activity log hears of them with the next message; standard error at once.
  for (const std::string& problem : scanner->settings.problems) {
    std::fprintf(stderr, "linkscan: %s\n", problem.c_str());
  }
  return scanner;
}

LINKSCAN_EXPORT void releaseConfig(KmPluginData data) {
  delete scannerOf(data);
}

LINKSCAN_EXPORT void sessionStart(const KmSessionInfo* session, KmPluginData data) {
  if (Scanner* scanner = scannerOf(data); scanner != nullptr && session != nullptr) {
    scanner->callbacks.store(session->callbacks);
  }
}

LINKSCAN_EXPORT int32_t requireBodyFiltering(const char* const*, int32_t, uint32_t,
                                             Verdict* verdict, KmPluginData data) {
  Scanner* scanner = scannerOf(data);
  return scanner != nullptr && verdict != nullptr && hasWork(*scanner) && undecided(*verdict) ? 1
                                                                                              : 0;
}

LINKSCAN_EXPORT int32_t minBodyBytesRequired(int32_t phase, const char* const*, int32_t, uint32_t,
                                             Verdict*, KmPluginData data) {
  Scanner* scanner = scannerOf(data);
  if (scanner == nullptr || !hasWork(*scanner) || phase != KM_PHASE_BODY_FILTERING) {
    return 0;
  }
  return static_cast<int32_t>(scanner->settings.limits.bodyBytes);
}

LINKSCAN_EXPORT void filterOnMessageBody(const char* const* lines, int32_t count, int body,
                                         uint32_t message, Verdict* verdict, KmPluginData data,
                                         const KmCallbacksA* callbacks) {
  Scanner* scanner = scannerOf(data);
  if (scanner == nullptr || verdict == nullptr || callbacks == nullptr) {
    return;
  }
  logProblems(*scanner, message);
  if (!hasWork(*scanner) || !undecided(*verdict)) {
    return;
  }
  const linkscan::Settings& settings = scanner->settings;
  std::vector<std::string_view> headerLines;
  for (int32_t i = 0; lines != nullptr && i < count; ++i) {
    if (lines[i] != nullptr) {
      headerLines.emplace_back(lines[i]);
    }
  }
  std::string text = readBody(body, settings.limits.bodyBytes);
  linkscan::LinkHosts found = linkscan::findLinkHosts(headerLines, text, settings.limits,
                                                      scanner->suffixes, settings.skipDomains);
  if (found.hosts.empty()) {
    return;
  }
  std::string listed;
  for (const std::string& host : found.hosts) {
    listed += " " + host;
  }
  logText(*scanner, message, KM_LOG_VERBOSE, "linkscan: links to" + listed);
  if (found.moreHosts) {
    logText(*scanner, message, KM_LOG_VERBOSE,
            "linkscan: links to more hosts than MAX_HOSTS_PER_MESSAGE (" +
                std::to_string(settings.limits.mostHosts) + "); the others are not checked");
  }
  if (settings.checkLinkAddresses) {
    for (const std::string& host : found.hosts) {
      // Not gathered: a link says nothing about who sent the message.
      callbacks->checkHost(message, host.c_str(), 0, KM_SOURCE_OTHER, kSourceText);
    }
  }
  if (!settings.domainLists.empty()) {
    checkDomains(*scanner, domainsOf(*scanner, found.hosts), message, *callbacks);
  }
}

// The exports have the types the host calls them through.
static_assert(std::is_same_v<decltype(&checkKestrelmailVersion), KmCheckKestrelmailVersion>);
static_assert(std::is_same_v<decltype(&getPluginName), KmGetPluginText>);
static_assert(std::is_same_v<decltype(&loadConfig), KmLoadConfig>);
static_assert(std::is_same_v<decltype(&releaseConfig), KmReleaseConfig>);
static_assert(std::is_same_v<decltype(&sessionStart), KmSessionEvent>);
static_assert(std::is_same_v<decltype(&requireBodyFiltering), KmRequireFromHeaders>);
static_assert(std::is_same_v<decltype(&minBodyBytesRequired), KmMinBodyBytesRequired>);
static_assert(std::is_same_v<decltype(&filterOnMessageBody), KmFilterOnMessageBody>);
