#include <gtest/gtest.h>

#include "message/message_fixture.h"
#include "message/pipe_pumps.h"
#include "platform/descriptors.h"
#include "platform/thread_records.h"

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
  EXPECT_EQ(message_->body.storageType, BodyStorage::InMemory);
  EXPECT_EQ(message_->pristineBody.storageType, BodyStorage::InMemory);
  ASSERT_TRUE(AppendBody(*message_, all.substr(kMemoryBodyLimit), false));
  EXPECT_EQ(message_->body.storageType, BodyStorage::InFile);
  EXPECT_TRUE(message_->body.memory.empty());
  EXPECT_EQ(message_->pristineBody.storageType, BodyStorage::InMemory);
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
  EXPECT_EQ(message_->body.storageType, BodyStorage::InFile);
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
  appendOwnHeaderLine(*message_, "X-Added: yes\r\n");
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
  MessageFixture smtp(PortType::SmtpSpecific);
  MessagePtr sent = smtp.create();
  feedMessage(*sent, "A: 1\r\n\r\n" + std::string(30 * 1024, 'b'));
  RecordingProgress smtpProgress;
  ASSERT_TRUE(SendBody(*sent, nullptr, false, &smtpProgress));
  EXPECT_NE(smtpProgress.shown.back().find(": 30 KB"), std::string::npos);
  EXPECT_EQ(smtpProgress.shown.back().find(" of "), std::string::npos);
}

TEST(Registry, HandlesGrowAndAreNeverReused) {
  MessageFixture fixture;
  MessagePtr first = fixture.create();
  uint32_t firstHandle = first->handle;
  ASSERT_EQ(LookupMessage(firstHandle), &first->pluginContext);
  EXPECT_EQ(LookupMessage(firstHandle)->message, first.get());
  EXPECT_EQ(LookupMessage(firstHandle)->verdictPtr, &first->verdict);
  first.reset();
  EXPECT_EQ(LookupMessage(firstHandle), nullptr);
  MessagePtr second = fixture.create();
  MessagePtr third = fixture.create();
  EXPECT_EQ(second->handle, firstHandle + 1);
  EXPECT_EQ(third->handle, firstHandle + 2);
  EXPECT_EQ(LookupMessage(second->handle)->contextHandle, second->handle);
}

TEST(Registry, TheBodyFilteringLimitComesFromThePort) {
  struct Case {
    PortType type;
    bool retr;
    int64_t expected;
  };
  for (Case c :
       {Case{PortType::Pop3Generic, true, 64 * 1024}, Case{PortType::Pop3Specific, false, 4 * 1024},
        Case{PortType::Imap4Generic, false, 10 * 1024},
        Case{PortType::SmtpSpecific, true, 20 * 1024}}) {
    MessageFixture fixture(c.type);
    fixture.port.imap4.bodyK = 10;
    fixture.port.smtp.bodyK = 20;
    fixture.fetch.isRetr = c.retr;
    MessagePtr message = fixture.create();
    EXPECT_EQ(fixture.fetch.bodyFilterLimit, c.expected) << static_cast<int>(c.type);
  }
  FetchRecord fetch;
  MessagePtr withoutSession = CreateMessage(std::make_shared<Config>(), nullptr, fetch);
  EXPECT_EQ(fetch.bodyFilterLimit, 65536);
}

TEST(Sessions, RecordsAreListedWhileTheyLive) {
  registerThread("test session");
  EXPECT_FALSE(anySessionActive());
  uint32_t firstHandle;
  {
    MessageFixture pop3(PortType::Pop3Specific);
    firstHandle = pop3.session.info.sessionHandle;
    EXPECT_EQ(currentThreadRecord()->sessionHandle, static_cast<int32_t>(firstHandle));
    MessageFixture smtp(PortType::SmtpSpecific);
    EXPECT_EQ(smtp.session.info.sessionHandle, firstHandle + 1);
    EXPECT_EQ(smtp.session.info.protocol, KM_PROTOCOL_SMTP);
    EXPECT_EQ(pop3.session.info.protocol, KM_PROTOCOL_POP3);
    EXPECT_TRUE(anySessionActive());
  }
  EXPECT_FALSE(anySessionActive());
  unregisterThread();
}

} // namespace
} // namespace km::test
