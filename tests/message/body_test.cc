#include <gtest/gtest.h>

#include "message/message_fixture.h"

namespace km::test {
namespace {

std::string text(const BodyCopy& body) {
  return bodyText(body).value_or("<unreadable>");
}

// Bytes that show where each one belongs.
std::string pattern(size_t size, size_t seed = 0) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i + seed) * 7 % 251);
  }
  return bytes;
}

class Body : public ::testing::Test {
protected:
  MessageFixture fixture_;
  MessagePtr message_ = fixture_.create();
};

TEST_F(Body, StaysInMemoryUpToTheLimitAndSpillsBeyond) {
  std::string bytes = pattern(kMemoryBodyLimit + 1);
  std::string_view all = bytes;
  ASSERT_TRUE(AppendBody(*message_, all.substr(0, 1000000), true));
  ASSERT_TRUE(AppendBody(*message_, all.substr(1000000, kMemoryBodyLimit - 1000000), true));
  EXPECT_EQ(message_->body.storageType, BODY_IN_MEMORY);
  EXPECT_EQ(message_->pristineBody.storageType, BODY_IN_MEMORY);
  ASSERT_TRUE(AppendBody(*message_, all.substr(kMemoryBodyLimit), false));
  EXPECT_EQ(message_->body.storageType, BODY_IN_FILE);
  EXPECT_TRUE(message_->body.memory.empty());
  EXPECT_EQ(message_->pristineBody.storageType, BODY_IN_MEMORY);
  EXPECT_EQ(text(message_->body), bytes);
  EXPECT_EQ(fixture_.fetch.workingBodySize, kMemoryBodyLimit + 1);
  EXPECT_EQ(fixture_.fetch.pristineBodySize, kMemoryBodyLimit);
  // Once in a file, more bytes go on at its end.
  ASSERT_TRUE(AppendBody(*message_, "tail", false));
  EXPECT_EQ(text(message_->body), bytes + "tail");
  EXPECT_EQ(LastPristineBodyByte(*message_), static_cast<uint8_t>(bytes[kMemoryBodyLimit - 1]));
}

TEST_F(Body, TruncatesMemoryAndFileBodies) {
  ASSERT_TRUE(AppendBody(*message_, "line one\r\n.\r\n", true));
  ASSERT_TRUE(TruncateBody(*message_, 5, true));
  EXPECT_EQ(text(message_->body), "line one");
  EXPECT_EQ(text(message_->pristineBody), "line one");
  EXPECT_EQ(fixture_.fetch.pristineBodySize, 8u);
  ASSERT_TRUE(TruncateBody(*message_, 100, false));
  EXPECT_EQ(message_->body.size, 0u);
  EXPECT_EQ(text(message_->pristineBody), "line one");

  std::string large = pattern(kMemoryBodyLimit + 10);
  ASSERT_TRUE(AppendBody(*message_, large, false));
  ASSERT_TRUE(TruncateBody(*message_, 20, false));
  EXPECT_EQ(message_->body.storageType, BODY_IN_FILE);
  EXPECT_EQ(text(message_->body), large.substr(0, large.size() - 20));
}

TEST_F(Body, LastPristineByteIsZeroForAnEmptyBody) {
  EXPECT_EQ(LastPristineBodyByte(*message_), 0);
  AppendBody(*message_, "ab", true);
  EXPECT_EQ(LastPristineBodyByte(*message_), 'b');
}

TEST_F(Body, KeepingNoLinesEmptiesPrefixAndBody) {
  AppendBodyPrefix(*message_, "prefix\r\n");
  AppendBody(*message_, "a\r\nb\r\n", true);
  EXPECT_EQ(KeepBodyLines(*message_, 0), 0);
  EXPECT_TRUE(message_->bodyPrefix.empty());
  EXPECT_EQ(message_->body.size, 0u);
  EXPECT_EQ(fixture_.fetch.workingBodySize, 0u);
  EXPECT_EQ(text(message_->pristineBody), "a\r\nb\r\n");
}

TEST_F(Body, KeepingCountsPrefixAndBodyTogether) {
  AppendBodyPrefix(*message_, "p1\r\np2\r");
  AppendBody(*message_, "\nb1\nstill b1\r\nb2\r\nb3", true);
  EXPECT_EQ(KeepBodyLines(*message_, 3), 3);
  EXPECT_EQ(message_->bodyPrefix, "p1\r\np2\r");
  EXPECT_EQ(text(message_->body), "\nb1\nstill b1\r\n");
}

TEST_F(Body, KeepingLinesThatAllFitInThePrefixEmptiesTheBody) {
  AppendBodyPrefix(*message_, "p1\r\np2\r\np3\r\n");
  AppendBody(*message_, "b1\r\n", true);
  EXPECT_EQ(KeepBodyLines(*message_, 2), 2);
  EXPECT_EQ(message_->bodyPrefix, "p1\r\np2\r\n");
  EXPECT_EQ(message_->body.size, 0u);
}

TEST_F(Body, ABodyWithFewerLinesIsLeftWhole) {
  AppendBody(*message_, "b1\r\nb2", true);
  EXPECT_EQ(KeepBodyLines(*message_, 10), 1);
  EXPECT_EQ(text(message_->body), "b1\r\nb2");
}

TEST_F(Body, KeepingLinesCutsAFileBody) {
  std::string line(999, 'x');
  line += "\r\n";
  std::string body;
  while (body.size() <= kMemoryBodyLimit) {
    body += line;
  }
  ASSERT_TRUE(AppendBody(*message_, body, true));
  ASSERT_EQ(message_->body.storageType, BODY_IN_FILE);
  EXPECT_EQ(KeepBodyLines(*message_, 5000), 5000);
  EXPECT_EQ(message_->body.size, 5000 * line.size());
  EXPECT_EQ(text(message_->body), body.substr(0, 5000 * line.size()));
  EXPECT_EQ(message_->pristineBody.size, body.size());
}

} // namespace
} // namespace km::test
