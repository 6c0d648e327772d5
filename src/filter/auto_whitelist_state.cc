// The files of auto-whitelisting: the three state files, the per-address logs and
// the older layout of one file per pending address.
#include <algorithm>
#include <cstring>
#include <optional>

#include "config/config.h"
#include "diag/error_report.h"
#include "filter/auto_whitelist.h"
#include "filter/auto_whitelist_internal.h"
#include "platform/calendar.h"
#include "platform/data_path.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr const char* kSendersFile = "auto_wlist_from_pending.dat";
constexpr const char* kRelaysFile = "auto_wlist_ip_pending.dat";
constexpr const char* kMessageIdsFile = "auto_wlist_msgids.dat";
constexpr const char* kDamagedSuffix = ".damaged";
constexpr int64_t kNanosecondsPerSecond = 1000000000;

// The characters a log file's name cannot hold as they are.
constexpr std::string_view kEncodedCharacters = "%\\/:*?\"<>| ";

const char* logFolder(AutoWhiteKind kind) {
  return kind == AutoWhiteKind::Sender ? "auto_wlist_from_logs/" : "auto_wlist_ip_logs/";
}

// Reads the little-endian records of a state file; every read fails once the
// bytes run out, and the position stays where the last whole read ended.
class RecordReader {
public:
  explicit RecordReader(std::string_view bytes) : bytes_(bytes) {}

  bool word(uint32_t& value) {
    if (bytes_.size() - position_ < 4) {
      return false;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + position_);
    value = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    position_ += 4;
    return true;
  }

  // A text up to its NUL, which is consumed too.
  bool text(std::string& value) {
    size_t end = bytes_.find('\0', position_);
    if (end == std::string_view::npos) {
      return false;
    }
    value.assign(bytes_.substr(position_, end - position_));
    position_ = end + 1;
    return true;
  }

  bool octets(Ipv4Address& value) {
    if (bytes_.size() - position_ < value.size()) {
      return false;
    }
    std::memcpy(value.data(), bytes_.data() + position_, value.size());
    position_ += value.size();
    return true;
  }

  bool atEnd() const { return position_ == bytes_.size(); }

private:
  std::string_view bytes_;
  size_t position_ = 0;
};

void appendWord(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>(value >> shift & 0xFF));
  }
}

void appendText(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back('\0');
}

// Reads a state file record by record. A file that ends inside a record, or goes
// on after the last one, keeps the whole records before the damage; the damaged
// file is kept beside for a closer look and reported. True when the list changed
// from what the file holds (so that the next save writes it anew).
template <typename ReadRecord> bool readStateFile(const char* name, ReadRecord readRecord) {
  std::string path = dataPath(name);
  if (!fileExists(path)) {
    return false;
  }
  std::optional<std::string> bytes = readWholeFile(path);
  if (!bytes) {
    reportRuntimeError(path, nullptr);
    return false;
  }
  if (bytes->empty()) {
    return false;
  }
  RecordReader reader(*bytes);
  uint32_t announced = 0;
  int64_t kept = 0;
  bool whole = reader.word(announced);
  for (uint32_t i = 0; whole && i < announced; ++i) {
    whole = readRecord(reader);
    kept += whole ? 1 : 0;
  }
  if (whole && reader.atEnd()) {
    return false;
  }
  std::string keptAs = path + kDamagedSuffix;
  if (!replaceFileContents(keptAs, *bytes)) {
    keptAs = "-";
  }
  reportDamagedFile(path, kept, keptAs);
  return true;
}

bool writeStateFile(const char* name, const std::string& bytes) {
  std::string path = dataPath(name);
  if (replaceFileContents(path, bytes)) {
    return true;
  }
  reportRuntimeError(path, nullptr);
  return false;
}

bool endsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         equalsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

int64_t fileSeconds(const std::string& path) {
  std::optional<int64_t> modified = modificationTime(path);
  return modified ? *modified / kNanosecondsPerSecond : 0;
}

// Splits text into its non-empty lines; any byte below 32 ends a line.
template <typename OnLine> void forEachLine(std::string_view text, OnLine onLine) {
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || static_cast<unsigned char>(text[i]) < 32) {
      if (i > start) {
        onLine(text.substr(start, i - start));
      }
      start = i + 1;
    }
  }
}

// One file of the older layout stands for one pending address: each of its lines
// is the id of a message counted for it, and its time is the last count.
void importPendingFile(AutoWhitelistState& state, AutoWhiteKind kind, const std::string& path,
                       std::string_view address) {
  uint32_t time = fileTime(fileSeconds(path));
  uint32_t* count = nullptr;
  uint32_t* lastCounted = nullptr;
  if (kind == AutoWhiteKind::Sender) {
    auto [found, added] = state.senders.try_emplace(toLowerAscii(address));
    if (added) {
      found->second.address = std::string(address);
      found->second.order = state.nextOrder++;
    }
    count = &found->second.count;
    lastCounted = &found->second.lastCounted;
    state.sendersDirty = true;
  } else {
    Ipv4Address relay{};
    if (!parseIpv4(address, relay)) {
      return;
    }
    auto [found, added] = state.relays.try_emplace(relayKey(relay));
    if (added) {
      found->second.address = relay;
      found->second.order = state.nextOrder++;
    }
    count = &found->second.count;
    lastCounted = &found->second.lastCounted;
    state.relaysDirty = true;
  }
  *lastCounted = std::max(*lastCounted, time);
  if (std::optional<std::string> text = readWholeFile(path)) {
    forEachLine(*text, [&](std::string_view id) {
      rememberMessageId(state, id, time);
      ++*count;
    });
  }
}

void importOlderLayout(AutoWhitelistState& state, AutoWhiteKind kind) {
  std::string folder =
      dataPath(kind == AutoWhiteKind::Sender ? "auto_wlist_from_pending" : "auto_wlist_ip_pending");
  if (!directoryExists(folder)) {
    return;
  }
  std::string logs = dataPath(logFolder(kind));
  for (const std::string& name : listDirectory(folder, "")) {
    std::string path = folder + "/" + name;
    if (endsWithIgnoreCase(name, ".dat")) {
      importPendingFile(state, kind, path, decodeLogFileName(name));
      if (!removeFile(path)) {
        reportSystemError(path, nullptr);
      }
    } else if (endsWithIgnoreCase(name, ".txt")) {
      std::string target = logs + name;
      bool moved = fileExists(target) ? removeFile(path) : renameFile(path, target);
      if (!moved) {
        reportSystemError(path, nullptr);
      }
    }
  }
  if (!removeDirectory(folder)) {
    reportSystemError(folder, nullptr);
  }
}

void removeLogFile(std::string_view address, AutoWhiteKind kind) {
  std::string path = autoWhitelistLogPath(address, kind);
  if (fileExists(path)) {
    removeFile(path);
  }
}

} // namespace

std::string encodeLogFileName(std::string_view address) {
  std::string name;
  name.reserve(address.size() + 4);
  for (char c : address) {
    if (kEncodedCharacters.find(c) != std::string_view::npos) {
      name += '%';
      name += std::to_string(static_cast<unsigned char>(c));
    } else {
      name += c;
    }
  }
  return name + ".txt";
}

std::string decodeLogFileName(std::string_view fileName) {
  size_t slash = fileName.rfind('/');
  if (slash != std::string_view::npos) {
    fileName.remove_prefix(slash + 1);
  }
  size_t dot = fileName.rfind('.');
  if (dot != std::string_view::npos) {
    fileName = fileName.substr(0, dot);
  }
  auto isDigit = [&](size_t i) {
    return i < fileName.size() && fileName[i] >= '0' && fileName[i] <= '9';
  };
  auto encodes = [](int code) {
    return code < 256 && kEncodedCharacters.find(static_cast<char>(code)) != std::string_view::npos;
  };
  std::string address;
  for (size_t i = 0; i < fileName.size(); ++i) {
    if (fileName[i] == '%' && isDigit(i + 1) && isDigit(i + 2)) {
      // Every encoded character has a two-digit code but "|" (124), so a third
      // digit belongs to the code only when the three name such a character; else
      // it is an ordinary digit that followed it in the address.
      int two = (fileName[i + 1] - '0') * 10 + (fileName[i + 2] - '0');
      int three = isDigit(i + 3) ? two * 10 + (fileName[i + 3] - '0') : -1;
      if (three >= 0 && encodes(three)) {
        address += static_cast<char>(three);
        i += 3;
        continue;
      }
      if (encodes(two)) {
        address += static_cast<char>(two);
        i += 2;
        continue;
      }
    }
    address += fileName[i];
  }
  return address;
}

std::string autoWhitelistLogPath(std::string_view address, AutoWhiteKind kind) {
  return dataPath(logFolder(kind)) + encodeLogFileName(address);
}

bool LogFileExists(std::string_view address, AutoWhiteKind kind) {
  return fileExists(autoWhitelistLogPath(address, kind));
}

bool OpenLogFile(std::string_view address, AutoWhiteKind kind) {
  return openWithDesktop(autoWhitelistLogPath(address, kind));
}

void appendToAddressLog(std::string_view address, AutoWhiteKind kind, std::string_view text) {
  std::string path = autoWhitelistLogPath(address, kind);
  bool isNew = !fileExists(path);
  File file = openFileRetrying(path, "ab");
  bool ok = static_cast<bool>(file);
  if (ok && isNew) {
    std::string heading = formatText(languageText(kTextAutoWhitelistLogHeading), {address});
    ok = std::fwrite(heading.data(), 1, heading.size(), file.get()) == heading.size();
  }
  ok = ok && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  ok = (!file || closeFile(file)) && ok;
  if (!ok) {
    reportRuntimeError(path, nullptr);
  }
}

void LoadAutoWhitelistState() {
  LoadAutoWhitelistState(currentUnixTime());
}

void LoadAutoWhitelistState(int64_t now) {
  RecursiveGuard guard(configLock());
  AutoWhitelistState& state = autoWhitelistState();
  state = AutoWhitelistState{};

  state.messageIdsDirty = readStateFile(kMessageIdsFile, [&](RecordReader& reader) {
    MessageIdRecord record;
    if (!reader.text(record.id) || !reader.word(record.lastSeen)) {
      return false;
    }
    if (!record.id.empty()) {
      std::string key = toLowerAscii(record.id);
      record.order = state.nextOrder++;
      state.messageIds.try_emplace(std::move(key), std::move(record));
    }
    return true;
  });
  state.sendersDirty = readStateFile(kSendersFile, [&](RecordReader& reader) {
    SenderRecord record;
    if (!reader.text(record.address) || !reader.word(record.count) ||
        !reader.word(record.lastCounted)) {
      return false;
    }
    if (!record.address.empty()) {
      std::string key = toLowerAscii(record.address);
      record.order = state.nextOrder++;
      state.senders.try_emplace(std::move(key), std::move(record));
    }
    return true;
  });
  state.relaysDirty = readStateFile(kRelaysFile, [&](RecordReader& reader) {
    RelayRecord record;
    if (!reader.octets(record.address) || !reader.word(record.count) ||
        !reader.word(record.lastCounted)) {
      return false;
    }
    record.order = state.nextOrder++;
    state.relays.try_emplace(relayKey(record.address), record);
    return true;
  });

  // Expiry: a time not later than the limit has lived too long.
  int64_t idsLimit = now - kMessageIdLifetimeSeconds;
  int64_t pendingLimit = now - kPendingLifetimeSeconds;
  state.messageIdsDirty |= std::erase_if(state.messageIds, [&](const auto& entry) {
                             return int64_t{entry.second.lastSeen} <= idsLimit;
                           }) > 0;
  state.sendersDirty |= std::erase_if(state.senders, [&](const auto& entry) {
                          if (int64_t{entry.second.lastCounted} > pendingLimit) {
                            return false;
                          }
                          removeLogFile(entry.second.address, AutoWhiteKind::Sender);
                          return true;
                        }) > 0;
  state.relaysDirty |= std::erase_if(state.relays, [&](const auto& entry) {
                         if (int64_t{entry.second.lastCounted} > pendingLimit) {
                           return false;
                         }
                         removeLogFile(ipToString(entry.second.address), AutoWhiteKind::Relay);
                         return true;
                       }) > 0;

  importOlderLayout(state, AutoWhiteKind::Sender);
  importOlderLayout(state, AutoWhiteKind::Relay);
}

bool SaveAutoWhitelistState() {
  RecursiveGuard guard(configLock());
  AutoWhitelistState& state = autoWhitelistState();
  bool ok = true;
  if (state.messageIdsDirty) {
    std::string bytes;
    appendWord(bytes, static_cast<uint32_t>(state.messageIds.size()));
    for (const MessageIdRecord* record : inFileOrder<MessageIdRecord>(state.messageIds)) {
      appendText(bytes, record->id);
      appendWord(bytes, record->lastSeen);
    }
    bool saved = writeStateFile(kMessageIdsFile, bytes);
    state.messageIdsDirty = !saved;
    ok = ok && saved;
  }
  if (state.sendersDirty) {
    std::string bytes;
    appendWord(bytes, static_cast<uint32_t>(state.senders.size()));
    for (const SenderRecord* record : inFileOrder<SenderRecord>(state.senders)) {
      appendText(bytes, record->address);
      appendWord(bytes, record->count);
      appendWord(bytes, record->lastCounted);
    }
    bool saved = writeStateFile(kSendersFile, bytes);
    state.sendersDirty = !saved;
    ok = ok && saved;
  }
  if (state.relaysDirty) {
    std::string bytes;
    appendWord(bytes, static_cast<uint32_t>(state.relays.size()));
    for (const RelayRecord* record : inFileOrder<RelayRecord>(state.relays)) {
      bytes.append(reinterpret_cast<const char*>(record->address.data()), record->address.size());
      appendWord(bytes, record->count);
      appendWord(bytes, record->lastCounted);
    }
    bool saved = writeStateFile(kRelaysFile, bytes);
    state.relaysDirty = !saved;
    ok = ok && saved;
  }
  return ok;
}

} // namespace km
