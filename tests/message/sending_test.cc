#include <gtest/gtest.h>

#include "message/message_fixture.h"

namespace km::test {
namespace {

class RecordingProgress : public ProgressDisplay {
public:
  void show(std::string_view text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

// Accepts a number of bytes, then fails; counts flushes.
class FailingSink : public MessageSink {
public:
  explicit FailingSink(size_t capacity) : capacity_(capacity) {}
  bool write(std::string_view bytes) override {
    if (bytes.size() > capacity_) {
      return false;
    }
    capacity_ -= bytes.size();
    return true;
  }
  bool flush() override {
    ++flushes;
    return true;
  }
  int flushes = 0;

private:
  size_t capacity_;
};

class Sending : public ::testing::Test {
protected:
  Sending() { loadShippedLanguageTable(); }
  MessageFixture fixture_;
  MessagePtr message_ = fixture_.create();
};

TEST_F(Sending, SendsHeadersSeparatorPrefixAndBody) {
  feedMessage(*message_, "A: 1\r\nB: 2\r\n\r\nbody\r\nend");
  AppendOwnHeaderLine(*message_, "X-Added: yes\r\n");
  AppendBodyPrefix(*message_, "PREFIX\r\n");
  StringSink working;
  ASSERT_TRUE(SendMessage(*message_, 1, &working, false, nullptr));
  EXPECT_EQ(working.text, "B: 2\r\nX-Added: yes\r\n\r\nPREFIX\r\nbody\r\nend");
  StringSink pristine;
  ASSERT_TRUE(SendMessage(*message_, 0, &pristine, true, nullptr));
  EXPECT_EQ(pristine.text, "A: 1\r\nB: 2\r\n\r\nbody\r\nend");
  EXPECT_TRUE(SendMessage(*message_, 0, nullptr, false, nullptr));
  // No separator without a body prefix or the end of the headers.
  MessagePtr open = fixture_.create();
  AppendHeaderData(*open, "A: 1\r\n", true);
  StringSink sink;
  ASSERT_TRUE(SendMessage(*open, 0, &sink, false, nullptr));
  EXPECT_EQ(sink.text, "A: 1\r\n");
}

TEST_F(Sending, SendsABodyHeldInAFile) {
  std::string body(kMemoryBodyLimit + 70000, 'q');
  body[12345] = 'Q';
  body.back() = 'E';
  feedMessage(*message_, "A: 1\r\n\r\n" + body);
  ASSERT_EQ(message_->body.storageType, BODY_IN_FILE);
  StringSink sink;
  ASSERT_TRUE(SendMessage(*message_, 0, &sink, false, nullptr));
  EXPECT_EQ(sink.text, "A: 1\r\n\r\n" + body);
}

TEST_F(Sending, StopsAtTheFirstFailure) {
  feedMessage(*message_, "A: 1\r\n\r\n" + std::string(200000, 'b'));
  FailingSink tooSmall(100000);
  EXPECT_FALSE(SendMessage(*message_, 0, &tooSmall, false, nullptr));
  EXPECT_EQ(tooSmall.flushes, 0);
  FailingSink headersOnly(3);
  EXPECT_FALSE(SendHeaderLines(*message_, 0, &headersOnly, false, nullptr));
  FailingSink enough(300000);
  EXPECT_TRUE(SendMessage(*message_, 0, &enough, false, nullptr));
  EXPECT_EQ(enough.flushes, 1);
}

TEST_F(Sending, ShowsProgressInKilobytesOfTheAnnouncedSizeIfAny) {
  fixture_.fetch.expectedSize = 300 * 1024;
  MessagePtr message = fixture_.create();
  feedMessage(*message, "A: 1\r\n\r\n" + std::string(200 * 1024, 'b'));
  RecordingProgress progress;
  ASSERT_TRUE(SendBody(*message, nullptr, false, &progress));
  ASSERT_FALSE(progress.shown.empty());
  EXPECT_NE(progress.shown.front().find("0 KB of 300 KB"), std::string::npos)
      << progress.shown.front();
  EXPECT_NE(progress.shown.back().find("192 KB of 300 KB"), std::string::npos)
      << progress.shown.back();
  // SMTP knows no announced size: only the kilobytes sent.
  MessageFixture smtp(SMTP_SPECIFIC);
  MessagePtr sent = smtp.create();
  feedMessage(*sent, "A: 1\r\n\r\n" + std::string(30 * 1024, 'b'));
  RecordingProgress smtpProgress;
  ASSERT_TRUE(SendBody(*sent, nullptr, false, &smtpProgress));
  EXPECT_NE(smtpProgress.shown.back().find(": 30 KB"), std::string::npos);
  EXPECT_EQ(smtpProgress.shown.back().find(" of "), std::string::npos);
}

} // namespace
} // namespace km::test
