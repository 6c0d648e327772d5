#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "message/message_fixture.h"
#include "message/pipe_pumps.h"
#include "platform/descriptors.h"

namespace km::test {
namespace {

// Larger than a pipe holds, so that each side has to wait for the other.
std::string largeBody() {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) {
    body += "line " + std::to_string(i) + " of the body\r\n";
  }
  return body;
}

class PipePumps : public ::testing::Test {
protected:
  MessageFixture fixture_;
  MessagePtr message_ = fixture_.create();
  UniqueFd readEnd_;
  UniqueFd writeEnd_;
  void SetUp() override { ASSERT_TRUE(createPipe(readEnd_, writeEnd_)); }
};

TEST_F(PipePumps, TheBodyWriterStreamsTheChosenBodyAndEndsWhenItsReaderStops) {
  std::string body = largeBody();
  ASSERT_TRUE(AppendBody(*message_, body, true));
  ASSERT_TRUE(AppendBody(*message_, "working only", false));
  StartBodyWriter(*message_, std::move(writeEnd_), false);
  char first[100];
  EXPECT_EQ(readSome(readEnd_.get(), first, sizeof first), 100);
  readEnd_.reset();
  FinishBodyWriter(); // returns: the writer saw its pipe break
  // and the pump serves the next transfer.
  ASSERT_TRUE(createPipe(readEnd_, writeEnd_));
  StartBodyWriter(*message_, std::move(writeEnd_), true);
  EXPECT_EQ(readAll(readEnd_.get()), body) << "the pristine body";
  FinishBodyWriter();
}

TEST_F(PipePumps, TheBodyReaderReplacesTheWorkingBody) {
  ASSERT_TRUE(AppendBody(*message_, "old body", true));
  std::string replacement = largeBody();
  StartBodyReader(*message_, std::move(readEnd_));
  ASSERT_TRUE(writeAll(writeEnd_.get(), replacement.data(), replacement.size()));
  writeEnd_.reset();
  FinishBodyReader();
  EXPECT_EQ(bodyText(message_->body), replacement);
  EXPECT_EQ(bodyText(message_->pristineBody), "old body");
  EXPECT_EQ(fixture_.fetch.workingBodySize, replacement.size());
}

TEST_F(PipePumps, AThreadMayRunTheWriterAndTheReaderTogether) {
  std::string body = largeBody();
  ASSERT_TRUE(AppendBody(*message_, body, true));
  UniqueFd outputRead, outputWrite;
  ASSERT_TRUE(createPipe(outputRead, outputWrite));
  StartBodyWriter(*message_, std::move(writeEnd_), false);
  StartBodyReader(*message_, std::move(outputRead));
  // What a rewriting plug-in does: read the body, write the new one, close.
  std::string input = readAll(readEnd_.get());
  std::transform(input.begin(), input.end(), input.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  ASSERT_TRUE(writeAll(outputWrite.get(), input.data(), input.size()));
  outputWrite.reset();
  readEnd_.reset();
  FinishBodyWriter();
  FinishBodyReader();
  std::string expected = body;
  std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  EXPECT_EQ(bodyText(message_->body), expected);
}

TEST_F(PipePumps, TheHeaderReaderReplacesTheWorkingLines) {
  feedMessage(*message_, "Old: 1\r\n\r\n");
  StartHeaderReader(*message_, std::move(readEnd_));
  std::string block = "A: 1\r\n folded\r\nB: 2\r\nC: no end";
  ASSERT_TRUE(writeAll(writeEnd_.get(), block.data(), block.size()));
  writeEnd_.reset();
  FinishHeaderReader();
  EXPECT_EQ(message_->headerLines,
            (std::vector<std::string>{"A: 1\r\n folded\r\n", "B: 2\r\n", "C: no end"}));
  EXPECT_EQ(message_->pristineHeaderLines, (std::vector<std::string>{"Old: 1\r\n"}));
  // An empty header block leaves no lines.
  ASSERT_TRUE(createPipe(readEnd_, writeEnd_));
  StartHeaderReader(*message_, std::move(readEnd_));
  writeEnd_.reset();
  FinishHeaderReader();
  EXPECT_TRUE(message_->headerLines.empty());
}

} // namespace
} // namespace km::test
