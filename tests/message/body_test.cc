#include <gtest/gtest.h>

#include "message/message_fixture.h"

namespace km::test {
namespace {

std::string text(const BodyCopy& body) {
  return bodyText(body).value_or("<unreadable>");
}

// Bytes that show where each one belongs.
std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 7 % 251);
  }
  return bytes;
}

class Body : public ::testing::Test {
protected:
  MessageFixture fixture_;
  MessagePtr message_ = fixture_.create();
};

TEST_F(Body, StaysInMemoryUpToTheLimitAndSpillsBeyond) {
  EXPECT_EQ(LastPristineBodyByte(*message_), 0) << "an empty body";
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

TEST(KeepBodyLines, CountsPrefixAndBodyLinesTogetherAndLeavesThePristineBody) {
  struct Case {
    const char* prefix;
    const char* body;
    int keep;
    int kept;
    const char* prefixAfter;
    const char* bodyAfter;
  };
  for (const Case& c : {
           Case{"prefix\r\n", "a\r\nb\r\n", 0, 0, "", ""},
           Case{"p1\r\np2\r", "\nb1\nstill b1\r\nb2\r\nb3", 3, 3, "p1\r\np2\r",
                "\nb1\nstill b1\r\n"},
           Case{"p1\r\np2\r\np3\r\n", "b1\r\n", 2, 2, "p1\r\np2\r\n", ""},
           Case{"", "b1\r\nb2", 10, 1, "", "b1\r\nb2"}, // fewer lines: left whole
       }) {
    MessageFixture fixture;
    MessagePtr message = fixture.create();
    AppendBodyPrefix(*message, c.prefix);
    AppendBody(*message, c.body, true);
    EXPECT_EQ(KeepBodyLines(*message, c.keep), c.kept) << c.body;
    EXPECT_EQ(message->bodyPrefix, c.prefixAfter);
    EXPECT_EQ(text(message->body), c.bodyAfter);
    EXPECT_EQ(fixture.fetch.workingBodySize, std::string_view(c.bodyAfter).size());
    EXPECT_EQ(text(message->pristineBody), c.body);
  }
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
  EXPECT_EQ(text(message_->body), body.substr(0, 5000 * line.size()));
  EXPECT_EQ(message_->pristineBody.size, body.size());
}

} // namespace
} // namespace km::test
