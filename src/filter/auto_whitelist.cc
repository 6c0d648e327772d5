// Counting clean messages and promoting their addresses.
#include "filter/auto_whitelist.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "config/config.h"
#include "config/lists.h"
#include "diag/activity_log.h"
#include "filter/auto_whitelist_internal.h"
#include "message/message.h"
#include "platform/calendar.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr std::string_view kNoMessageId = "**NO MSG ID**";
constexpr int64_t kSecondsPerDay = 86400;
constexpr std::string_view kLogSeparator =
    "\n\n--------------------------------------------------------------------------------\n\n\n";

std::string joinedHeaderLines(const std::vector<std::string>& headerLines) {
  std::string text(kLogSeparator);
  for (const std::string& line : headerLines) {
    text += line;
  }
  return text;
}

// Counts one address seen on a clean message today: new addresses start at 1, a
// known one gains 1 unless it was counted on this day already. True when the
// record changed.
template <typename Record> bool countOnce(Record& record, bool isNew, int64_t now) {
  int64_t dayStart = now - now % kSecondsPerDay;
  if (isNew) {
    record.count = 1;
    record.lastCounted = fileTime(now);
    return true;
  }
  if (int64_t{record.lastCounted} >= dayStart) {
    return false;
  }
  if (record.count < std::numeric_limits<uint32_t>::max()) {
    ++record.count;
  }
  record.lastCounted = fileTime(now);
  return true;
}

bool listedIgnoringCase(const std::vector<std::string>& list, std::string_view address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& entry) { return equalsIgnoreCase(entry, address); });
}

// Puts the promoted addresses into the current snapshot (those it holds already
// are left out) and rewrites the list's file.
void promoteSenders(const std::vector<std::string>& senders) {
  updateConfigWithoutSaving([&](Config& changed) {
    for (const std::string& address : senders) {
      if (!listedIgnoringCase(changed.autoWlistFrom, address)) {
        changed.autoWlistFrom.push_back(address);
      }
    }
  });
  if (ConfigRef current = AcquireConfig()) {
    saveAutoWhiteAddresses(*current);
  }
}

void promoteRelays(const std::vector<Ipv4Address>& relays) {
  updateConfigWithoutSaving([&](Config& changed) {
    for (const Ipv4Address& address : relays) {
      if (std::find(changed.autoWlistIp.begin(), changed.autoWlistIp.end(), address) ==
          changed.autoWlistIp.end()) {
        changed.autoWlistIp.push_back(address);
      }
    }
  });
  if (ConfigRef current = AcquireConfig()) {
    saveAutoWhiteRelays(*current);
  }
}

} // namespace

AutoWhitelistState& autoWhitelistState() {
  static AutoWhitelistState state;
  return state;
}

uint32_t relayKey(const Ipv4Address& address) {
  return uint32_t{address[0]} << 24 | uint32_t{address[1]} << 16 | uint32_t{address[2]} << 8 |
         uint32_t{address[3]};
}

uint32_t fileTime(int64_t unixTime) {
  return static_cast<uint32_t>(
      std::clamp<int64_t>(unixTime, 0, std::numeric_limits<uint32_t>::max()));
}

void rememberMessageId(AutoWhitelistState& state, std::string_view id, uint32_t seen) {
  size_t end = 0;
  while (end < id.size() && static_cast<unsigned char>(id[end]) >= 32) {
    ++end;
  }
  id = id.substr(0, end);
  auto [found, added] = state.messageIds.try_emplace(toLowerAscii(id));
  MessageIdRecord& record = found->second;
  if (added) {
    record.id = std::string(id);
    record.lastSeen = seen;
    record.order = state.nextOrder++;
  } else if (seen > record.lastSeen) {
    record.lastSeen = seen;
  }
  state.messageIdsDirty = true;
}

std::optional<std::string> IsAutoWhiteAddress(const Config& config, std::string_view address) {
  for (const std::string& entry : config.autoWlistFrom) {
    if (equalsIgnoreCase(entry, address)) {
      return entry;
    }
  }
  return std::nullopt;
}

bool IsAutoWhiteIp(const Config& config, const Ipv4Address& ip) {
  return std::find(config.autoWlistIp.begin(), config.autoWlistIp.end(), ip) !=
         config.autoWlistIp.end();
}

std::string autoWhitelistMessageId(const std::vector<std::string>& headerLines) {
  const std::string* chosen = nullptr;
  for (const std::string& line : headerLines) {
    if (startsWithIgnoreCase(line, "Message-ID:")) {
      chosen = &line;
    }
  }
  if (chosen == nullptr) {
    for (const std::string& line : headerLines) {
      if (startsWithIgnoreCase(line, "Date:")) {
        chosen = &line;
        break;
      }
    }
  }
  if (chosen == nullptr) {
    return std::string(kNoMessageId);
  }
  std::string id = *chosen;
  for (char& c : id) {
    if (static_cast<unsigned char>(c) < 32) {
      c = ' ';
    }
  }
  return id;
}

CountOutcome CountCleanMessage(const std::vector<std::string>& addresses,
                               const std::vector<Ipv4Address>& relays,
                               const std::vector<std::string>& headerLines, const Config& config,
                               int64_t now) {
  CountOutcome outcome;
  std::string id = autoWhitelistMessageId(headerLines);
  RecursiveGuard guard(configLock());
  AutoWhitelistState& state = autoWhitelistState();
  if (auto known = state.messageIds.find(toLowerAscii(id)); known != state.messageIds.end()) {
    known->second.lastSeen = fileTime(now);
    state.messageIdsDirty = true;
    outcome.countedBefore = true;
    return outcome;
  }
  // What is auto-white already, and where promotions go, is the current snapshot:
  // a session may hold an older one.
  ConfigRef current = AcquireConfig();
  const Config& lists = current ? *current : config;
  std::string logText;
  auto headerText = [&]() -> const std::string& {
    if (logText.empty()) {
      logText = joinedHeaderLines(headerLines);
    }
    return logText;
  };
  bool seenNew = false;

  if (config.useAutoWlistFrom) {
    for (const std::string& address : addresses) {
      if (IsAutoWhiteAddress(lists, address) ||
          listedIgnoringCase(outcome.promotedSenders, address)) {
        continue;
      }
      seenNew = true;
      auto [found, added] = state.senders.try_emplace(toLowerAscii(address));
      SenderRecord& record = found->second;
      if (added) {
        record.address = address;
        record.order = state.nextOrder++;
      }
      if (!countOnce(record, added, now)) {
        continue;
      }
      if (config.autoWlistFromLogging) {
        appendToAddressLog(record.address, AutoWhiteKind::Sender, headerText());
      }
      if (current && record.count >= static_cast<uint32_t>(config.autoWlistFromNumMails)) {
        logGlobalText(LogLevel::Basic, kTextLogAutoWhitelisted, {record.address, record.count});
        outcome.promotedSenders.push_back(record.address);
        state.senders.erase(found);
      }
      state.sendersDirty = true;
    }
    if (!outcome.promotedSenders.empty()) {
      promoteSenders(outcome.promotedSenders);
    }
  }

  if (config.useAutoWlistIp) {
    for (const Ipv4Address& address : relays) {
      if (IsAutoWhiteIp(lists, address) ||
          std::find(outcome.promotedRelays.begin(), outcome.promotedRelays.end(), address) !=
              outcome.promotedRelays.end()) {
        continue;
      }
      seenNew = true;
      auto [found, added] = state.relays.try_emplace(relayKey(address));
      RelayRecord& record = found->second;
      if (added) {
        record.address = address;
        record.order = state.nextOrder++;
      }
      if (!countOnce(record, added, now)) {
        continue;
      }
      if (config.autoWlistIpLogging) {
        appendToAddressLog(ipToString(address), AutoWhiteKind::Relay, headerText());
      }
      if (current && record.count >= static_cast<uint32_t>(config.autoWlistIpNumMails)) {
        logGlobalText(LogLevel::Basic, kTextLogAutoWhitelisted,
                      {ipToString(address), record.count});
        outcome.promotedRelays.push_back(address);
        state.relays.erase(found);
      }
      state.relaysDirty = true;
    }
    if (!outcome.promotedRelays.empty()) {
      promoteRelays(outcome.promotedRelays);
    }
  }

  if (seenNew) {
    rememberMessageId(state, id, fileTime(now));
  }
  return outcome;
}

void feedAutoWhitelisting(const Message& message) {
  const ConfigRef& config = message.pluginContext.config;
  if (!config) {
    return;
  }
  std::vector<Ipv4Address> relays;
  {
    std::lock_guard guard(registryLock());
    relays = message.pluginContext.collectedIps;
  }
  CountCleanMessage(message.pluginContext.collectedAddresses, relays, message.pristineHeaderLines,
                    *config, currentUnixTime());
}

void WhitelistAddressNow(std::string_view address, std::string_view note, const Config& config) {
  if (address.empty()) {
    return;
  }
  RecursiveGuard guard(configLock());
  ConfigRef current = AcquireConfig();
  if (!current || IsAutoWhiteAddress(*current, address)) {
    return;
  }
  // The log goes on in the file its counts started, under the spelling first seen.
  std::string logName(address);
  AutoWhitelistState& state = autoWhitelistState();
  if (auto found = state.senders.find(toLowerAscii(address)); found != state.senders.end()) {
    logName = found->second.address;
    state.senders.erase(found);
    state.sendersDirty = true;
  }
  promoteSenders({std::string(address)});
  if (config.autoWlistFromLogging) {
    std::string text(kLogSeparator);
    text += note;
    appendToAddressLog(logName, AutoWhiteKind::Sender, text);
  }
}

std::vector<PendingSender> pendingSenders() {
  RecursiveGuard guard(configLock());
  std::vector<PendingSender> list;
  for (const SenderRecord* record : inFileOrder<SenderRecord>(autoWhitelistState().senders)) {
    list.push_back({record->address, record->count, record->lastCounted});
  }
  return list;
}

std::vector<PendingRelay> pendingRelays() {
  RecursiveGuard guard(configLock());
  std::vector<PendingRelay> list;
  for (const RelayRecord* record : inFileOrder<RelayRecord>(autoWhitelistState().relays)) {
    list.push_back({record->address, record->count, record->lastCounted});
  }
  return list;
}

std::vector<CountedMessageId> countedMessageIds() {
  RecursiveGuard guard(configLock());
  std::vector<CountedMessageId> list;
  for (const MessageIdRecord* record :
       inFileOrder<MessageIdRecord>(autoWhitelistState().messageIds)) {
    list.push_back({record->id, record->lastSeen});
  }
  return list;
}

void forgetAutoWhitelistState() {
  RecursiveGuard guard(configLock());
  autoWhitelistState() = AutoWhitelistState{};
}

} // namespace km
