#include "filter/tagging.h"

#include <algorithm>

#include "diag/error_report.h"
#include "filter/verdict.h"
#include "message/pipe_pumps.h"
#include "platform/descriptors.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr std::string_view kSubject = "Subject:";
constexpr std::string_view kLabelHeader = "X-Kestrelmail: ";
// The longest label: room for an address, a four-character reason, " BODY" and the
// line end, after "SPAM " and the longest list name.
constexpr std::string_view kLongestLabelTail = " XXX.XXX.XXX.XXX YYYY BODY\r\n";
constexpr std::string_view kShortestListName = "A-WLIST";
constexpr std::string_view kCreatedSubject = "Subject: \r\n";
constexpr std::string_view kReasonHeaderFrame = "X-Wlist-Pattern: \r\n";
constexpr std::string_view kLongestRange = "XXX.XXX.XXX.XXX - XXX.XXX.XXX.XXX";
constexpr std::string_view kTimeoutLine = "X-Kestrelmail-Timeout: Prevent\r\n";
constexpr int64_t kTimeoutLineBytes = 118784; // message bytes per time-out line

void showText(ProgressDisplay* progress, int textId, std::initializer_list<FormatArg> args) {
  if (progress != nullptr) {
    progress->show(formatText(languageText(textId), args));
  }
}

PluginFlags requireFlags(Message& message, const char* exportName) {
  const Config& config = *message.pluginContext.config;
  PluginFlags flags(config.enabledPlugins.size(), 0);
  HeaderLineArray lines(message.headerLines);
  forEachPluginExport<KmRequireFromHeaders>(config, exportName, nullptr, [&](const auto& plugin) {
    PluginCallScope scope(plugin.installedIndex, exportName);
    flags[plugin.position] = plugin.function(lines.lines(), lines.count(), message.handle,
                                             &message.verdict, plugin.data) != 0;
  });
  return flags;
}

// A new pipe for a plug-in's output; false after reporting when none can be made.
bool outputPipe(Message& message, UniqueFd& readEnd, UniqueFd& writeEnd) {
  if (createPipe(readEnd, writeEnd)) {
    return true;
  }
  reportSystemError({}, messageSessionLog(message));
  return false;
}

void rewriteBodyWithPlugins(Message& message, ProgressDisplay* progress, const PluginFlags& flags) {
  forEachPluginExport<KmRewriteMessageBody>(
      *message.pluginContext.config, "rewriteMessageBody", &flags, [&](const auto& plugin) {
        showText(progress, kTextRewritingBody, {pluginStatusName(plugin.installedIndex)});
        UniqueFd outputRead, outputWrite;
        if (!outputPipe(message, outputRead, outputWrite)) {
          return;
        }
        {
          BodyForPlugin input(message, false, plugin.installedIndex, "rewriteMessageBody");
          if (input.handle() < 0) {
            return;
          }
          StartBodyReader(message, std::move(outputRead));
          HeaderLineArray lines(message.headerLines);
          PluginCallScope scope(plugin.installedIndex, "rewriteMessageBody");
          // The plug-in closes its output when it has written the new body.
          plugin.function(lines.lines(), lines.count(), input.handle(), outputWrite.release(),
                          message.handle, &message.verdict, plugin.data);
        }
        logPipeTransfer(message, FinishBodyReader(), plugin.installedIndex, "rewriteMessageBody");
      });
}

void rewriteHeadersWithPlugins(Message& message, size_t firstIndex, ProgressDisplay* progress) {
  PluginFlags flags = RequireHeaderRewriting(message);
  forEachPluginExport<KmRewriteMessageHeaders>(
      *message.pluginContext.config, "rewriteMessageHeaders", &flags, [&](const auto& plugin) {
        EnsureSubjectLine(message);
        showText(progress, kTextRewritingHeaders, {pluginStatusName(plugin.installedIndex)});
        UniqueFd outputRead, outputWrite;
        if (!outputPipe(message, outputRead, outputWrite)) {
          return;
        }
        StartHeaderReader(message, std::move(outputRead));
        {
          HeaderLineArray lines(message.headerLines);
          PluginCallScope scope(plugin.installedIndex, "rewriteMessageHeaders");
          plugin.function(lines.lines(), lines.count(), static_cast<int32_t>(firstIndex),
                          outputWrite.release(), message.handle, &message.verdict, plugin.data);
        }
        logPipeTransfer(message, FinishHeaderReader(), plugin.installedIndex,
                        "rewriteMessageHeaders");
      });
}

// The plug-ins' added lines, one header line per CR LF-terminated piece.
void addPluginHeaderLines(Message& message) {
  std::string_view text;
  std::string collected = collectPluginTexts(message, "getAddedHeaderLines");
  text = collected;
  while (!text.empty()) {
    size_t end = text.find("\r\n");
    size_t length = end == std::string_view::npos ? text.size() : end + 2;
    appendOwnHeaderLine(message, text.substr(0, length));
    text.remove_prefix(length);
  }
}

std::string subjectTag(const Config& config, const std::string& label) {
  if (config.tagSubject && config.verdictInSubject) {
    return formatText("%s **%s**", {config.subjectTagString, label});
  }
  if (config.verdictInSubject) {
    return "**" + label + "**";
  }
  return config.tagSubject ? config.subjectTagString : std::string();
}

void tagSubjectLine(Message& message, size_t firstIndex, const std::string& tag) {
  EnsureSubjectLine(message);
  auto& lines = message.headerLines;
  auto subject = std::find_if(
      lines.begin() + static_cast<std::ptrdiff_t>(std::min(firstIndex, lines.size())), lines.end(),
      [](const std::string& line) { return startsWithIgnoreCase(line, kSubject); });
  if (subject == lines.end()) {
    return;
  }
  const Config& config = *message.pluginContext.config;
  size_t at = config.tagAsSuffix ? endOfHeaderText(*subject) : kSubject.size();
  subject->insert(at, " " + tag);
}

// The last black-list block that holds the address, as "low" or "low - high".
std::string blacklistBlockText(const Config& config, const Verdict& verdict) {
  Ipv4Address ip{verdict.ip[0], verdict.ip[1], verdict.ip[2], verdict.ip[3]};
  auto last = std::find_if(config.blacklistIp.rbegin(), config.blacklistIp.rend(),
                           [&](const Netblock& block) { return ipInRange(ip, block); });
  if (last == config.blacklistIp.rend()) {
    return {};
  }
  if (last->low == last->high) {
    return ipToString(last->low);
  }
  return ipToString(last->low) + " - " + ipToString(last->high);
}

void addReasonHeader(Message& message) {
  const Config& config = *message.pluginContext.config;
  const Verdict& verdict = message.verdict;
  std::string line;
  switch (verdict.reason) {
  case KM_REASON_BLIST_EMAIL:
    if (verdict.pattern.entry != nullptr) {
      line = formatText("%s: %s", {"X-Blist-Pattern", verdict.pattern.entry});
    }
    break;
  case KM_REASON_WLIST_EMAIL:
  case KM_REASON_AWLIST_EMAIL:
    if (verdict.pattern.entry != nullptr) {
      line = formatText("%s: %s", {"X-Wlist-Pattern", verdict.pattern.entry});
    }
    break;
  case KM_REASON_BLIST_IP:
    if (std::string block = blacklistBlockText(config, verdict); !block.empty()) {
      line = "X-Blist-Pattern: " + block;
    }
    break;
  default:
    break;
  }
  if (!line.empty()) {
    appendOwnHeaderLine(message, line + "\r\n");
  }
}

size_t longestEntry(const std::vector<std::string>& entries) {
  size_t longest = 0;
  for (const std::string& entry : entries) {
    longest = std::max(longest, entry.size());
  }
  return longest;
}

} // namespace

PluginFlags RequireBodyRewriting(Message& message) {
  return requireFlags(message, "requireBodyRewriting");
}

PluginFlags RequireHeaderRewriting(Message& message) {
  return requireFlags(message, "requireHeaderRewriting");
}

void RewriteBody(Message& message, ProgressDisplay* progress, bool rewrite,
                 const PluginFlags* flags) {
  if (rewrite) {
    PluginFlags computed;
    if (flags == nullptr) {
      computed = RequireBodyRewriting(message);
      flags = &computed;
    }
    rewriteBodyWithPlugins(message, progress, *flags);
  }
  AppendBodyPrefix(message, collectPluginTexts(message, "getMessageBodyPrefix"));
}

void RewriteHeaders(Message& message, size_t firstIndex, ProgressDisplay* progress) {
  Verdict& verdict = message.verdict;
  if (verdict.isWhitelisted) {
    verdict.isSpam = 0;
  }
  // A message without header lines is marked too: every message the client gets
  // carries its verdict, and a POP3 message only so reaches its announced size.
  rewriteHeadersWithPlugins(message, firstIndex, progress);
  SanitiseHeaders(message, firstIndex);
  addPluginHeaderLines(message);
  const Config& config = *message.pluginContext.config;
  bool spam = isSpamVerdict(verdict);
  std::string label = VerdictLabel(spam, verdict);
  if (spam) {
    if (std::string tag = subjectTag(config, label); !tag.empty()) {
      tagSubjectLine(message, firstIndex, tag);
    }
  }
  appendOwnHeaderLine(message, std::string(kLabelHeader) + label + "\r\n");
  if (config.addReasonHeaders) {
    addReasonHeader(message);
  }
}

int64_t MaxBytesToAdd(const Config& config, int64_t messageSize) {
  if (config.filteringDisabled) {
    return 0;
  }
  size_t longestName = kShortestListName.size();
  for (const DnsblList& list : config.dnsblLists) {
    longestName = std::max(longestName, list.name.size());
  }
  int64_t label = static_cast<int64_t>(std::string_view("SPAM ").size() + longestName +
                                       kLongestLabelTail.size());
  int64_t total = static_cast<int64_t>(kLabelHeader.size()) + label + 2;
  if (config.verdictInSubject) {
    total += label + 5;
  }
  if (config.tagSubject) {
    total += static_cast<int64_t>(config.subjectTagString.size()) + 1;
  }
  total += static_cast<int64_t>(kCreatedSubject.size());
  forEachPluginExport<KmGetMaxBytesToAdd>(
      config, "getMaxBytesToAdd", nullptr, [&](const auto& plugin) {
        PluginCallScope scope(plugin.installedIndex, "getMaxBytesToAdd");
        // A negative or absurd allowance would shrink or bloat every announced size.
        total += std::clamp(plugin.function(plugin.data), 0, kLongestPluginText);
      });
  if (config.addReasonHeaders) {
    // The indexes know their longest pattern; a list without its index is measured.
    auto longestOf = [](const std::vector<std::string>& list, const PatternIndex& index) {
      return index.size() == list.size() ? index.longestPattern() : longestEntry(list);
    };
    size_t longest = std::max(longestOf(config.whitelistEmail, config.whitelistEmailIndex),
                              longestOf(config.blacklistEmail, config.blacklistEmailIndex));
    {
      RecursiveGuard guard(configLock());
      longest = std::max(longest, longestEntry(config.autoWlistFrom));
    }
    if (!config.blacklistIp.empty()) {
      longest = std::max(longest, kLongestRange.size());
    }
    total += static_cast<int64_t>(kReasonHeaderFrame.size() + longest);
  }
  // Time-out prevention may send one line per 118,784 bytes, and at least one.
  int64_t timeoutLines = std::max<int64_t>(messageSize / kTimeoutLineBytes, 1);
  return total + timeoutLines * static_cast<int64_t>(kTimeoutLine.size());
}

} // namespace km
