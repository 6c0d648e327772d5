// The token file: its format, and reading and writing it safely while another
// process (the trainer, a second configuration of the proxy) may do the same.
//
// Format, all integers little-endian:
//   "KMBAYES\x01"                      8 bytes
//   format version (1)                 32 bits
//   spam messages, ham messages        32 bits each
//   token count N, learned count M     32 bits each
//   N x { token hash 64, spam 32, ham 32 }, sorted by hash
//   M x { message fingerprint 64, category 32 (1 spam, 2 ham) }, sorted
//   FNV-1a 64 of all the bytes before   64 bits
// A file of any other length, magic, version or checksum is corrupt.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "bayes.h"

namespace bayes {

namespace {

constexpr char kMagic[8] = {'K', 'M', 'B', 'A', 'Y', 'E', 'S', 1};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderBytes = 28;
constexpr size_t kTokenBytes = 16;
constexpr size_t kLearnedBytes = 12;
constexpr size_t kChecksumBytes = 8;
// Far above what kMaxTokens tokens and the learned fingerprints take.
constexpr uint64_t kMaxFileBytes = 1ull << 30;

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>(v >> (8 * i)));
  }
}
void put64(std::string& out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}
uint32_t get32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(p[i]);
  }
  return v;
}
uint64_t get64(const char* p) {
  return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

uint64_t checksum(std::string_view bytes) {
  return tokenHash(bytes);
}

// Holds the folder's lock file locked (shared or exclusive) for its lifetime.
class FolderLock {
public:
  FolderLock(const std::string& folder, bool exclusive) {
    fd_ = ::open((folder + "tokens.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) {
      ::close(fd_); // releases the lock
    }
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

private:
  int fd_ = -1;
};

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

std::string encodeTokenTable(const TokenTable& table) {
  std::vector<std::pair<uint64_t, TokenCounts>> tokens(table.tokens.begin(), table.tokens.end());
  std::sort(tokens.begin(), tokens.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<uint64_t, Category>> learned(table.learned.begin(), table.learned.end());
  std::sort(learned.begin(), learned.end());
  std::string out;
  out.reserve(kHeaderBytes + tokens.size() * kTokenBytes + learned.size() * kLearnedBytes +
              kChecksumBytes);
  out.append(kMagic, sizeof kMagic);
  put32(out, kFormatVersion);
  put32(out, table.spamMessages);
  put32(out, table.hamMessages);
  put32(out, static_cast<uint32_t>(tokens.size()));
  put32(out, static_cast<uint32_t>(learned.size()));
  for (const auto& [hash, counts] : tokens) {
    put64(out, hash);
    put32(out, counts.spam);
    put32(out, counts.ham);
  }
  for (const auto& [fingerprint, category] : learned) {
    put64(out, fingerprint);
    put32(out, static_cast<uint32_t>(category));
  }
  put64(out, checksum(out));
  return out;
}

bool decodeTokenTable(std::string_view bytes, TokenTable& table) {
  if (bytes.size() < kHeaderBytes + kChecksumBytes ||
      std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
      get32(bytes.data() + 8) != kFormatVersion) {
    return false;
  }
  uint64_t tokenCount = get32(bytes.data() + 20);
  uint64_t learnedCount = get32(bytes.data() + 24);
  if (kHeaderBytes + tokenCount * kTokenBytes + learnedCount * kLearnedBytes + kChecksumBytes !=
      bytes.size()) {
    return false;
  }
  size_t body = bytes.size() - kChecksumBytes;
  if (checksum(bytes.substr(0, body)) != get64(bytes.data() + body)) {
    return false;
  }
  TokenTable read;
  read.spamMessages = get32(bytes.data() + 12);
  read.hamMessages = get32(bytes.data() + 16);
  read.tokens.reserve(tokenCount);
  const char* p = bytes.data() + kHeaderBytes;
  for (uint64_t i = 0; i < tokenCount; ++i, p += kTokenBytes) {
    read.tokens[get64(p)] = TokenCounts{get32(p + 8), get32(p + 12)};
  }
  read.learned.reserve(learnedCount);
  for (uint64_t i = 0; i < learnedCount; ++i, p += kLearnedBytes) {
    uint32_t category = get32(p + 8);
    if (category != static_cast<uint32_t>(Category::Spam) &&
        category != static_cast<uint32_t>(Category::Ham)) {
      return false;
    }
    read.learned[get64(p)] = static_cast<Category>(category);
  }
  table = std::move(read);
  return true;
}

TokenStore::TokenStore(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != '/') {
    folder_ += '/';
  }
  FolderLock fileLock(folder_, true);
  switch (readFile(table_, stamp_)) {
  case FileState::Missing:
  case FileState::Intact:
    break;
  case FileState::Unreadable:
    notice_ = "The token file " + folder_ + kTokenFileName + " could not be read (" +
              std::strerror(errno) + "); learning starts afresh.";
    break;
  case FileState::Corrupt: {
    std::string path = folder_ + kTokenFileName;
    std::string aside = folder_ + kCorruptTokenFileName;
    bool kept = ::rename(path.c_str(), aside.c_str()) == 0;
    notice_ = "The token file " + path + " was damaged" +
              (kept ? "; it was kept as " + aside : std::string()) + " and learning starts afresh.";
    stamp_ = currentStamp();
    break;
  }
  }
}

std::string TokenStore::notice() const {
  std::shared_lock guard(lock_);
  return notice_;
}

std::string TokenStore::takeNotice() {
  std::unique_lock guard(lock_);
  return std::exchange(notice_, std::string());
}

double TokenStore::score(const TokenSet& tokens, const Parameters& p) const {
  std::shared_lock guard(lock_);
  return spamProbability(table_, tokens, p);
}

uint32_t TokenStore::messages(Category category) const {
  std::shared_lock guard(lock_);
  return category == Category::Spam ? table_.spamMessages : table_.hamMessages;
}

size_t TokenStore::tokenCount() const {
  std::shared_lock guard(lock_);
  return table_.tokens.size();
}

bool TokenStore::dirty() const {
  std::shared_lock guard(lock_);
  return !pending_.empty();
}

LearnOutcome TokenStore::learn(uint64_t fingerprint, const TokenSet& tokens, Category category) {
  std::unique_lock guard(lock_);
  auto known = table_.learned.find(fingerprint);
  if (known != table_.learned.end() && known->second == category) {
    return LearnOutcome::AlreadyKnown;
  }
  auto record = [&](Category c, int64_t direction) {
    (c == Category::Spam ? pending_.spamMessages : pending_.hamMessages) += direction;
    for (uint64_t token : tokens) {
      auto& delta = pending_.counts[token];
      (c == Category::Spam ? delta.first : delta.second) += direction;
    }
  };
  if (known != table_.learned.end()) {
    record(known->second, -1);
  }
  record(category, +1);
  pending_.learned[fingerprint] = category;
  return bayes::learn(table_, fingerprint, tokens, category);
}

TokenStore::FileStamp TokenStore::currentStamp() const {
  struct stat info {};
  if (::stat((folder_ + kTokenFileName).c_str(), &info) != 0) {
    return {};
  }
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
          static_cast<uint64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec, true};
}

TokenStore::FileState TokenStore::readFile(TokenTable& table, FileStamp& stamp) const {
  int fd = ::open((folder_ + kTokenFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    stamp = {};
    return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
  }
  struct stat info {};
  std::string bytes;
  bool ok = ::fstat(fd, &info) == 0;
  if (ok) {
    stamp = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
             static_cast<uint64_t>(info.st_size),
             static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
             true};
    if (static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
      ::close(fd);
      return FileState::Corrupt; // no token file of ours grows this large
    }
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        ok = n == 0 ? (bytes.resize(done), true) : false;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  if (!ok) {
    return FileState::Unreadable;
  }
  return decodeTokenTable(bytes, table) ? FileState::Intact : FileState::Corrupt;
}

void TokenStore::applyPending(TokenTable& table) const {
  auto adjust = [](uint32_t value, int64_t delta) {
    int64_t result = static_cast<int64_t>(value) + delta;
    return static_cast<uint32_t>(std::clamp<int64_t>(result, 0, UINT32_MAX));
  };
  table.spamMessages = adjust(table.spamMessages, pending_.spamMessages);
  table.hamMessages = adjust(table.hamMessages, pending_.hamMessages);
  for (const auto& [token, delta] : pending_.counts) {
    TokenCounts& counts = table.tokens[token];
    counts.spam = adjust(counts.spam, delta.first);
    counts.ham = adjust(counts.ham, delta.second);
    if (counts.spam == 0 && counts.ham == 0) {
      table.tokens.erase(token);
    }
  }
  for (const auto& [fingerprint, category] : pending_.learned) {
    table.learned[fingerprint] = category;
  }
}

bool TokenStore::writeFile(const TokenTable& table) {
  std::string path = folder_ + kTokenFileName;
  std::string fresh = path + ".new";
  std::string bytes = encodeTokenTable(table);
  int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    notice_ = "The token file " + fresh + " could not be created (" + std::strerror(errno) + ").";
    return false;
  }
  // The data reaches the disk before the rename makes it the token file, so a
  // crash leaves either the old file or the new one, never a mixture.
  bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
  int savedErrno = errno;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(fresh.c_str(), path.c_str()) != 0) {
    notice_ = "The token file " + path + " could not be written (" +
              std::strerror(ok ? errno : savedErrno) + ").";
    ::unlink(fresh.c_str());
    return false;
  }
  int directory = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

bool TokenStore::save() {
  std::unique_lock guard(lock_);
  if (pending_.empty()) {
    return true;
  }
  FolderLock fileLock(folder_, true);
  if (currentStamp() != stamp_) {
    // Someone else wrote the file since it was read: start from theirs.
    TokenTable theirs;
    FileStamp stamp;
    if (readFile(theirs, stamp) == FileState::Intact) {
      applyPending(theirs);
      table_ = std::move(theirs);
    }
  }
  if (table_.tokens.size() > kMaxTokens) {
    std::erase_if(table_.tokens,
                  [](const auto& entry) { return entry.second.spam + entry.second.ham <= 1; });
  }
  if (!writeFile(table_)) {
    return false;
  }
  stamp_ = currentStamp();
  pending_ = Pending{};
  return true;
}

void TokenStore::refreshIfChanged() {
  {
    std::shared_lock guard(lock_);
    if (currentStamp() == stamp_) {
      return;
    }
  }
  std::unique_lock guard(lock_);
  FolderLock fileLock(folder_, false);
  TokenTable theirs;
  FileStamp stamp;
  FileState state = readFile(theirs, stamp);
  if (state == FileState::Intact || state == FileState::Missing) {
    applyPending(theirs);
    table_ = std::move(theirs);
    stamp_ = stamp;
  }
}

} // namespace bayes
