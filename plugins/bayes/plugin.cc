// The Bayesian content plug-in: judges a message by the words of its headers and
// body, and learns from the mail the proxy is sure about (black-listed and
// DNSBL-listed mail as spam, white-listed mail as ham) and from the drop folders.
#include <kestrelmail/plugin.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "bayes.h"

#define BAYES_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Activity-log levels of the program (minimal to extreme).
constexpr int32_t kLogMinimal = 0;
constexpr int32_t kLogVerbose = 3;

// Learned changes are written at most this often by the message path; the
// housekeeping round and the end of a configuration write them too.
constexpr auto kSaveInterval = std::chrono::seconds(60);
// Files in the drop folders are left alone until they stopped changing this long.
constexpr int kDropSettleSeconds = 5;

struct Plugin {
  explicit Plugin(std::string folder) : store(std::move(folder)) {}

  bayes::TokenStore store;
  bayes::Parameters parameters;
  bayes::TokenLimits limits;
  // The host's callback table B, from the first session that starts.
  std::atomic<const KmCallbacksB*> callbacks{nullptr};
  std::mutex saveLock;
  std::chrono::steady_clock::time_point lastSave = std::chrono::steady_clock::now();
};

Plugin* pluginOf(KmPluginData data) {
  return static_cast<Plugin*>(data);
}

void logText(Plugin& plugin, uint32_t message, int32_t level, const std::string& text) {
  const KmCallbacksB* callbacks = plugin.callbacks.load();
  if (callbacks != nullptr && callbacks->logText != nullptr) {
    callbacks->logText(message, level, text.c_str());
  }
}

// A notice about the token file goes to the activity log with the next message,
// and to standard error at once (the log may not be open yet).
void tellNotice(Plugin& plugin, uint32_t message) {
  std::string notice = plugin.store.takeNotice();
  if (!notice.empty()) {
    logText(plugin, message, kLogMinimal, "Bayesian filter: " + notice);
  }
}

bool decided(const Verdict& verdict) {
  return verdict.isSpam != 0 || verdict.isWhitelisted != 0;
}

// What the proxy's own verdict teaches: lists and DNSBLs are sure; a verdict of
// this plug-in or any other content test is not learned from, or the filter
// would confirm its own mistakes.
bool learnableCategory(const Verdict& verdict, bayes::Category& category) {
  if (verdict.source == KM_SOURCE_DNSBL_TIMEOUT) {
    return false;
  }
  if (verdict.isWhitelisted != 0) {
    switch (verdict.reason) {
    case KM_REASON_WLIST_EMAIL:
    case KM_REASON_WLIST_IP:
    case KM_REASON_AWLIST_EMAIL:
    case KM_REASON_AWLIST_IP:
      category = bayes::Category::Ham;
      return true;
    default:
      return false;
    }
  }
  if (verdict.isSpam != 0) {
    switch (verdict.reason) {
    case KM_REASON_BLIST_EMAIL:
    case KM_REASON_BLIST_IP:
    case KM_REASON_DNSBL:
      category = bayes::Category::Spam;
      return true;
    default:
      return false;
    }
  }
  return false;
}

// Reads at most `limit` bytes of a body handle; a pipe that ends early, or a read
// error, gives what came so far.
std::string readBody(int body, size_t limit) {
  std::string bytes;
  bytes.resize(std::min<size_t>(limit, 64 * 1024));
  size_t done = 0;
  while (done < limit) {
    if (done == bytes.size()) {
      bytes.resize(std::min(limit, bytes.size() * 2));
    }
    ssize_t n = ::read(body, bytes.data() + done, bytes.size() - done);
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

std::vector<std::string_view> headerViews(const char* const* lines, int32_t count) {
  std::vector<std::string_view> views;
  views.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int32_t i = 0; i < count; ++i) {
    views.emplace_back(lines[i]);
  }
  return views;
}

void saveNow(Plugin& plugin) {
  std::lock_guard guard(plugin.saveLock);
  plugin.store.save();
  plugin.lastSave = std::chrono::steady_clock::now();
}

void saveWhenDue(Plugin& plugin) {
  std::unique_lock guard(plugin.saveLock, std::try_to_lock);
  if (!guard.owns_lock() || std::chrono::steady_clock::now() - plugin.lastSave < kSaveInterval) {
    return; // another thread is saving, or it is not time yet
  }
  plugin.store.save();
  plugin.lastSave = std::chrono::steady_clock::now();
}

} // namespace

BAYES_EXPORT int32_t checkKestrelmailVersion(const char* hostVersion) {
  return mailtext::hostVersionAccepted(hostVersion) ? 1 : 0;
}

BAYES_EXPORT const char* getPluginName() {
  return "Bayesian content filter";
}

BAYES_EXPORT const char* getPluginVersion() {
  return "1.0";
}

BAYES_EXPORT const char* getPluginDescription() {
  return "Learns the words of your spam and your good mail and judges new mail by them. "
         "Train it with kestrelmail-train, or drop messages into the train_spam and train_ham "
         "folders of its configuration folder.";
}

BAYES_EXPORT KmPluginData loadConfig(const char* configFolder) {
  if (configFolder == nullptr || *configFolder == '\0') {
    return nullptr;
  }
  bayes::createDropFolders(configFolder);
  auto* plugin = new Plugin(configFolder);
  std::string notice = plugin->store.notice();
  if (!notice.empty()) {
    std::fprintf(stderr, "Bayesian filter: %s\n", notice.c_str());
  }
  return plugin;
}

BAYES_EXPORT void releaseConfig(KmPluginData data) {
  if (Plugin* plugin = pluginOf(data)) {
    saveNow(*plugin);
    delete plugin;
  }
}

BAYES_EXPORT void getPluginCapabilities(KmPluginData, uint32_t* words) {
  // The same words as a plug-in without this export: nothing asked of the DNSBL
  // engine, whose verdict is read only once it is final (processedMessage).
  words[0] = 3;
  words[1] = 3;
}

BAYES_EXPORT void sessionStart(const KmSessionInfo* session, KmPluginData data) {
  Plugin* plugin = pluginOf(data);
  if (plugin == nullptr) {
    return;
  }
  if (session != nullptr && session->callbacks != nullptr) {
    plugin->callbacks.store(session->callbacks);
  }
  // The trainer may have changed the token file since.
  plugin->store.refreshIfChanged();
}

BAYES_EXPORT int32_t requireBodyFiltering(const char* const*, int32_t, uint32_t, Verdict* verdict,
                                          KmPluginData data) {
  return data != nullptr && verdict != nullptr && !decided(*verdict) ? 1 : 0;
}

BAYES_EXPORT int32_t minBodyBytesRequired(int32_t phase, const char* const*, int32_t, uint32_t,
                                          Verdict* verdict, KmPluginData data) {
  Plugin* plugin = pluginOf(data);
  if (plugin == nullptr) {
    return 0;
  }
  auto wanted = static_cast<int32_t>(plugin->limits.bodyBytes);
  if (phase == KM_PHASE_PROCESSED) {
    // The body is only read again to learn from a sure verdict.
    bayes::Category category;
    return verdict != nullptr && learnableCategory(*verdict, category) ? wanted : 0;
  }
  return wanted;
}

BAYES_EXPORT void filterOnMessageBody(const char* const* lines, int32_t count, int body,
                                      uint32_t message, Verdict* verdict, KmPluginData data,
                                      const KmCallbacksA*) {
  Plugin* plugin = pluginOf(data);
  if (plugin == nullptr || verdict == nullptr) {
    return;
  }
  tellNotice(*plugin, message);
  if (decided(*verdict)) {
    return;
  }
  std::string bodyBytes = readBody(body, plugin->limits.bodyBytes);
  bayes::TokenSet tokens =
      bayes::tokeniseParts(headerViews(lines, count), bodyBytes, plugin->limits);
  double score = plugin->store.score(tokens, plugin->parameters);
  bayes::Judgement judgement = bayes::judge(score, plugin->parameters);
  char text[96];
  std::snprintf(text, sizeof text, "Bayesian filter: spam probability %.3f (%s)", score,
                judgement == bayes::Judgement::Spam     ? "spam"
                : judgement == bayes::Judgement::Unsure ? "unsure"
                                                        : "ham");
  logText(*plugin, message, kLogVerbose, text);
  if (judgement != bayes::Judgement::Spam) {
    return;
  }
  verdict->isSpam = 1;
  verdict->source = KM_SOURCE_BODY;
  verdict->reason = KM_REASON_OTHER;
  std::memset(verdict->sourceText, 0, sizeof verdict->sourceText);
  std::memset(&verdict->pattern, 0, sizeof verdict->pattern);
  std::memset(verdict->ip, 0, sizeof verdict->ip);
  // The label shows the score, cut (not rounded) to two places: "BAYES 0.99".
  double shown = std::floor(score * 100) / 100;
  std::snprintf(verdict->pattern.text, sizeof verdict->pattern.text, "BAYES %.2f", shown);
}

BAYES_EXPORT void processedMessage(const char* const* lines, int32_t count, int body,
                                   uint32_t message, Verdict* verdict, KmPluginData data) {
  Plugin* plugin = pluginOf(data);
  bayes::Category category;
  if (plugin == nullptr || verdict == nullptr || !learnableCategory(*verdict, category)) {
    return;
  }
  std::string bodyBytes = readBody(body, plugin->limits.bodyBytes);
  std::vector<std::string_view> headers = headerViews(lines, count);
  bayes::LearnOutcome outcome =
      plugin->store.learn(bayes::messageFingerprint(headers, bodyBytes),
                          bayes::tokeniseParts(headers, bodyBytes, plugin->limits), category);
  if (outcome != bayes::LearnOutcome::AlreadyKnown) {
    logText(*plugin, message, kLogVerbose,
            category == bayes::Category::Spam ? "Bayesian filter: learned as spam"
                                              : "Bayesian filter: learned as ham");
    saveWhenDue(*plugin);
  }
}

BAYES_EXPORT void housekeeping(KmPluginData data, const volatile int32_t* closing) {
  Plugin* plugin = pluginOf(data);
  if (plugin == nullptr || (closing != nullptr && *closing != 0)) {
    return;
  }
  std::string error;
  bayes::learnDropFolders(plugin->store, kDropSettleSeconds, error, plugin->limits);
  if (!error.empty()) {
    std::fprintf(stderr, "Bayesian filter: %s\n", error.c_str());
  }
  saveNow(*plugin);
}

// The exports have the types the host calls them through.
static_assert(std::is_same_v<decltype(&checkKestrelmailVersion), KmCheckKestrelmailVersion>);
static_assert(std::is_same_v<decltype(&getPluginName), KmGetPluginText>);
static_assert(std::is_same_v<decltype(&loadConfig), KmLoadConfig>);
static_assert(std::is_same_v<decltype(&releaseConfig), KmReleaseConfig>);
static_assert(std::is_same_v<decltype(&getPluginCapabilities), KmGetPluginCapabilities>);
static_assert(std::is_same_v<decltype(&sessionStart), KmSessionEvent>);
static_assert(std::is_same_v<decltype(&requireBodyFiltering), KmRequireFromHeaders>);
static_assert(std::is_same_v<decltype(&minBodyBytesRequired), KmMinBodyBytesRequired>);
static_assert(std::is_same_v<decltype(&filterOnMessageBody), KmFilterOnMessageBody>);
static_assert(std::is_same_v<decltype(&processedMessage), KmProcessedMessage>);
static_assert(std::is_same_v<decltype(&housekeeping), KmHousekeeping>);
