#include <gtest/gtest.h>

#include "config/config_lines.h"
#include "support/test_support.h"

namespace km {
namespace {

std::vector<std::string> readAll(const std::string& text) {
  test::TempDir dir;
  test::writeFile(dir.file("f"), text);
  FILE* file = std::fopen(dir.file("f").c_str(), "r");
  std::vector<std::string> lines;
  std::string line;
  while (readConfigLine(file, line)) {
    lines.push_back(line);
  }
  std::fclose(file);
  return lines;
}

TEST(ReadConfigLine, ALongLineReadsAsSeveralPieces) {
  std::string longLine(2000, 'a');
  std::vector<std::string> lines = readAll(longLine + "\nKEY value\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 1023u);
  EXPECT_EQ(lines[1].size(), 977u);
  EXPECT_EQ(lines[2], "KEY value");
}

TEST(ReadConfigLine, AnyControlByteEndsTheLineText) {
  static const char kText[] = "LOGGING_ENABLED\tYES\nKEY a\0b\nCR\r\nLAST no line end";
  std::vector<std::string> lines = readAll(std::string(kText, sizeof kText - 1));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "LOGGING_ENABLED");
  EXPECT_EQ(lines[1], "KEY a");
  EXPECT_EQ(lines[2], "CR");
  EXPECT_EQ(lines[3], "LAST no line end");
}

TEST(ReadConfigLine, EightBitBytesAreOrdinaryCharacters) {
  std::vector<std::string> lines = readAll("SUBJECT_TAG_STRING \xab SPAM \xbb\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "SUBJECT_TAG_STRING \xab SPAM \xbb");
}

TEST(SplitKeyValue, ValueIsEverythingAfterTheFirstSpace) {
  KeyValue entry = splitKeyValue("SUBJECT_TAG_STRING  [spam] ");
  EXPECT_EQ(entry.key, "SUBJECT_TAG_STRING");
  EXPECT_EQ(entry.value, " [spam] ");
  KeyValue bare = splitKeyValue("IS_FIRST_RUN");
  EXPECT_EQ(bare.key, "IS_FIRST_RUN");
  EXPECT_EQ(bare.value, "");
}

} // namespace
} // namespace km
