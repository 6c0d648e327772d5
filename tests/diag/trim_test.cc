#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "diag/activity_log.h"
#include "support/test_support.h"

namespace km {
namespace {

std::string trimmed(const std::string& text, int64_t limit) {
  test::TempDir dir;
  test::writeFile(dir.file("log"), text);
  int fd = ::open(dir.file("log").c_str(), O_RDWR);
  EXPECT_TRUE(trimLogFile(fd, limit));
  ::close(fd);
  return test::readFile(dir.file("log"));
}

std::string numberedLines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "line " + std::to_string(i) + " of the activity log\r\n";
  }
  return text;
}

void expectTailAtLineStart(const std::string& original, const std::string& kept, int64_t limit) {
  EXPECT_LE(static_cast<int64_t>(kept.size()), limit);
  ASSERT_GE(original.size(), kept.size());
  size_t at = original.size() - kept.size();
  EXPECT_EQ(original.substr(at), kept);
  if (!kept.empty()) {
    EXPECT_EQ(original[at - 1], '\n');
  }
}

TEST(TrimLogFile, KeepsTheLastBytesFromALineStart) {
  std::string original = numberedLines(400); // about 10 KB
  std::string kept = trimmed(original, 1024);
  expectTailAtLineStart(original, kept, 1024);
  EXPECT_GT(kept.size(), 900u);
}

TEST(TrimLogFile, WorksAcrossSeveralChunks) {
  std::string original = numberedLines(5000); // about 150 KB
  std::string kept = trimmed(original, 70000);
  expectTailAtLineStart(original, kept, 70000);
  EXPECT_GT(kept.size(), 69000u);
}

TEST(TrimLogFile, ATailWithoutALineFeedIsCutToNothing) {
  std::string original = "short\n" + std::string(5000, 'x');
  EXPECT_EQ(trimmed(original, 1024), "");
}

TEST(TrimLogFile, AFileWithinTheLimitIsUntouched) {
  std::string original = numberedLines(3);
  EXPECT_EQ(trimmed(original, 1024), original);
  EXPECT_EQ(trimmed(original, static_cast<int64_t>(original.size())), original);
  EXPECT_EQ(trimmed(original, 0), "");
}

} // namespace
} // namespace km
