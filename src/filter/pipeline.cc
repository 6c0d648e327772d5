#include "filter/pipeline.h"

#include <algorithm>
#include <ctime>
#include <deque>

#include "config/lists.h"
#include "filter/address_scan.h"
#include "filter/auto_whitelist.h"
#include "filter/dnsbl.h"
#include "filter/dnsbl_cache.h"
#include "filter/dnsbl_lock.h"
#include "filter/filtering_statistics.h"
#include "filter/received_tracking.h"
#include "filter/session_record.h"
#include "filter/update_check.h"
#include "filter/verdict.h"
#include "platform/lang.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

struct AddressHeader {
  std::string_view name;
  int32_t kind;
};

// The sender headers, in the order they are checked.
constexpr AddressHeader kAddressHeaders[] = {
    {"From:", KM_ADDRESS_FROM},
    {"Sender:", KM_ADDRESS_SENDER},
    {"Reply-To:", KM_ADDRESS_REPLY_TO},
    {"Mailing-List:", KM_ADDRESS_MAILING_LIST},
    {"Return-Path:", KM_ADDRESS_RETURN_PATH},
};

constexpr std::string_view kReceived = "Received";
constexpr size_t kReceivedScanStart = 9; // after "Received " or "Received:"

const Config& configOf(const Message& message) {
  return *message.pluginContext.config;
}

bool logsAt(const Message& message, LogLevel level) {
  return message.session != nullptr && message.session->log.active() &&
         message.session->log.level >= level;
}

void showText(ProgressDisplay* progress, int textId, std::initializer_list<FormatArg> args = {}) {
  if (progress != nullptr) {
    progress->show(formatText(languageText(textId), args));
  }
}

// The recent-address list, under the configuration lock.
std::deque<std::string>& recentAddressList() {
  static std::deque<std::string> addresses;
  return addresses;
}

void rememberRecentAddress(std::string_view address) {
  RecursiveGuard guard(configLock());
  auto& list = recentAddressList();
  if (std::any_of(list.begin(), list.end(),
                  [&](const std::string& known) { return equalsIgnoreCase(known, address); })) {
    return;
  }
  list.emplace_back(address);
  if (list.size() > kRecentAddressLimit) {
    list.pop_front();
  }
}

void gatherAddress(Message& message, std::string_view address) {
  const Config& config = configOf(message);
  if (patternsMatch(config.neverAutoWhitelist, address)) {
    return;
  }
  std::lock_guard guard(registryLock());
  auto& collected = message.pluginContext.collectedAddresses;
  if (std::none_of(collected.begin(), collected.end(),
                   [&](const std::string& known) { return equalsIgnoreCase(known, address); })) {
    collected.emplace_back(address);
  }
}

void gatherRelay(Message& message, const Ipv4Address& ip) {
  std::lock_guard guard(registryLock());
  auto& collected = message.pluginContext.collectedIps;
  if (std::find(collected.begin(), collected.end(), ip) == collected.end()) {
    collected.push_back(ip);
  }
}

// Whitelists the message, or marks it spam, because of a list entry.
void decide(Verdict& verdict, bool white, int32_t source, std::string_view sourceText,
            int32_t reason, const char* entry) {
  if (white) {
    verdict.isWhitelisted = 1;
    verdict.isSpam = 0;
  } else {
    verdict.isSpam = 1;
  }
  setVerdictEvidence(verdict, source, reason, sourceText);
  verdict.pattern.entry = entry;
}

// Step 1 of the address check: the e-mail lists. Returns the reason found (0 none).
int32_t judgeAddress(Message& message, std::string_view address, int32_t source,
                     std::string_view sourceText) {
  const Config& config = configOf(message);
  Verdict& verdict = message.verdict;
  if (verdict.isWhitelisted) {
    return 0;
  }
  if (std::optional<size_t> at = config.whitelistEmailIndex.firstMatch(address)) {
    decide(verdict, true, source, sourceText, KM_REASON_WLIST_EMAIL,
           config.whitelistEmail[*at].c_str());
    return KM_REASON_WLIST_EMAIL;
  }
  if (!config.awlistFilteringDisabled) {
    if (std::optional<std::string> stored = IsAutoWhiteAddress(config, address)) {
      message.verdictEntry = std::move(*stored);
      decide(verdict, true, source, sourceText, KM_REASON_AWLIST_EMAIL,
             message.verdictEntry.c_str());
      return KM_REASON_AWLIST_EMAIL;
    }
  }
  if (!verdict.isSpam) {
    if (std::optional<size_t> at = config.blacklistEmailIndex.firstMatch(address)) {
      decide(verdict, false, source, sourceText, KM_REASON_BLIST_EMAIL,
             config.blacklistEmail[*at].c_str());
      return KM_REASON_BLIST_EMAIL;
    }
  }
  return 0;
}

void logAddressCheck(Message& message, std::string_view address, int32_t reason) {
  if (!logsAt(message, LogLevel::Verbose)) {
    return;
  }
  const char* entry = message.verdict.pattern.entry;
  switch (reason) {
  case KM_REASON_WLIST_EMAIL:
    logMessage(message, LogLevel::Verbose, kTextLogAddressWhite, {address, entry});
    break;
  case KM_REASON_AWLIST_EMAIL:
    logMessage(message, LogLevel::Verbose, kTextLogAddressAutoWhite, {address, entry});
    break;
  case KM_REASON_BLIST_EMAIL:
    logMessage(message, LogLevel::Verbose, kTextLogAddressBlack, {address, entry});
    break;
  default:
    logMessage(message, LogLevel::Verbose, kTextLogAddressUnlisted, {address});
  }
}

// Why a relay address was taken out of the check, or what was found for it.
enum class RelayFinding { None, White, AutoWhite, IgnoredByPlugin, Black };

void logRelayCheck(Message& message, const Ipv4Address& ip, RelayFinding finding,
                   std::string_view plugin) {
  if (!logsAt(message, LogLevel::Verbose)) {
    return;
  }
  std::string address = ipToString(ip);
  switch (finding) {
  case RelayFinding::White:
    logMessage(message, LogLevel::Verbose, kTextLogRelayWhite, {address});
    break;
  case RelayFinding::AutoWhite:
    logMessage(message, LogLevel::Verbose, kTextLogRelayAutoWhite, {address});
    break;
  case RelayFinding::IgnoredByPlugin:
    logMessage(message, LogLevel::Verbose, kTextLogRelayIgnored, {address, plugin});
    break;
  case RelayFinding::Black:
    logMessage(message, LogLevel::Verbose, kTextLogRelayBlack, {address});
    break;
  case RelayFinding::None:
    logMessage(message, LogLevel::Verbose, kTextLogRelayUnlisted, {address});
    break;
  }
}

void scanAddressLine(Message& message, std::string_view line, int32_t kind) {
  size_t next = line.find_first_of(": ");
  while (next < line.size()) {
    std::optional<std::string_view> address = ExtractEmailAddress(line, next, next);
    if (!address) {
      break;
    }
    CheckEmailAddress(message, std::string(*address), kind != KM_ADDRESS_MAILING_LIST,
                      KM_SOURCE_HEADERS, {}, kind);
  }
}

// Every dotted address of the line is a relay; CheckIpAddress is where CheckHost
// sends a dotted address.
void scanReceivedLine(Message& message, std::string_view line) {
  size_t next = std::min(kReceivedScanStart, line.size());
  while (next < line.size()) {
    std::optional<Ipv4Address> ip = ExtractIpAddress(line, next, next);
    if (!ip) {
      break;
    }
    CheckIpAddress(message, *ip, true, KM_SOURCE_HEADERS, {});
  }
}

void askPluginsAboutHeaders(Message& message, ProgressDisplay* progress) {
  forEachPluginExport<KmFilterOnMessageHeaders>(
      configOf(message), "filterOnMessageHeaders", nullptr, [&](const auto& plugin) {
        showText(progress, kTextCheckingWithPlugin, {pluginStatusName(plugin.installedIndex)});
        HeaderLineArray lines(message.headerLines);
        callFilterPlugin(message, plugin.installedIndex, "filterOnMessageHeaders",
                         "filterOnMessageHeaders", [&] {
                           plugin.function(lines.lines(), lines.count(), message.handle,
                                           &message.verdict, plugin.data, pluginCallbacksA());
                         });
      });
}

int32_t periodHours(const CachePeriod& period) {
  return period.a * 24 + period.b;
}

// When the housekeeping last ran (seconds), under the configuration lock.
int64_t& lastHousekeeping() {
  static int64_t time = 0;
  return time;
}

} // namespace

void FilterHeaders(Message& message, ProgressDisplay* progress) {
  if (logsAt(message, LogLevel::Verbose)) {
    logMessage(message, LogLevel::Verbose, kTextLogMessageHeaders,
               {GetSenderField(message), GetSubject(message)});
  }
  showText(progress, kTextCheckingHeaders);
  for (const AddressHeader& header : kAddressHeaders) {
    for (size_t n = 0; n < message.headerLines.size(); ++n) {
      if (startsWithIgnoreCase(message.headerLines[n], header.name)) {
        scanAddressLine(message, message.headerLines[n], header.kind);
      }
    }
  }
  {
    RecursiveGuard queueTogether(dnsblLock());
    for (size_t n = 0; n < message.headerLines.size(); ++n) {
      if (startsWithIgnoreCase(message.headerLines[n], kReceived)) {
        scanReceivedLine(message, message.headerLines[n]);
      }
    }
  }
  if (!hasOpenQueries(message)) {
    waitForDnsblResults(message, nullptr);
  }
  askPluginsAboutHeaders(message, progress);
}

void CheckEmailAddress(Message& message, std::string_view address, bool gather, int32_t source,
                       std::string_view sourceText, int32_t kind) {
  int32_t reason = judgeAddress(message, address, source, sourceText);
  std::string text(address);
  forEachPluginExport<KmFilterOnEmailAddress>(
      configOf(message), "filterOnEmailAddress", nullptr, [&](const auto& plugin) {
        callFilterPlugin(message, plugin.installedIndex, "filterOnEmailAddress",
                         formatText("filterOnEmailAddress(%s)", {text}), [&] {
                           plugin.function(text.c_str(), kind, message.handle, &message.verdict,
                                           plugin.data, pluginCallbacksA());
                         });
      });
  if (gather) {
    gatherAddress(message, address);
  }
  rememberRecentAddress(address);
  logAddressCheck(message, address, reason);
}

void CheckHost(Message& message, std::string_view host, bool gather, int32_t source,
               std::string_view sourceText) {
  Ipv4Address ip;
  if (parseIpv4(host, ip)) {
    CheckIpAddress(message, ip, gather, source, sourceText);
    return;
  }
  std::string text(host);
  logMessage(message, LogLevel::Verbose, kTextLogHostLookup, {text});
  queueHostLookup(host, source, sourceText, message, gather);
  forEachPluginExport<KmFilterOnHost>(
      configOf(message), "filterOnHost", nullptr, [&](const auto& plugin) {
        callFilterPlugin(message, plugin.installedIndex, "filterOnHost",
                         formatText("filterOnHost(%s)", {text}), [&] {
                           plugin.function(text.c_str(), message.handle, &message.verdict,
                                           plugin.data, pluginCallbacksA());
                         });
      });
}

void CheckIpAddress(Message& message, const Ipv4Address& ip, bool gather, int32_t source,
                    std::string_view sourceText) {
  const Config& config = configOf(message);
  Verdict& verdict = message.verdict;
  RelayFinding finding = RelayFinding::None;
  std::optional<std::string> ignoredBy;
  if (config.whitelistIpIndex.contains(ip)) {
    finding = RelayFinding::White;
  } else if (!config.awlistFilteringDisabled && IsAutoWhiteIp(config, ip)) {
    finding = RelayFinding::AutoWhite;
  } else if ((ignoredBy = IpIgnoredByPlugins(message, ip))) {
    finding = RelayFinding::IgnoredByPlugin;
  } else if (!verdict.isWhitelisted && !verdict.isSpam && config.blacklistIpIndex.contains(ip)) {
    queueBlacklistHit(ip, source, sourceText, message);
    finding = RelayFinding::Black;
  }
  logRelayCheck(message, ip, finding, ignoredBy.value_or(""));
  bool white = finding != RelayFinding::None && finding != RelayFinding::Black;
  if (finding == RelayFinding::None && !verdict.isWhitelisted) {
    queueDnsblQueries(ip, source, sourceText, message, config);
  }
  if (white) {
    return;
  }
  std::string callText = formatText("filterOnIpAddress(%d.%d.%d.%d)", {ip[0], ip[1], ip[2], ip[3]});
  forEachPluginExport<KmFilterOnIpAddress>(
      config, "filterOnIpAddress", nullptr, [&](const auto& plugin) {
        callFilterPlugin(message, plugin.installedIndex, "filterOnIpAddress", callText, [&] {
          plugin.function(ip.data(), message.handle, &message.verdict, plugin.data,
                          pluginCallbacksA());
        });
      });
  if (gather) {
    gatherRelay(message, ip);
  }
}

std::optional<std::string> IpIgnoredByPlugins(Message& message, const Ipv4Address& ip) {
  std::optional<std::string> ignoredBy;
  forEachPluginExport<KmIgnoreIpAddress>(
      configOf(message), "ignoreIpAddress", nullptr, [&](const auto& plugin) {
        if (ignoredBy) {
          return;
        }
        int32_t answer;
        {
          PluginCallScope scope(plugin.installedIndex, "ignoreIpAddress");
          answer = plugin.function(ip.data(), message.handle, &message.verdict, plugin.data);
        }
        if (answer != 0) {
          ignoredBy = pluginStatusName(plugin.installedIndex);
        }
      });
  return ignoredBy;
}

bool IsIpWhite(Message& message, const Ipv4Address& ip) {
  const Config& config = configOf(message);
  return config.whitelistIpIndex.contains(ip) ||
         (!config.awlistFilteringDisabled && IsAutoWhiteIp(config, ip)) ||
         IpIgnoredByPlugins(message, ip).has_value();
}

PluginFlags BodyFilteringFlags(Message& message) {
  const Config& config = configOf(message);
  PluginFlags flags(config.enabledPlugins.size(), 0);
  HeaderLineArray lines(message.headerLines);
  const Verdict& verdict = message.verdict;
  bool open = !verdict.isSpam && !verdict.isWhitelisted;
  for (size_t i = 0; i < flags.size(); ++i) {
    const EnabledPlugin& plugin = config.enabledPlugins[i];
    KmPluginData data = pluginDataOf(plugin);
    if (pluginDisabled(plugin.installedIndex)) {
      continue;
    }
    auto require = reinterpret_cast<KmRequireFromHeaders>(
        FindExport(plugin.installedIndex, "requireBodyFiltering"));
    if (require == nullptr) {
      flags[i] = verdict.bodyCheckWanted != 0 || open;
      continue;
    }
    PluginCallScope scope(plugin.installedIndex, "requireBodyFiltering");
    flags[i] = require(lines.lines(), lines.count(), message.handle, &message.verdict, data) != 0;
  }
  return flags;
}

int64_t BodyBytesRequired(Message& message, int32_t phase, const PluginFlags* flags) {
  const Config& config = configOf(message);
  HeaderLineArray lines(message.headerLines);
  int64_t most = 0;
  bool wholeBody = false;
  for (size_t i = 0; i < config.enabledPlugins.size(); ++i) {
    const EnabledPlugin& plugin = config.enabledPlugins[i];
    if (flags != nullptr && (i >= flags->size() || (*flags)[i] == 0)) {
      continue;
    }
    KmPluginData data = pluginDataOf(plugin);
    if (pluginDisabled(plugin.installedIndex)) {
      continue;
    }
    auto minimum = reinterpret_cast<KmMinBodyBytesRequired>(
        FindExport(plugin.installedIndex, "minBodyBytesRequired"));
    int64_t answer;
    if (minimum == nullptr) {
      answer = phase == KM_PHASE_BODY_FILTERING ? message.fetch->bodyFilterLimit : 0;
    } else {
      PluginCallScope scope(plugin.installedIndex, "minBodyBytesRequired");
      answer = minimum(phase, lines.lines(), lines.count(), message.handle, &message.verdict, data);
    }
    // -1 asks for the whole body; other negative answers ask for nothing.
    wholeBody = wholeBody || answer == -1;
    most = std::max(most, answer);
  }
  // Fetching most of the message in pieces costs more than fetching all of it.
  if (wholeBody || most * 4 > message.fetch->expectedSize * 3) {
    return -1;
  }
  return most;
}

void FilterBody(Message& message, ProgressDisplay* progress, const PluginFlags& flags) {
  forEachPluginExport<KmFilterOnMessageBody>(
      configOf(message), "filterOnMessageBody", &flags, [&](const auto& plugin) {
        showText(progress, kTextCheckingBodyWithPlugin, {pluginStatusName(plugin.installedIndex)});
        BodyForPlugin body(message, false, plugin.installedIndex, "filterOnMessageBody");
        if (body.handle() < 0) {
          return;
        }
        HeaderLineArray lines(message.headerLines);
        callFilterPlugin(
            message, plugin.installedIndex, "filterOnMessageBody", "filterOnMessageBody", [&] {
              plugin.function(lines.lines(), lines.count(), body.handle(), message.handle,
                              &message.verdict, plugin.data, pluginCallbacksA());
            });
      });
}

void FinishMessage(Message& message) {
  forEachPluginExport<KmProcessedMessage>(
      configOf(message), "processedMessage", nullptr, [&](const auto& plugin) {
        BodyForPlugin body(message, true, plugin.installedIndex, "processedMessage");
        if (body.handle() < 0) {
          return;
        }
        HeaderLineArray lines(message.pristineHeaderLines);
        PluginCallScope scope(plugin.installedIndex, "processedMessage");
        plugin.function(lines.lines(), lines.count(), body.handle(), message.handle,
                        &message.verdict, plugin.data);
      });
  const Verdict& verdict = message.verdict;
  countFilteredMessage(verdict.isSpam != 0, verdict.isWhitelisted != 0);
  SessionRecord* session = message.session;
  if (session == nullptr) {
    return;
  }
  ++session->messagesFiltered;
  if (verdict.isWhitelisted) {
    ++session->messagesWhitelisted;
  } else if (verdict.isSpam) {
    ++session->messagesSpam;
  }
  if (session->log.active()) {
    bool spam = isSpamVerdict(verdict);
    std::string label = VerdictLabel(spam, verdict);
    std::string sender = GetSenderField(message);
    std::string subject = GetSubject(message);
    if (!spam) {
      logMessage(message, LogLevel::Basic, kTextLogVerdict, {label, sender, subject});
    } else if (!(session->info.protocol == KM_PROTOCOL_IMAP4 && session->portConfig != nullptr &&
                 session->portConfig->imap4.autoDeleteSpam)) {
      // Spam is logged even in the shortest log; an IMAP4 port that deletes spam
      // logs the deletion instead.
      logMessage(message, LogLevel::Minimal, kTextLogSpamVerdict, {label, sender, subject});
    }
  }
  if (session->info.protocol == KM_PROTOCOL_POP3 || session->info.protocol == KM_PROTOCOL_IMAP4) {
    TrackReceivedLines(message);
  }
}

std::vector<std::string> recentAddresses() {
  RecursiveGuard guard(configLock());
  const auto& list = recentAddressList();
  return std::vector<std::string>(list.begin(), list.end());
}

void Housekeeping() {
  if (stopRequested()) {
    return;
  }
  ConfigRef config;
  {
    RecursiveGuard guard(configLock());
    config = AcquireConfig();
    if (!config) {
      return;
    }
    int64_t hours = std::min(
        {periodHours(config->dnsblPositivePeriod), periodHours(config->dnsblNegativePeriod), 1});
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (now - lastHousekeeping() < hours * 3600) {
      return;
    }
    lastHousekeeping() = now;
  }
  cacheExpire();
  pluginsHousekeeping(*config);
  config.reset();
  startUpdateCheck(false, false);
}

} // namespace km
