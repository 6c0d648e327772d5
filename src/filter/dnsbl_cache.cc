#include "filter/dnsbl_cache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/config.h"
#include "config/data_dir.h"
#include "diag/error_report.h"
#include "filter/dnsbl_lock.h"
#include "platform/files.h"
#include "platform/notifier.h"
#include "platform/text.h"

namespace km {

namespace {

enum HalfKind { kPositive = 0, kNegative = 1 };
constexpr std::array<HalfKind, 2> kHalfKinds{kPositive, kNegative};
constexpr std::array<const char*, 2> kCacheFileNames{"dnsbl_cache_pos.dat", "dnsbl_cache_neg.dat"};
constexpr std::array<const char*, 2> kOldFolderNames{"pos", "neg"};
constexpr const char* kOldCacheFolder = "dnsbl_cache";

// A key of 127 bytes or more reads back as corrupt, so no longer key is written.
constexpr size_t kMaxKeyLength = 126;
constexpr int64_t kMaxBucketSpan = 14400;
constexpr size_t kBucketBytes = 12; // the smallest bucket: closesAt and an empty count
constexpr size_t kOldFileBlock = 256;

constexpr const char* kCorruptTitle = "Error from Kestrelmail";
constexpr const char* kCorruptText =
    "The DNSBL cache file seems to be corrupt; any cached DNSBL results will be lost.\n\n"
    "If you see this message often, please report it to the Kestrelmail developers.";

// Addresses are read and written as packed arrays of four bytes.
static_assert(sizeof(Ipv4Address) == 4);

struct Bucket {
  uint32_t closesAt = 0;
  std::vector<Ipv4Address> addresses;
};

uint32_t addressWord(const Ipv4Address& ip) {
  uint32_t word;
  std::memcpy(&word, ip.data(), 4);
  return word;
}

// The buckets of one kind for one list, oldest first, with a count per address of
// the bucket entries that hold it, so that a lookup does not walk the buckets.
class HalfCache {
public:
  const std::vector<Bucket>& buckets() const { return buckets_; }
  bool contains(const Ipv4Address& ip) const { return holders_.contains(addressWord(ip)); }

  void appendBucket(Bucket bucket) {
    for (const Ipv4Address& ip : bucket.addresses) {
      ++holders_[addressWord(ip)];
    }
    buckets_.push_back(std::move(bucket));
  }

  void addToNewest(const Ipv4Address& ip) {
    buckets_.back().addresses.push_back(ip);
    ++holders_[addressWord(ip)];
  }

  void replace(std::vector<Bucket> buckets) {
    clear();
    for (Bucket& bucket : buckets) {
      appendBucket(std::move(bucket));
    }
  }

  void clear() {
    buckets_.clear();
    holders_.clear();
  }

  // Removes the buckets closed at or before the cutoff; true when any went.
  bool removeClosedBy(int64_t cutoff) {
    auto expired = [cutoff](const Bucket& bucket) {
      return bucket.closesAt <= cutoff;
    };
    for (const Bucket& bucket : buckets_) {
      if (expired(bucket)) {
        for (const Ipv4Address& ip : bucket.addresses) {
          auto holder = holders_.find(addressWord(ip));
          if (--holder->second == 0) {
            holders_.erase(holder);
          }
        }
      }
    }
    return std::erase_if(buckets_, expired) > 0;
  }

private:
  std::vector<Bucket> buckets_;
  std::unordered_map<uint32_t, uint32_t> holders_;
};

struct DnsblCacheList {
  std::string key;
  std::array<HalfCache, 2> halves;
};

// The process-wide cache, guarded by the DNSBL lock.
struct CacheTable {
  std::vector<std::unique_ptr<DnsblCacheList>> lists; // in creation order
  std::array<bool, 2> dirty{false, false};
};

CacheTable& table() {
  static CacheTable cache;
  return cache;
}

int64_t unixTimeNow() {
  return static_cast<int64_t>(std::time(nullptr));
}

DnsblCacheList& findOrCreateList(std::string_view key) {
  CacheTable& cache = table();
  for (const std::unique_ptr<DnsblCacheList>& list : cache.lists) {
    if (equalsIgnoreCase(list->key, key)) {
      return *list;
    }
  }
  cache.lists.push_back(std::make_unique<DnsblCacheList>());
  cache.lists.back()->key = std::string(key);
  return *cache.lists.back();
}

int64_t periodSeconds(const CachePeriod& period) {
  return (static_cast<int64_t>(period.a) * 24 + period.b) * 3600;
}

// The configured period of a kind, from the current snapshot (the defaults before
// the first load).
int64_t periodOf(HalfKind kind) {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  const Config defaults;
  const Config& settings = config ? *config : defaults;
  return periodSeconds(kind == kPositive ? settings.dnsblPositivePeriod
                                         : settings.dnsblNegativePeriod);
}

// A tenth of the period, at most four hours, 0 below one second.
int64_t bucketSpan(int64_t period) {
  int64_t span = period / 10;
  return span < 1 ? 0 : std::min(span, kMaxBucketSpan);
}

bool writableKey(std::string_view key) {
  return !key.empty() && key.size() <= kMaxKeyLength && key.find('\0') == std::string_view::npos;
}

void appendWord(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xff));
  }
}

// Empty buckets (left by a damaged file) are not written: the reader takes a file
// with fewer than 12 bytes per bucket for corrupt, so writing them would make the
// program report its own file as damaged at the next start.
std::string formatHalfFile(HalfKind kind) {
  std::string out;
  for (const std::unique_ptr<DnsblCacheList>& list : table().lists) {
    const std::vector<Bucket>& buckets = list->halves[kind].buckets();
    auto filled = [](const Bucket& bucket) {
      return !bucket.addresses.empty();
    };
    auto filledCount = std::count_if(buckets.begin(), buckets.end(), filled);
    if (filledCount == 0 || !writableKey(list->key)) {
      continue;
    }
    out += list->key;
    out.push_back('\0');
    appendWord(out, static_cast<uint32_t>(filledCount));
    for (const Bucket& bucket : buckets) {
      if (!filled(bucket)) {
        continue;
      }
      appendWord(out, bucket.closesAt);
      appendWord(out, static_cast<uint32_t>(bucket.addresses.size()));
      for (const Ipv4Address& ip : bucket.addresses) {
        out.append(reinterpret_cast<const char*>(ip.data()), 4);
      }
    }
  }
  return out;
}

bool saveHalf(HalfKind kind) {
  std::string path = dataPath(kCacheFileNames[kind]);
  std::string bytes = formatHalfFile(kind);
  File file = openFileRetrying(path, "wb");
  bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  if (file && !closeFile(file)) {
    written = false;
  }
  if (!written) {
    reportRuntimeError(path, nullptr);
  }
  return written;
}

// Reading one cache file.
class CacheFileReader {
public:
  CacheFileReader(FILE* file, uint64_t size) : file_(file), size_(size) {}

  bool corrupt() const { return corrupt_; }
  bool readError() const { return std::ferror(file_) != 0; }

  void readInto(HalfKind kind) {
    while (readRecord(kind)) {
    }
  }

private:
  bool readWord(uint32_t& value) {
    unsigned char bytes[4];
    if (std::fread(bytes, 1, 4, file_) != 4) {
      return false;
    }
    value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
  }

  // One record; false when reading ends (end of file, damage or a read error).
  bool readRecord(HalfKind kind) {
    std::string key;
    bool ended = false;
    while (true) {
      int c = std::fgetc(file_);
      if (c == EOF) {
        ended = true;
        break;
      }
      if (c == 0) {
        break;
      }
      key.push_back(static_cast<char>(c));
      if (key.size() == kMaxKeyLength + 1) {
        corrupt_ = true;
        return false;
      }
    }
    if (key.empty() && !ended) {
      corrupt_ = true;
      return false;
    }
    uint32_t bucketCount = 0;
    if (ended || !readWord(bucketCount)) {
      return false;
    }
    HalfCache& half = findOrCreateList(key).halves[kind];
    if (uint64_t{bucketCount} * kBucketBytes > size_) {
      half.clear();
      corrupt_ = true;
      return false;
    }
    std::vector<Bucket> buckets;
    bool complete = true;
    for (uint32_t i = 0; i < bucketCount && complete && !corrupt_; ++i) {
      Bucket bucket;
      if (!readWord(bucket.closesAt)) {
        complete = false;
        break;
      }
      complete = readAddresses(bucket);
      buckets.push_back(std::move(bucket));
    }
    half.replace(std::move(buckets));
    return complete && !corrupt_;
  }

  // The count and the addresses of a bucket. A bucket cut short by the end of the
  // file, or with more addresses than the file could hold, stays empty.
  bool readAddresses(Bucket& bucket) {
    uint32_t count = 0;
    if (!readWord(count)) {
      return false;
    }
    if (uint64_t{count} * 4 > size_) {
      corrupt_ = true;
      return false;
    }
    bucket.addresses.resize(count);
    if (std::fread(bucket.addresses.data(), 4, count, file_) != count) {
      bucket.addresses.clear();
      return false;
    }
    return true;
  }

  FILE* file_;
  uint64_t size_;
  bool corrupt_ = false;
};

void loadHalf(HalfKind kind) {
  std::string path = dataPath(kCacheFileNames[kind]);
  if (!fileExists(path)) {
    return;
  }
  File file = openFileRetrying(path, "rb");
  if (!file) {
    reportRuntimeError(path, nullptr);
    return;
  }
  uint64_t size = 0;
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    long end = std::ftell(file.get());
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
  }
  std::rewind(file.get());
  CacheFileReader reader(file.get(), size);
  reader.readInto(kind);
  if (reader.readError()) {
    reportRuntimeError(path, nullptr);
  }
  file.reset();
  if (reader.corrupt()) {
    showMessage(kCorruptTitle, kCorruptText, NoticeIcon::Stop);
    table().dirty[kind] = true;
    cacheSave();
  }
}

// "KEY.anything.dat": the list key, a dot, any text and the ending ".dat" (any case).
bool isOldCacheFileName(const std::string& name) {
  constexpr std::string_view kEnding = ".dat";
  if (name.size() < kEnding.size() + 1) {
    return false;
  }
  std::string_view stem(name.data(), name.size() - kEnding.size());
  return equalsIgnoreCase(std::string_view(name).substr(stem.size()), kEnding) &&
         stem.find('.') != std::string_view::npos;
}

// A file of the older format: bare addresses, made one bucket that closes as many
// whole days before now as the file is old.
Bucket readOldCacheFile(const std::string& path, int64_t now) {
  Bucket bucket;
  int64_t ageDays = 0;
  if (std::optional<int64_t> written = modificationTime(path)) {
    ageDays = std::max<int64_t>(0, (now - *written / 1000000000LL) / 86400);
  }
  bucket.closesAt = static_cast<uint32_t>(now - ageDays * 86400);
  if (File file = openFileRetrying(path, "rb")) {
    std::array<Ipv4Address, kOldFileBlock> block;
    size_t got;
    while ((got = std::fread(block.data(), 4, block.size(), file.get())) > 0) {
      bucket.addresses.insert(bucket.addresses.end(), block.begin(),
                              block.begin() + static_cast<long>(got));
    }
  }
  return bucket;
}

void convertOldCacheFolder(int64_t now) {
  std::string folder = dataPath(kOldCacheFolder);
  if (!directoryExists(folder)) {
    return;
  }
  for (HalfKind kind : kHalfKinds) {
    std::string subFolder = folder + "/" + kOldFolderNames[kind];
    for (const std::string& name : listDirectory(subFolder, "")) {
      std::string path = subFolder + "/" + name;
      if (!isOldCacheFileName(name) || directoryExists(path)) {
        continue;
      }
      table().dirty[kind] = true;
      std::string key = name.substr(0, name.find('.'));
      Bucket bucket = readOldCacheFile(path, now);
      // A name without a usable key could never be written back; it goes all the same.
      if (writableKey(key)) {
        findOrCreateList(key).halves[kind].appendBucket(std::move(bucket));
      }
      removeFile(path);
    }
    removeDirectory(subFolder);
  }
  removeDirectory(folder);
  cacheSave();
}

} // namespace

CacheAnswer cacheLookup(const Ipv4Address& ip, std::string_view listKey) {
  RecursiveGuard guard(dnsblLock());
  DnsblCacheList& list = findOrCreateList(listKey);
  if (list.halves[kNegative].contains(ip)) {
    return CacheAnswer::NotListed;
  }
  return list.halves[kPositive].contains(ip) ? CacheAnswer::Listed : CacheAnswer::Unknown;
}

void cacheStore(const Ipv4Address& ip, std::string_view listKey, bool positive) {
  cacheStore(ip, listKey, positive, unixTimeNow());
}

void cacheStore(const Ipv4Address& ip, std::string_view listKey, bool positive, int64_t now) {
  RecursiveGuard guard(dnsblLock());
  if (cacheLookup(ip, listKey) != CacheAnswer::Unknown) {
    return;
  }
  HalfKind kind = positive ? kPositive : kNegative;
  HalfCache& half = findOrCreateList(listKey).halves[kind];
  if (half.buckets().empty() || now > int64_t{half.buckets().back().closesAt}) {
    Bucket bucket;
    bucket.closesAt = static_cast<uint32_t>(now + bucketSpan(periodOf(kind)));
    half.appendBucket(std::move(bucket));
  }
  half.addToNewest(ip);
  table().dirty[kind] = true;
}

void cacheExpire() {
  cacheExpire(unixTimeNow());
}

void cacheExpire(int64_t now) {
  RecursiveGuard guard(dnsblLock());
  CacheTable& cache = table();
  for (HalfKind kind : kHalfKinds) {
    int64_t cutoff = now - periodOf(kind);
    for (const std::unique_ptr<DnsblCacheList>& list : cache.lists) {
      if (list->halves[kind].removeClosedBy(cutoff)) {
        cache.dirty[kind] = true;
      }
    }
  }
  cacheSave();
}

bool cacheSave() {
  RecursiveGuard guard(dnsblLock());
  CacheTable& cache = table();
  bool saved = true;
  for (HalfKind kind : kHalfKinds) {
    if (!cache.dirty[kind]) {
      continue;
    }
    if (saveHalf(kind)) {
      cache.dirty[kind] = false;
    } else {
      saved = false;
    }
  }
  return saved;
}

void cacheLoad() {
  cacheLoad(unixTimeNow());
}

void cacheLoad(int64_t now) {
  RecursiveGuard guard(dnsblLock());
  CacheTable& cache = table();
  cache.lists.clear();
  cache.dirty = {false, false};
  for (HalfKind kind : kHalfKinds) {
    loadHalf(kind);
  }
  cache.dirty = {false, false};
  convertOldCacheFolder(now);
  cacheExpire(now);
}

} // namespace km
