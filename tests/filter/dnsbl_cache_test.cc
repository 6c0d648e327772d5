#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "config/config.h"
#include "filter/dnsbl_cache.h"
#include "platform/main_loop.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::writeFile;

constexpr int64_t kT = 1700000000; // a Unix time
constexpr int64_t kHour = 3600;
const Ipv4Address kRelay{192, 0, 2, 10};
const Ipv4Address kOther{198, 51, 100, 7};

// The bytes of one cache file record, as written.
struct RecordBytes {
  std::string bytes;
  explicit RecordBytes(const std::string& key, uint32_t bucketCount) {
    bytes = key + std::string(1, '\0');
    word(bucketCount);
  }
  RecordBytes& bucket(uint32_t closesAt, std::initializer_list<Ipv4Address> ips) {
    word(closesAt);
    word(static_cast<uint32_t>(ips.size()));
    for (const Ipv4Address& ip : ips) {
      bytes.append(reinterpret_cast<const char*>(ip.data()), 4);
    }
    return *this;
  }
  void word(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<char>(value >> shift));
    }
  }
};

class DnsblCacheTest : public ::testing::Test {
protected:
  void SetUp() override { cacheLoad(kT); } // an empty cache
  void TearDown() override { closeMainLoop(); }

  void setPeriods(const std::string& positive, const std::string& negative) {
    writeFile(file("config.dat"), "DNSBL_POSITIVE_CACHE_PERIOD " + positive +
                                      "\nDNSBL_NEGATIVE_CACHE_PERIOD " + negative + "\n");
    ASSERT_TRUE(loadConfigFile());
  }
  std::string file(const std::string& name) const { return data_.file(name); }
  std::string positiveFile() const { return readFile(file("dnsbl_cache_pos.dat")); }
  std::string negativeFile() const { return readFile(file("dnsbl_cache_neg.dat")); }
  std::vector<Notice> notices() { return notifier_.notifier().notices(); }

  test::DataDirScope data_;
  test::NotifierScope notifier_;
};

TEST_F(DnsblCacheTest, RemembersTheFirstAnswerPerListAndAddress) {
  EXPECT_EQ(cacheLookup(kRelay, "SPAMCOP"), CacheAnswer::Unknown);
  cacheStore(kRelay, "SPAMCOP", true, kT);
  EXPECT_EQ(cacheLookup(kRelay, "spamcop"), CacheAnswer::Listed);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::Unknown);
  EXPECT_EQ(cacheLookup(kOther, "SPAMCOP"), CacheAnswer::Unknown);

  // A known address keeps its first answer until it expires.
  cacheStore(kRelay, "SBL", false, kT);
  cacheStore(kRelay, "SBL", true, kT + 10);
  cacheStore(kRelay, "SpamCop", false, kT + 10);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::NotListed);
  EXPECT_EQ(cacheLookup(kRelay, "SPAMCOP"), CacheAnswer::Listed);
}

TEST_F(DnsblCacheTest, BucketsCoverATenthOfThePeriodAtMostFourHours) {
  setPeriods("2,0", "0,5"); // spans: 4 h (capped) and 30 min
  cacheStore(kRelay, "SBL", true, kT);
  cacheStore(kOther, "SBL", true, kT + 4 * kHour); // still the first bucket
  cacheStore(Ipv4Address{203, 0, 113, 1}, "SBL", true, kT + 4 * kHour + 1);
  cacheStore(kRelay, "XBL", false, kT);
  cacheStore(kOther, "XBL", false, kT + 1800 + 1);
  ASSERT_TRUE(cacheSave());
  EXPECT_EQ(positiveFile(), RecordBytes("SBL", 2)
                                .bucket(kT + 4 * kHour, {kRelay, kOther})
                                .bucket(kT + 8 * kHour + 1, {{203, 0, 113, 1}})
                                .bytes);
  EXPECT_EQ(negativeFile(),
            RecordBytes("XBL", 2).bucket(kT + 1800, {kRelay}).bucket(kT + 3601, {kOther}).bytes);

  // Listed at t: still served at t + 48 h, gone after the expiry at t + 52 h.
  cacheExpire(kT + 48 * kHour);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::Listed);
  cacheExpire(kT + 52 * kHour);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::Unknown);
  EXPECT_EQ(cacheLookup(kOther, "SBL"), CacheAnswer::Unknown);
  EXPECT_EQ(cacheLookup(Ipv4Address{203, 0, 113, 1}, "SBL"), CacheAnswer::Listed);
  EXPECT_EQ(cacheLookup(kRelay, "XBL"), CacheAnswer::Unknown);
  // Expiry saved the changes.
  EXPECT_EQ(positiveFile(),
            RecordBytes("SBL", 1).bucket(kT + 8 * kHour + 1, {{203, 0, 113, 1}}).bytes);
  EXPECT_EQ(negativeFile(), "");
}

TEST_F(DnsblCacheTest, AZeroPeriodKeepsAnswersOnlyUntilTheNextExpiry) {
  setPeriods("0,0", "3,0");
  cacheStore(kRelay, "SBL", true, kT);
  cacheStore(kOther, "SBL", true, kT + 1);
  ASSERT_TRUE(cacheSave());
  EXPECT_EQ(positiveFile(),
            RecordBytes("SBL", 2).bucket(kT, {kRelay}).bucket(kT + 1, {kOther}).bytes);
  EXPECT_EQ(cacheLookup(kOther, "SBL"), CacheAnswer::Listed);
  cacheExpire(kT + 1);
  EXPECT_EQ(cacheLookup(kOther, "SBL"), CacheAnswer::Unknown);
}

TEST_F(DnsblCacheTest, SavesOnlyChangedHalvesAndSurvivesARestart) {
  cacheStore(kRelay, "SBL", true, kT);
  cacheStore(kOther, "SBL", false, kT);
  cacheStore(kRelay, "SPAMCOP", false, kT);
  ASSERT_TRUE(cacheSave());
  std::string positive = positiveFile();
  std::string negative = negativeFile();
  EXPECT_EQ(negative, RecordBytes("SBL", 1).bucket(kT + 14400, {kOther}).bytes +
                          RecordBytes("SPAMCOP", 1).bucket(kT + 14400, {kRelay}).bytes);

  // Nothing changed: nothing is written.
  std::filesystem::remove(file("dnsbl_cache_neg.dat"));
  ASSERT_TRUE(cacheSave());
  EXPECT_FALSE(std::filesystem::exists(file("dnsbl_cache_neg.dat")));
  writeFile(file("dnsbl_cache_neg.dat"), negative);

  cacheLoad(kT + 60);
  EXPECT_EQ(cacheLookup(kRelay, "sbl"), CacheAnswer::Listed);
  EXPECT_EQ(cacheLookup(kOther, "SBL"), CacheAnswer::NotListed);
  EXPECT_EQ(cacheLookup(kRelay, "SPAMCOP"), CacheAnswer::NotListed);
  EXPECT_EQ(cacheLookup(kOther, "SPAMCOP"), CacheAnswer::Unknown);
  EXPECT_EQ(positiveFile(), positive);
  EXPECT_TRUE(notices().empty());

  // A file that cannot be written is tried again at the next save.
  std::filesystem::remove(file("dnsbl_cache_pos.dat"));
  std::filesystem::create_directory(file("dnsbl_cache_pos.dat"));
  cacheStore(kOther, "XBL", true, kT);
  EXPECT_FALSE(cacheSave());
  ASSERT_EQ(notices().size(), 1u);
  std::filesystem::remove(file("dnsbl_cache_pos.dat"));
  EXPECT_TRUE(cacheSave());
  EXPECT_EQ(positiveFile().size(),
            positive.size() + RecordBytes("XBL", 1).bucket(0, {kOther}).bytes.size());
}

TEST_F(DnsblCacheTest, CorruptFilesKeepTheirGoodRecordsAndAreRewritten) {
  auto loadPositive = [&](const std::string& bytes) {
    writeFile(file("dnsbl_cache_pos.dat"), bytes);
    size_t before = notices().size();
    cacheLoad(kT);
    return notices().size() - before;
  };
  auto expectCorruptNotice = [&] {
    ASSERT_FALSE(notices().empty());
    EXPECT_EQ(notices().back().title, "Error from Kestrelmail");
    EXPECT_TRUE(notices().back().text.starts_with(
        "The DNSBL cache file seems to be corrupt; any cached DNSBL results will be lost.\n\n"));
    EXPECT_EQ(notices().back().icon, NoticeIcon::Stop);
  };
  std::string good = RecordBytes("SBL", 1).bucket(kT + 100, {kRelay}).bytes;

  // A first key without its 0 byte within 127 bytes.
  EXPECT_EQ(loadPositive(RecordBytes(std::string(127, 'K'), 1).bucket(kT + 100, {kRelay}).bytes),
            1u);
  expectCorruptNotice();
  EXPECT_EQ(positiveFile(), "");

  // An empty key after a good record.
  EXPECT_EQ(loadPositive(good + std::string(1, '\0') + "rest"), 1u);
  expectCorruptNotice();
  EXPECT_EQ(positiveFile(), good);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::Listed);

  // More buckets than the file could hold: that key's half is emptied.
  std::string tooManyBuckets = good + RecordBytes("XBL", 1000).bucket(kT + 100, {kOther}).bytes;
  EXPECT_EQ(loadPositive(tooManyBuckets), 1u);
  EXPECT_EQ(positiveFile(), good);
  EXPECT_EQ(cacheLookup(kOther, "XBL"), CacheAnswer::Unknown);

  // More addresses than the file could hold: that bucket stays, empty, and reading stops.
  RecordBytes damaged("XBL", 2);
  damaged.bucket(kT + 100, {kOther});
  damaged.word(kT + 200);
  damaged.word(5000);
  EXPECT_EQ(loadPositive(damaged.bytes + good), 1u);
  EXPECT_EQ(cacheLookup(kOther, "XBL"), CacheAnswer::Listed);
  EXPECT_EQ(cacheLookup(kRelay, "SBL"), CacheAnswer::Unknown);
  // The empty bucket is not written back, so the rewritten file reads cleanly.
  std::string rewritten = RecordBytes("XBL", 1).bucket(kT + 100, {kOther}).bytes;
  EXPECT_EQ(positiveFile(), rewritten);
  EXPECT_EQ(loadPositive(rewritten), 0u);
  EXPECT_EQ(cacheLookup(kOther, "XBL"), CacheAnswer::Listed);
}

// A file cut anywhere loads without harm and never yields an answer that was not in
// it; only cuts that make a count claim more than the rest of the file are corrupt.
TEST_F(DnsblCacheTest, AFileCutAnywhereLoadsWhatItStillHolds) {
  std::string whole = RecordBytes("SBL", 2)
                          .bucket(kT + 100, {kRelay, kOther})
                          .bucket(kT + 200, {{203, 0, 113, 9}})
                          .bytes +
                      RecordBytes("SPAMCOP", 1).bucket(kT + 300, {kOther}).bytes;
  const std::vector<std::pair<Ipv4Address, std::string>> entries = {
      {kRelay, "SBL"}, {kOther, "SBL"}, {{203, 0, 113, 9}, "SBL"}, {kOther, "SPAMCOP"}};
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    writeFile(file("dnsbl_cache_neg.dat"), whole.substr(0, cut));
    cacheLoad(kT);
    for (const auto& [ip, key] : entries) {
      EXPECT_NE(cacheLookup(ip, key), CacheAnswer::Listed) << cut;
    }
    EXPECT_EQ(cacheLookup(kRelay, "SPAMCOP"), CacheAnswer::Unknown) << cut;
  }
  for (const auto& [ip, key] : entries) {
    EXPECT_EQ(cacheLookup(ip, key), CacheAnswer::NotListed);
  }
  // Random bytes.
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string noise(random() % 300, '\0');
    for (char& c : noise) {
      c = static_cast<char>(random() % 4 == 0 ? 0 : random());
    }
    writeFile(file("dnsbl_cache_pos.dat"), noise);
    cacheLoad(kT);
    cacheLookup(kRelay, "SBL");
  }
}

TEST_F(DnsblCacheTest, ConvertsTheOlderFolderFormat) {
  namespace fs = std::filesystem;
  fs::create_directories(file("dnsbl_cache/neg"));
  fs::create_directories(file("dnsbl_cache/pos"));
  std::string eightBytes("\xc0\x00\x02\x0a\xc6\x33\x64\x07", 8);
  writeFile(file("dnsbl_cache/neg/ABC.1.dat"), eightBytes);
  writeFile(file("dnsbl_cache/pos/SBL.x.y.DAT"), eightBytes + "\x01\x02");
  writeFile(file("dnsbl_cache/pos/OLD.stale.dat"), eightBytes);
  auto daysOld = [&](const std::string& name, int days) {
    fs::last_write_time(file(name), fs::file_time_type::clock::now() -
                                        std::chrono::hours(24 * days) - std::chrono::minutes(5));
  };
  daysOld("dnsbl_cache/pos/SBL.x.y.DAT", 1);
  daysOld("dnsbl_cache/pos/OLD.stale.dat", 3); // older than the positive period

  int64_t now = static_cast<int64_t>(std::time(nullptr));
  cacheLoad(now);
  EXPECT_FALSE(fs::exists(file("dnsbl_cache")));
  EXPECT_EQ(cacheLookup(kRelay, "abc"), CacheAnswer::NotListed);
  EXPECT_EQ(cacheLookup(kOther, "ABC"), CacheAnswer::NotListed);
  EXPECT_EQ(cacheLookup(kOther, "SBL"), CacheAnswer::Listed);
  EXPECT_EQ(cacheLookup(kOther, "OLD"), CacheAnswer::Unknown);

  // The new files: the bucket closes as many whole days before now as the file was old.
  std::string negative = negativeFile();
  ASSERT_EQ(negative.size(), 4 + 4 + 8 + 8u);
  uint32_t closesAt;
  std::memcpy(&closesAt, negative.data() + 8, 4);
  EXPECT_NEAR(static_cast<double>(closesAt), static_cast<double>(now), 2.0);
  EXPECT_EQ(negative.substr(0, 8), std::string("ABC\0\x01\0\0\0", 8));
  EXPECT_EQ(negative.substr(12), std::string("\x02\0\0\0", 4) + eightBytes);
  std::string positive = positiveFile();
  ASSERT_EQ(positive.size(), 4 + 4 + 8 + 8u);
  std::memcpy(&closesAt, positive.data() + 8, 4);
  EXPECT_NEAR(static_cast<double>(closesAt), static_cast<double>(now - 86400), 2.0);

  // Files of another shape are left, and so are their folders.
  fs::create_directories(file("dnsbl_cache/pos"));
  writeFile(file("dnsbl_cache/pos/notes.dat"), eightBytes);
  cacheLoad(now);
  EXPECT_TRUE(fs::exists(file("dnsbl_cache/pos/notes.dat")));
  EXPECT_EQ(cacheLookup(kOther, "notes"), CacheAnswer::Unknown);
}

TEST_F(DnsblCacheTest, ThreadsStoreAndLookUpTogether) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        Ipv4Address ip{10, static_cast<uint8_t>(t), static_cast<uint8_t>(i / 256),
                       static_cast<uint8_t>(i % 256)};
        cacheStore(ip, t % 2 ? "ODD" : "EVEN", i % 3 == 0, kT + i);
        cacheLookup(ip, "EVEN");
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  int listed = 0;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 500; ++i) {
      Ipv4Address ip{10, static_cast<uint8_t>(t), static_cast<uint8_t>(i / 256),
                     static_cast<uint8_t>(i % 256)};
      CacheAnswer answer = cacheLookup(ip, t % 2 ? "odd" : "even");
      EXPECT_EQ(answer, i % 3 == 0 ? CacheAnswer::Listed : CacheAnswer::NotListed);
      listed += answer == CacheAnswer::Listed;
    }
  }
  EXPECT_EQ(listed, 4 * 167);
}

} // namespace
} // namespace km
