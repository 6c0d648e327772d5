// The IMAP4 state files: UIDs filtered per mailbox, header digests per account.
#include "imap4/mailbox_state.h"

#include <cstdio>
#include <ctime>
#include <unordered_map>

#include "config/config.h"
#include "config/data_dir.h"
#include "diag/error_report.h"
#include "message/message.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace km {

namespace {

constexpr size_t kDigestRecordSize = 20;
constexpr size_t kLongestPruneTimeLine = 127;

int64_t now() {
  return static_cast<int64_t>(std::time(nullptr));
}

bool isPlainNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '@';
}

std::string cutToPathLimit(const std::string& folder, std::string name) {
  if (folder.size() + name.size() > kLongestStatePath) {
    name.resize(folder.size() < kLongestStatePath ? kLongestStatePath - folder.size() : 0);
  }
  return folder + name;
}

// The part of a line before its first control byte from 1 to 31.
std::string_view beforeControlByte(std::string_view line) {
  size_t end = 0;
  while (end < line.size()) {
    auto byte = static_cast<unsigned char>(line[end]);
    if (byte >= 1 && byte <= 31) {
      break;
    }
    ++end;
  }
  return line.substr(0, end);
}

// Reads one line of any length with its line end; nothing at the end of the file.
std::optional<std::string> readFileLine(FILE* file, size_t limit = SIZE_MAX) {
  std::string line;
  int c = 0;
  while (line.size() < limit && (c = std::fgetc(file)) != EOF) {
    line.push_back(static_cast<char>(c));
    if (c == '\n') {
      break;
    }
  }
  if (line.empty()) {
    return std::nullopt;
  }
  return line;
}

std::string digestKey(const Md5Digest& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

bool isFresh(uint32_t lastSeen, int64_t at) {
  return static_cast<int64_t>(lastSeen) <= at &&
         at - static_cast<int64_t>(lastSeen) < kHeaderDigestLifetimeSec;
}

// The unexpired records of a digest file; a missing file holds none.
std::vector<HeaderDigest> readDigestFile(const std::string& path, SessionLog* log) {
  std::vector<HeaderDigest> records;
  if (!fileExists(path)) {
    return records;
  }
  File file = openFileRetrying(path, "rb");
  if (!file) {
    reportRuntimeError(path, log);
    return records;
  }
  int64_t at = now();
  uint8_t record[kDigestRecordSize];
  while (std::fread(record, 1, kDigestRecordSize, file.get()) == kDigestRecordSize) {
    HeaderDigest digest;
    std::copy(record, record + 16, digest.digest.begin());
    digest.lastSeen = static_cast<uint32_t>(record[16]) | static_cast<uint32_t>(record[17]) << 8 |
                      static_cast<uint32_t>(record[18]) << 16 |
                      static_cast<uint32_t>(record[19]) << 24;
    if (isFresh(digest.lastSeen, at)) {
      records.push_back(digest);
    }
  }
  if (std::ferror(file.get())) {
    reportRuntimeError(path, log);
  }
  return records;
}

HeaderDigest* findDigest(Imap4Account& account, const Md5Digest& digest) {
  for (HeaderDigest& record : account.digests) {
    if (record.digest == digest) {
      return &record;
    }
  }
  return nullptr;
}

} // namespace

void UidList::add(std::string_view uid) {
  items_.emplace_back(uid);
  members_.emplace(uid);
}

bool UidList::contains(std::string_view uid) const {
  return members_.find(std::string(uid)) != members_.end();
}

void UidList::clear() {
  items_.clear();
  members_.clear();
}

std::string UidList::joined(char separator) const {
  std::string text;
  for (const std::string& uid : items_) {
    if (!text.empty()) {
      text.push_back(separator);
    }
    text += uid;
  }
  return text;
}

std::string stateFileName(std::string_view madeName) {
  std::string name(madeName);
  for (char& c : name) {
    if (!isPlainNameByte(c)) {
      int remainder = static_cast<signed char>(c) % 26;
      c = static_cast<char>('A' + remainder);
      if (c == '/') {
        c = '_'; // a folder separator would send the file elsewhere
      }
    }
  }
  return name;
}

std::string stateDirectory() {
  return dataPath("imap4_state") + "/";
}

std::string headerDigestPath(const Imap4Account& account) {
  return cutToPathLimit(stateDirectory(), stateFileName(account.userName + "@" +
                                                        account.serverName + "-headers.dat"));
}

std::string uidFilePath(const Imap4Account& account, std::string_view mailbox) {
  return cutToPathLimit(stateDirectory(),
                        stateFileName(account.userName + "@" + account.serverName + "-" +
                                      std::string(mailbox) + "-uids.dat"));
}

MailboxState& findMailbox(Imap4Account& account, std::string_view name) {
  for (auto& mailbox : account.mailboxes) {
    if (equalsIgnoreCase(mailbox->name, name)) {
      loadUidFile(account, *mailbox);
      return *mailbox;
    }
  }
  auto mailbox = std::make_unique<MailboxState>();
  mailbox->name = std::string(name);
  mailbox->lastPruneTime = now();
  account.mailboxes.push_back(std::move(mailbox));
  loadUidFile(account, *account.mailboxes.back());
  return *account.mailboxes.back();
}

void loadUidFile(Imap4Account& account, MailboxState& mailbox) {
  if (mailbox.filteredUids.size() > mailbox.savedUidCount) {
    return; // what this session filtered must reach the file first
  }
  std::string path = uidFilePath(account, mailbox.name);
  RecursiveGuard guard(configLock());
  mailbox.filteredUids.clear();
  mailbox.savedUidCount = 0;
  if (!fileExists(path)) {
    mailbox.lastPruneTime = now();
    return;
  }
  File file = openFileRetrying(path, "rb");
  if (!file) {
    reportRuntimeError(path, account.log);
    mailbox.lastPruneTime = now();
    return;
  }
  if (std::optional<std::string> first = readFileLine(file.get(), kLongestPruneTimeLine)) {
    mailbox.lastPruneTime = readLong(*first);
  }
  while (std::optional<std::string> line = readFileLine(file.get())) {
    std::string_view uid = beforeControlByte(*line);
    if (!uid.empty()) {
      mailbox.filteredUids.add(uid);
    }
  }
  if (std::ferror(file.get())) {
    reportRuntimeError(path, account.log);
  }
  mailbox.savedUidCount = mailbox.filteredUids.size();
}

void saveUidFile(Imap4Account& account, MailboxState& mailbox) {
  if (mailbox.filteredUids.size() <= mailbox.savedUidCount) {
    return;
  }
  std::string path = uidFilePath(account, mailbox.name);
  RecursiveGuard guard(configLock());
  bool isNew = !fileExists(path);
  File file = openFileRetrying(path, "ab");
  if (!file) {
    reportRuntimeError(path, account.log);
    return;
  }
  std::string text;
  if (isNew) {
    text = std::to_string(mailbox.lastPruneTime) + "\n";
  }
  const auto& uids = mailbox.filteredUids.items();
  for (size_t i = mailbox.savedUidCount; i < uids.size(); ++i) {
    text += uids[i];
    text += '\n';
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  if (!closeFile(file) || !written) {
    reportRuntimeError(path, account.log);
  }
  // A failed write is not tried again: the state in memory goes on.
  mailbox.savedUidCount = uids.size();
}

bool rewriteUidFile(Imap4Account& account, MailboxState& mailbox) {
  std::string path = uidFilePath(account, mailbox.name);
  RecursiveGuard guard(configLock());
  if (fileExists(path) && !removeFile(path)) {
    reportSystemError(path, account.log);
    return false;
  }
  mailbox.savedUidCount = 0;
  saveUidFile(account, mailbox);
  return true;
}

size_t loadHeaderDigests(const std::string& path, Imap4Account& account) {
  RecursiveGuard guard(configLock());
  account.digests = readDigestFile(path, account.log);
  return account.digests.size();
}

void saveHeaderDigests(Imap4Account& account) {
  bool any = false;
  for (const HeaderDigest& record : account.digests) {
    any = any || record.seenThisRun;
  }
  if (!any) {
    return;
  }
  std::string path = headerDigestPath(account);
  RecursiveGuard guard(configLock());
  std::vector<HeaderDigest> merged = readDigestFile(path, account.log);
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < merged.size(); ++i) {
    index.emplace(digestKey(merged[i].digest), i);
  }
  for (const HeaderDigest& record : account.digests) {
    if (!record.seenThisRun) {
      continue;
    }
    auto found = index.find(digestKey(record.digest));
    if (found == index.end()) {
      index.emplace(digestKey(record.digest), merged.size());
      merged.push_back(record);
    } else {
      HeaderDigest& kept = merged[found->second];
      kept.lastSeen = std::max(kept.lastSeen, record.lastSeen);
    }
  }
  std::string bytes;
  bytes.reserve(merged.size() * kDigestRecordSize);
  for (HeaderDigest& record : merged) {
    record.seenThisRun = false;
    record.isNew = false;
    bytes.append(reinterpret_cast<const char*>(record.digest.data()), record.digest.size());
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<char>((record.lastSeen >> shift) & 0xff));
    }
  }
  File file = openFileRetrying(path, "wb");
  if (!file) {
    reportRuntimeError(path, account.log);
    return;
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  if (!closeFile(file) || !written) {
    reportRuntimeError(path, account.log);
  }
  account.digests = std::move(merged);
}

Md5Digest headerDigest(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
  }
  return md5(text);
}

bool headerSeenBefore(Imap4Account& account, const std::vector<std::string>& lines) {
  HeaderDigest* record = findDigest(account, headerDigest(lines));
  if (record == nullptr) {
    return false;
  }
  record->lastSeen = static_cast<uint32_t>(now());
  record->seenThisRun = true;
  return true;
}

void rememberHeaders(Imap4Account& account, const Message& message) {
  auto remember = [&](const Md5Digest& digest) {
    if (HeaderDigest* record = findDigest(account, digest)) {
      record->lastSeen = static_cast<uint32_t>(now());
      record->seenThisRun = true;
      return;
    }
    account.digests.push_back({digest, static_cast<uint32_t>(now()), true, true});
  };
  Md5Digest working = headerDigest(message.headerLines);
  Md5Digest original = headerDigest(message.pristineHeaderLines);
  remember(working);
  if (original != working) {
    remember(original);
  }
}

} // namespace km
