// Messy messages run through every stage a POP3 retrieval runs them through:
// headers without a colon, bare line feeds, 8-bit and NUL bytes, 500 Received
// lines, odd addresses, missing line ends, a 200 MB body. None may crash or leak,
// and each must come out tagged by the rules and at exactly its announced size.
#include <algorithm>

#include "filter/dnsbl.h"
#include "filter/filter_fixture.h"
#include "platform/files.h"

namespace km::test {
namespace {

std::string corpusFolder() {
  return std::string(KESTREL_SOURCE_DIR) + "/tests/filter/corpus/";
}

std::vector<std::string> corpusFiles() {
  std::vector<std::string> names = listDirectory(corpusFolder(), "");
  std::erase_if(names, [](const std::string& name) { return !name.ends_with(".eml"); });
  std::sort(names.begin(), names.end());
  return names;
}

std::shared_ptr<Config> corpusConfig(bool suffix, bool verdictInSubject) {
  return filterConfig([&](Config& c) {
    c.whitelistEmail = {"*@corp.example"};
    c.blacklistEmail = {"*@spam.example"};
    c.blacklistIp = {block("198.51.100.0", "198.51.100.255")};
    c.tagSubject = true;
    c.subjectTagString = "[SPAM]";
    c.verdictInSubject = verdictInSubject;
    c.tagAsSuffix = suffix;
    c.loggingEnabled = true;
    c.loggingLevel = LogLevel::Extreme;
  });
}

// Counts what is sent and keeps only the header block, so that large bodies
// need no memory.
class CheckingSink : public MessageSink {
public:
  bool write(std::string_view bytes) override {
    if (start.size() < 1000000) {
      start.append(bytes.substr(0, 1000000 - start.size()));
    }
    for (char c : bytes) {
      sum = sum * 31 + static_cast<unsigned char>(c);
    }
    size += bytes.size();
    return true;
  }
  bool flush() override { return true; }
  std::string start;
  uint64_t sum = 0;
  uint64_t size = 0;
};

class Corpus : public PipelineTest {
protected:
  // The stages of a POP3 RETR, up to sending and finishing.
  void retrieve(Message& message, bool forceSpam) {
    FilterHeaders(message, nullptr);
    PluginFlags flags = BodyFilteringFlags(message);
    BodyBytesRequired(message, KM_PHASE_BODY_FILTERING, &flags);
    FilterBody(message, nullptr, flags);
    waitForDnsblResults(message, nullptr);
    withdrawMessage(message);
    if (forceSpam) {
      message.verdict.isSpam = 1; // as a plug-in may judge
    }
    PluginFlags rewriting = RequireBodyRewriting(message);
    RewriteBody(message, nullptr, true, &rewriting);
    RewriteHeaders(message, 0, nullptr);
    int64_t announced = fixture_->fetch.expectedSize;
    PadToSize(message, 0, announced + MaxBytesToAdd(*fixture_->session.config, announced));
  }

  void expectTaggedByTheRules(const Message& message, const std::string& name) {
    const Config& config = *message.pluginContext.config;
    const auto& lines = message.headerLines;
    for (const std::string& line : lines) {
      EXPECT_TRUE(line.ends_with("\r\n")) << name << ": " << line;
      for (size_t i = 0; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        bool lineEnd = (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n') ||
                       (c == '\n' && i > 0 && line[i - 1] == '\r');
        EXPECT_TRUE(c >= 32 || c == '\t' || lineEnd)
            << name << ": byte " << int(c) << " in " << line;
      }
    }
    bool spam = isSpamVerdict(message.verdict);
    std::string labelLine = "X-Kestrelmail: " + VerdictLabel(spam, message.verdict);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("X-Kestrelmail: "); }),
              1)
        << name;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.starts_with(labelLine); }),
              lines.end())
        << name;
    auto subjects = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return startsWithIgnoreCase(l, "Subject:");
    });
    auto subject = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
      return startsWithIgnoreCase(l, "Subject:");
    });
    if (spam) {
      ASSERT_EQ(subjects, 1) << name;
      EXPECT_NE(subject->find(" [SPAM]"), std::string::npos) << name << ": " << *subject;
      if (config.verdictInSubject) {
        EXPECT_NE(subject->find("**SPAM"), std::string::npos) << name << ": " << *subject;
      }
    } else if (subject != lines.end()) {
      EXPECT_EQ(subject->find("[SPAM]"), std::string::npos) << name << ": " << *subject;
    }
    int64_t announced = fixture_->fetch.expectedSize;
    EXPECT_EQ(static_cast<int64_t>(MessageSize(message)),
              announced + MaxBytesToAdd(config, announced))
        << name;
  }
};

TEST_F(Corpus, EveryMessageComesOutTaggedAtItsAnnouncedSize) {
  std::vector<std::string> names = corpusFiles();
  ASSERT_GE(names.size(), 15u);
  for (bool suffix : {false, true}) {
    for (bool forceSpam : {false, true}) {
      useConfig(corpusConfig(suffix, forceSpam));
      for (const std::string& name : names) {
        std::optional<std::string> raw = readWholeFile(corpusFolder() + name);
        ASSERT_TRUE(raw) << name;
        MessagePtr message = received(*raw);
        retrieve(*message, forceSpam);
        CheckingSink sink;
        ASSERT_TRUE(SendMessage(*message, 0, &sink, false, nullptr)) << name;
        FinishMessage(*message);
        expectTaggedByTheRules(*message, name);
        EXPECT_EQ(sink.size, MessageSize(*message)) << name;
      }
    }
  }
  for (const Notice& notice : notices_.notifier().notices()) {
    ADD_FAILURE() << notice.title << ": " << notice.text;
  }
}

TEST_F(Corpus, ExpectedVerdictsOfTheCorpus) {
  useConfig(corpusConfig(false, false));
  auto verdictOf = [&](const std::string& name) {
    MessagePtr message = received(*readWholeFile(corpusFolder() + name));
    retrieve(*message, false);
    return VerdictLabel(isSpamVerdict(message->verdict), message->verdict);
  };
  EXPECT_EQ(verdictOf("plain.eml"), "PASS");
  EXPECT_EQ(verdictOf("no_colon.eml"), "SPAM BLIST EMAIL");
  EXPECT_EQ(verdictOf("bare_lf.eml"), "SPAM BLIST EMAIL");
  EXPECT_EQ(verdictOf("quoted_addresses.eml"), "PASS WLIST EMAIL");
  EXPECT_EQ(verdictOf("cr_only.eml"), "SPAM BLIST EMAIL");
  EXPECT_EQ(verdictOf("many_received.eml"), "PASS");
}

TEST_F(Corpus, ATwoHundredMegabyteBodyPassesThroughFiles) {
  useConfig(corpusConfig(false, true));
  const std::string header = "From: big@spam.example\r\nSubject: large\r\n\r\n";
  constexpr size_t kPiece = 1 << 20;
  constexpr size_t kPieces = 200;
  std::string piece(kPiece, '\0');
  for (size_t i = 0; i < kPiece; ++i) {
    piece[i] = (i % 80 == 78) ? '\r' : (i % 80 == 79) ? '\n' : static_cast<char>('a' + i % 26);
  }
  fixture_->fetch.expectedSize = static_cast<int64_t>(header.size() + kPiece * kPieces);
  MessagePtr message = fixture_->create();
  feedMessage(*message, header);
  for (size_t i = 0; i < kPieces; ++i) {
    piece[0] = static_cast<char>('A' + i % 26);
    ASSERT_TRUE(AppendBody(*message, piece, true));
  }
  EXPECT_EQ(message->body.storageType, BodyStorage::InFile);
  EXPECT_EQ(message->pristineBody.storageType, BodyStorage::InFile);
  retrieve(*message, false);
  expectTaggedByTheRules(*message, "200 MB");
  CheckingSink sent;
  ASSERT_TRUE(SendBody(*message, &sent, false, nullptr));
  EXPECT_EQ(sent.size, kPiece * kPieces);
  EXPECT_EQ(sent.sum, [&] {
    CheckingSink body;
    for (size_t i = 0; i < kPieces; ++i) {
      piece[0] = static_cast<char>('A' + i % 26);
      body.write(piece);
    }
    return body.sum;
  }());
  EXPECT_EQ(KeepBodyLines(*message, 3), 3);
  EXPECT_EQ(message->body.size, 240u);
  FinishMessage(*message);
}

} // namespace
} // namespace km::test
