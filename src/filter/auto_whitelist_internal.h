// The run-time state of auto-whitelisting, shared by its counting and its files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter/auto_whitelist.h"

namespace km {

// Records keep the order in which they were first seen (`order`), which is the
// order of their files.
struct SenderRecord {
  std::string address;
  uint32_t count = 0;
  uint32_t lastCounted = 0;
  uint64_t order = 0;
};
struct RelayRecord {
  Ipv4Address address{};
  uint32_t count = 0;
  uint32_t lastCounted = 0;
  uint64_t order = 0;
};
struct MessageIdRecord {
  std::string id;
  uint32_t lastSeen = 0;
  uint64_t order = 0;
};

// Guarded by the configuration lock. Senders and ids are found by their lower-case
// text, relays by their four octets. A list is dirty from a change until a save
// wrote it.
struct AutoWhitelistState {
  std::unordered_map<std::string, SenderRecord> senders;
  std::unordered_map<uint32_t, RelayRecord> relays;
  std::unordered_map<std::string, MessageIdRecord> messageIds;
  bool sendersDirty = false;
  bool relaysDirty = false;
  bool messageIdsDirty = false;
  uint64_t nextOrder = 0;
};

// The process-wide state; the caller holds the configuration lock.
AutoWhitelistState& autoWhitelistState();

uint32_t relayKey(const Ipv4Address& address);
// A time as the files keep it (seconds, 32 bits, 0 before 1970).
uint32_t fileTime(int64_t unixTime);

// Remembers a message id (cut at its first byte below 32) with the time it was
// seen: added when new, else its time raised when later.
void rememberMessageId(AutoWhitelistState& state, std::string_view id, uint32_t seen);

// The records in the order they were first seen.
template <typename Record, typename Map> std::vector<const Record*> inFileOrder(const Map& map) {
  std::vector<const Record*> records;
  records.reserve(map.size());
  for (const auto& entry : map) {
    records.push_back(&entry.second);
  }
  std::sort(records.begin(), records.end(),
            [](const Record* a, const Record* b) { return a->order < b->order; });
  return records;
}

// Appends header text to an address's log file, which starts with its heading when
// new. A failed write is reported.
void appendToAddressLog(std::string_view address, AutoWhiteKind kind, std::string_view text);

} // namespace km
