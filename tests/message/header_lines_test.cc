#include <gtest/gtest.h>

#include "message/message_fixture.h"

namespace km::test {
namespace {

using Lines = std::vector<std::string>;

class HeaderLines : public ::testing::Test {
protected:
  MessageFixture fixture_;
  MessagePtr message_ = fixture_.create();
};

TEST_F(HeaderLines, DataIsJoinedIntoWholeFieldsWithNulAsZero) {
  AppendHeaderData(*message_, "Subject: first\r\n", true);
  AppendHeaderData(*message_, " second\r\n", true);         // a folded continuation
  AppendHeaderData(*message_, "From: a@b.example\r", true); // a line in pieces
  AppendHeaderData(*message_, "\nTo: c@d.example\r\n", true);
  AppendHeaderData(*message_, "\tthird\r\n", true);
  AppendHeaderData(*message_, "", true);
  Lines expected{"Subject: first\r\n second\r\n",
                 "From: a@b.example\r\nTo: c@d.example\r\n\tthird\r\n"};
  EXPECT_EQ(message_->headerLines, expected);
  EXPECT_EQ(message_->pristineHeaderLines, expected);
  // NUL bytes are stored as zeros.
  AppendHeaderData(*message_, std::string_view("X-A: a\0b\r\n", 10), true);
  AppendHeaderData(*message_, std::string_view("\0\r\n", 3), false);
  EXPECT_EQ(message_->headerLines.back(), "0\r\n");
  EXPECT_EQ(message_->pristineHeaderLines.back(), "X-A: a0b\r\n");
}

TEST_F(HeaderLines, ValuesAreUnfoldedAndJoined) {
  feedMessage(*message_,
              "subject:   Hello\r\n\t  wide\r\n   world\r\nFrom: x\r\nTo: t\r\nFROM:y\r\n\r\n");
  EXPECT_EQ(GetHeaderValue(*message_, "Subject:"), "Hello wide world");
  EXPECT_EQ(GetSubject(*message_), "Hello wide world");
  EXPECT_EQ(GetHeaderValue(*message_, "From:"), "xy");
  EXPECT_EQ(GetHeaderValue(*message_, "Cc:"), "");
  // Values come from the pristine copy, whatever rewriting did to the working one.
  message_->headerLines.clear();
  EXPECT_EQ(GetHeaderValue(*message_, "To:"), "t");
}

TEST_F(HeaderLines, TheSenderFallsBackOnlyPastEmptyFields) {
  for (const auto& [raw, sender] : std::initializer_list<std::pair<const char*, const char*>>{
           {"From:\r\nSender: s@x.example\r\nReply-To: r@x.example\r\n\r\n", "s@x.example"},
           {"Reply-To: r@x.example\r\nFrom: f@x.example\r\n\r\n", "f@x.example"},
           {"Sender:  \r\nReply-To: r@x.example\r\n\r\n", "r@x.example"}}) {
    MessagePtr message = fixture_.create();
    feedMessage(*message, raw);
    EXPECT_EQ(GetSenderField(*message), sender);
  }
}

TEST_F(HeaderLines, ASubjectLineIsAddedOnlyWhenMissing) {
  feedMessage(*message_, "SUBJECT: here\r\n\r\n");
  EnsureSubjectLine(*message_);
  EXPECT_EQ(message_->headerLines.size(), 1u);
  MessagePtr other = fixture_.create();
  AppendHeaderData(*other, "X-Cut: no line end", false);
  EnsureSubjectLine(*other);
  EXPECT_EQ(other->headerLines, (Lines{"X-Cut: no line end\r\n", "Subject: \r\n"}));
}

TEST_F(HeaderLines, SanitisingFoldsLaterSubjectsIntoTheFirst) {
  feedMessage(*message_, "Subject: one\r\nX: 1\r\nsubject: two\r\nSUBJECT: three\r\n\r\n");
  SanitiseHeaders(*message_, 0);
  EXPECT_EQ(message_->headerLines,
            (Lines{"Subject: one\r\n         two\r\n         three\r\n", "X: 1\r\n"}));
  // Lines before the first index are left as they are.
  MessagePtr sent = fixture_.create();
  feedMessage(*sent, "X: \x02\r\nSubject: a\r\nSubject: b\r\n\r\n");
  SanitiseHeaders(*sent, 2);
  EXPECT_EQ(sent->headerLines, (Lines{"X: \x02\r\n", "Subject: a\r\n", "Subject: b\r\n"}));
}

TEST_F(HeaderLines, SanitisingReplacesStrayControlBytes) {
  AppendHeaderData(*message_, "Sent: kept\r\n", false);
  AppendHeaderData(*message_,
                   "X: a\x01"
                   "b\tc\rd\ne\x7f\xe9\r\n",
                   false);
  AppendHeaderData(*message_, "Subject: cut", false);
  SanitiseHeaders(*message_, 1);
  EXPECT_EQ(message_->headerLines,
            (Lines{"Sent: kept\r\n", "X: aCb\tcCdCe\x7f\xe9\r\n", "Subject: cut"}));
  // A later Subject that lacks its line end keeps the folded field apart from the
  // next one.
  MessagePtr other = fixture_.create();
  AppendHeaderData(*other, "Subject: a\r\n", false);
  AppendHeaderData(*other, "Subject: b", false);
  SanitiseHeaders(*other, 0);
  EnsureSubjectLine(*other);
  EXPECT_EQ(other->headerLines, (Lines{"Subject: a\r\n         b\r\n"}));
}

TEST_F(HeaderLines, MessageSizeCountsTheSeparatorOnlyWhenThereIsOne) {
  AppendHeaderData(*message_, "A: 1\r\n", true);
  EXPECT_EQ(MessageSize(*message_), 6u);
  message_->headersComplete = true;
  EXPECT_EQ(MessageSize(*message_), 8u);
  message_->headersComplete = false;
  AppendBodyPrefix(*message_, "pre");
  EXPECT_EQ(MessageSize(*message_), 11u);
  AppendBody(*message_, "body", true);
  EXPECT_EQ(MessageSize(*message_), 15u);
}

class Padding : public ::testing::Test {
protected:
  Padding() { loadShippedLanguageTable(); }

  // A POP3 retrieval of `raw` as announced by the server, then rewritten.
  MessagePtr received(std::string_view raw) {
    fixture_.fetch.expectedSize = static_cast<int64_t>(raw.size());
    MessagePtr message = fixture_.create();
    feedMessage(*message, raw);
    return message;
  }

  MessageFixture fixture_{PortType::Pop3Generic};
  NotifierScope notices_;
};

TEST_F(Padding, FillsLinesToSeventyFiveColumnsThenTheLastLine) {
  MessagePtr message = received("From: a@b.example\r\nX-Short: abc\r\nX-Last: z\r\n\r\nbody");
  int64_t target = fixture_.fetch.expectedSize + 100;
  PadToSize(*message, 0, target);
  const Lines& lines = message->headerLines;
  EXPECT_EQ(lines[0], "From: a@b.example\r\n");
  EXPECT_EQ(lines[1], "X-Short: abc" + std::string(75 - 12, ' ') + "\r\n");
  EXPECT_EQ(lines[2], "X-Last: z" + std::string(100 - 63, ' ') + "\r\n");
  EXPECT_EQ(static_cast<int64_t>(MessageSize(*message)), target);
}

TEST_F(Padding, AnAllowanceTooBigForOneLineGoesIntoPaddingFields) {
  // A big message's allowance (one timeout line per 116 KB) runs to kilobytes; no
  // header line may grow beyond 998 characters for it.
  MessagePtr message = received("X-Last: z\r\n\r\nbody");
  int64_t target = fixture_.fetch.expectedSize + 5000;
  PadToSize(*message, 0, target);
  EXPECT_EQ(static_cast<int64_t>(MessageSize(*message)), target);
  const Lines& lines = message->headerLines;
  ASSERT_GE(lines.size(), 2u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 1000u) << "line " << i;
    if (i > 0) {
      EXPECT_EQ(lines[i].rfind("X-Kestrelmail-Padding:", 0), 0u) << "line " << i;
    }
  }
  // Just past what the last line holds: still a whole field of padding.
  MessagePtr small = received("X-Last: z\r\n\r\nbody");
  int64_t justOver = fixture_.fetch.expectedSize + (998 - 9) + 3;
  PadToSize(*small, 0, justOver);
  EXPECT_EQ(static_cast<int64_t>(MessageSize(*small)), justOver);
  ASSERT_EQ(small->headerLines.size(), 2u);
  EXPECT_EQ(small->headerLines[1], "X-Kestrelmail-Padding:\r\n");
}

TEST_F(Padding, PadsTheLastPhysicalLineOfAFoldedField) {
  MessagePtr message = received("X-Fold: a\r\n bc\r\nX-Last: z\r\n\r\n");
  PadToSize(*message, 0, fixture_.fetch.expectedSize + 80);
  EXPECT_EQ(message->headerLines[0], "X-Fold: a\r\n bc" + std::string(72, ' ') + "\r\n");
  EXPECT_EQ(message->headerLines[1], "X-Last: z" + std::string(8, ' ') + "\r\n");
}

TEST_F(Padding, CountsWhatHasNotArrivedAsAnnounced) {
  // The server announced more than arrived so far: the rest is still to come.
  MessagePtr message = received("Subject: s\r\n\r\nfirst part");
  fixture_.fetch.expectedSize += 1000;
  appendOwnHeaderLine(*message, "X-Added: 1\r\n");
  PadToSize(*message, 0, fixture_.fetch.expectedSize + 20);
  EXPECT_EQ(message->headerLines[1], "X-Added: 1" + std::string(8, ' ') + "\r\n");
}

TEST_F(Padding, LeavesSentLinesAndTellsWhenTheMessageIsTooLarge) {
  MessagePtr message = received("X-A: 1\r\nX-B: 2\r\n\r\n");
  PadToSize(*message, 2, fixture_.fetch.expectedSize + 10); // nothing may change
  EXPECT_EQ(message->headerLines, (Lines{"X-A: 1\r\n", "X-B: 2\r\n"}));
  appendOwnHeaderLine(*message, "X-Added: too much\r\n");
  PadToSize(*message, 0, fixture_.fetch.expectedSize + 5);
  EXPECT_EQ(message->headerLines[2], "X-Added: too much\r\n");
  ASSERT_EQ(notices_.notifier().count(), 1u);
  std::string text = notices_.notifier().notices()[0].text;
  EXPECT_NE(text.find("23"), std::string::npos) << text; // the announced size
  EXPECT_NE(text.find("37"), std::string::npos) << text; // the size it has
}

TEST(OtherProtocols, OnlyPop3PadsAndSmtpCountsWhatWasReceived) {
  MessageFixture imap(PortType::Imap4Generic);
  MessagePtr unpadded = imap.create();
  feedMessage(*unpadded, "X-A: 1\r\n\r\n");
  PadToSize(*unpadded, 0, 100);
  EXPECT_EQ(unpadded->headerLines[0], "X-A: 1\r\n");

  MessageFixture fixture(PortType::SmtpSpecific);
  fixture.fetch.expectedSize = 77; // cleared for a new SMTP message
  MessagePtr message = fixture.create();
  EXPECT_EQ(fixture.fetch.expectedSize, 0);
  AppendHeaderData(*message, "Subject: x\r\n", true);
  AppendHeaderData(*message, "\r\n", true);
  RemoveHeaderLine(*message, 1, true);
  AppendHeaderData(*message, "X-Working: only\r\n", false);
  ASSERT_TRUE(AppendBody(*message, "0123456789\r\n.\r\n", true));
  TruncateBody(*message, 5, true);
  EXPECT_EQ(fixture.fetch.expectedSize, 12 + 10);
}

} // namespace
} // namespace km::test
