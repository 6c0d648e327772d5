#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "message/message.h"
#include "net/line_socket.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "pop3/answer_reader.h"
#include "pop3/pop3.h"
#include "pop3/timeout_prevention.h"
#include "support/loopback.h"
#include "support/test_support.h"

namespace km {
namespace {

TEST(ApopDigest, IsTheDigestOfACompleteTimeStampAndThePassword) {
  // The example exchange of the POP3 standard.
  EXPECT_EQ(apopDigest("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n", "tanstaaf"),
            "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_FALSE(apopDigest("+OK ready\r\n", "secret"));
  EXPECT_FALSE(apopDigest("+OK ready <1896.697@host\r\n", "secret"));
  EXPECT_TRUE(apopDigest("+OK <a> <b>\r\n", "secret"));
}

TEST(GenericUserLine, TheLastSeparatorNamesTheServer) {
  for (const auto& [line, serverLine, server] :
       std::initializer_list<std::tuple<const char*, const char*, const char*>>{
           {"USER alice@example.com@pop.example.net:2110\r\n", "USER alice@example.com\r\n",
            "pop.example.net:2110"},
           {"USER bob%pop.example.org\r\n", "USER bob\r\n", "pop.example.org"},
           {"USER carol/mail.example.org junk\x01more\r\n", "USER carol\r\n",
            "mail.example.org junk"}}) {
    std::optional<GenericUserLine> split = splitGenericUserLine(line);
    ASSERT_TRUE(split) << line;
    EXPECT_EQ(split->serverLine, serverLine);
    EXPECT_EQ(split->serverSpecification, server);
  }
  EXPECT_FALSE(splitGenericUserLine("USER alice\r\n"));
  EXPECT_FALSE(splitGenericUserLine("@pop.example.org\r\n"));
  EXPECT_EQ(userNameOf("USER   alice smith\r\n"), "alice smith");
}

TEST(ServerSpecification, NamesAHostAndAnOptionalPort) {
  EXPECT_EQ(parsePop3Server("pop.example.org").host, "pop.example.org");
  EXPECT_EQ(parsePop3Server("pop.example.org").port, 110);
  EXPECT_EQ(parsePop3Server("192.0.2.7:1100").port, 1100);
  Pop3Server server = parsePop3Server("[2001:db8::1]:995");
  EXPECT_EQ(server.host, "2001:db8::1");
  EXPECT_EQ(server.port, 995);
  EXPECT_EQ(parsePop3Server("host:pop3").port, 0) << "a port is read as a number";
}

TEST(CommandColumn, ShowsTheCommandButNeverCredentials) {
  for (const auto& [line, shown] : std::initializer_list<std::pair<const char*, const char*>>{
           {"RETR 1\r\n", "RETR 1"},
           {"PASS secret\r\n", "PASS"},
           {"pass secret\r\n", "PASS"},
           {"AUTH PLAIN AGFsaWNlAHNlY3JldA==\r\n", "AUTH PLAIN"},
           {"auth cram-md5\r\n", "auth cram-md5"},
           {"AUTH\r\n", "AUTH"}}) {
    EXPECT_EQ(commandColumnText(line), shown) << line;
  }
}

// The end of an answer is found wherever the bytes are cut, bare line feeds become
// CR LF, and nothing after the end is taken.
TEST(AnswerReader, FindsTheEndWhereverTheBytesAreCut) {
  struct Case {
    std::string wire;
    std::string body;
  };
  const std::string after = "+OK next\r\n";
  for (const Case& c :
       std::initializer_list<Case>{{".\r\n", ""},
                                   {"\r\n.\r\n", "\r\n"},
                                   {"one\r\ntwo\r\n.\r\n", "one\r\ntwo\r\n"},
                                   {"..dot\r\n.x\r\n.\r\r\n.\r\n", "..dot\r\n.x\r\n.\r\r\n"},
                                   {"bare\nfeeds\n\n.\n", "bare\r\nfeeds\r\n\r\n"},
                                   {"mixed\r\nends\n.\r\n", "mixed\r\nends\r\n"}}) {
    std::string bytes = c.wire + after;
    for (size_t cut = 0; cut <= c.wire.size(); ++cut) {
      LineSocket unused;
      Pop3AnswerReader reader(unused);
      std::string run;
      std::string body;
      size_t used = reader.take(bytes.data(), cut, run, 1 << 20);
      body += run;
      run.clear();
      EXPECT_EQ(reader.ended(), cut == c.wire.size()) << c.wire << " cut at " << cut;
      used += reader.take(bytes.data() + used, bytes.size() - used, run, 1 << 20);
      body += run;
      EXPECT_TRUE(reader.ended()) << c.wire << " cut at " << cut;
      EXPECT_EQ(body, c.body) << c.wire << " cut at " << cut;
      EXPECT_EQ(used, c.wire.size()) << "the next reply stays: " << c.wire;
    }
  }
}

TEST(AnswerReader, ReadsRunsOfTheConnectionAndStopsAtItsEnd) {
  LineSocket server;
  server.useMemory();
  std::string wire = std::string(50000, 'x') + "\r\n.\r\n+OK next\r\n";
  server.unread(wire.data(), wire.size());
  Pop3AnswerReader reader(server);
  std::string run;
  std::string body;
  while (!reader.ended() && reader.read(run, 4096, 1)) {
    EXPECT_LE(run.size(), 4096u + 2);
    body += run;
  }
  EXPECT_EQ(body, std::string(50000, 'x') + "\r\n");
  EXPECT_EQ(server.readLine(1), "+OK next\r\n");
  Pop3AnswerReader cut(server);
  EXPECT_FALSE(cut.read(run, 4096, 1)) << "a connection that ends before the end fails";
}

// A client connection whose far end collects what arrives, and a message under
// retrieval.
class PreventionTest : public ::testing::Test {
protected:
  void SetUp() override {
    setPreventionIntervalForTests(5);
    message_.fetch = &fetch_;
  }
  void TearDown() override { setPreventionIntervalForTests(0); }

  // What the client has received so far.
  std::string sent() {
    while (waitReadable(pair_.peer.get(), 0) == 1) {
      char buffer[4096];
      int error = 0;
      long got = receiveBytes(pair_.peer.get(), buffer, sizeof buffer, error);
      if (got <= 0) {
        break;
      }
      received_.append(buffer, static_cast<size_t>(got));
    }
    return received_;
  }
  // Waits until the client has received at least `bytes` bytes.
  void waitForBytes(size_t bytes) {
    ASSERT_TRUE(test::waitUntil([&] { return sent().size() >= bytes; })) << sent().size();
  }
  // Ends the registration; what the client is still owed leaves with the flush.
  size_t finish(int32_t id) {
    size_t firstIndex = stopPrevention(id);
    EXPECT_TRUE(client_.flush());
    sleepMs(20);
    return firstIndex;
  }
  std::string firstLines(size_t count) {
    std::string text;
    for (size_t i = 0; i < count && i < message_.headerLines.size(); ++i) {
      text += message_.headerLines[i];
    }
    return text;
  }

  test::AttachedPair connection_;
  test::LoopbackPair& pair_ = connection_.pair;
  LineSocket& client_ = connection_.socket;
  std::string received_;
  FetchRecord fetch_;
  Message message_;
};

TEST_F(PreventionTest, TimeoutLinesThenHeaderBytesUpToTheSubject) {
  fetch_.expectedSize = 50000; // still allows one timeout line
  message_.headerLines = {"From: a@example.org\r\n", "To: b@example.net\r\n",
                          "Subject: not yet tagged\r\n", "Date: today\r\n"};
  int32_t id = startPrevention(&client_, message_);
  std::string expected =
      std::string(kTimeoutPreventionLine) + "From: a@example.org\r\n" + "To: b@example.net\r\n";
  waitForBytes(expected.size());
  sleepMs(50); // more sweeps: the Subject line is never started
  EXPECT_EQ(sent(), expected);
  size_t firstIndex = finish(id);
  EXPECT_EQ(firstIndex, 3u);
  EXPECT_EQ(firstLines(firstIndex), expected) << "the message now starts with what was sent";
}

TEST_F(PreventionTest, AHalfSentLineIsCompletedAndTheSessionGoesOnAfterIt) {
  fetch_.expectedSize = 1;
  message_.headerLines = {"Received: from relay.example by mx.example\r\n",
                          "Subject: tagged later\r\n"};
  int32_t id = startPrevention(&client_, message_);
  waitForBytes(kTimeoutPreventionLine.size() + 3);
  size_t firstIndex = finish(id);
  EXPECT_EQ(firstIndex, 2u);
  EXPECT_EQ(sent(), firstLines(2));
  // Nothing more arrives once the registration has ended.
  sleepMs(30);
  EXPECT_EQ(sent(), firstLines(2));
}

TEST_F(PreventionTest, AMessageThatStartsWithItsSubjectOnlyGetsTimeoutLines) {
  fetch_.expectedSize = 3 * 29 * 4096;
  message_.headerLines = {"Subject: first\r\n", "From: a@example.org\r\n"};
  int32_t id = startPrevention(&client_, message_);
  waitForBytes(3 * kTimeoutPreventionLine.size());
  sleepMs(50);
  EXPECT_EQ(sent().size(), 3 * kTimeoutPreventionLine.size());
  EXPECT_EQ(finish(id), 3u);
  EXPECT_EQ(message_.headerLines.size(), 5u);
  EXPECT_EQ(message_.headerLines[3], "Subject: first\r\n");
}

TEST_F(PreventionTest, AQuickRetrievalReceivesNothing) {
  // Long enough that no sweep comes before the stop; short enough not to hold up
  // the end of the test program, whose exit waits for the sleeping thread.
  setPreventionIntervalForTests(1000);
  fetch_.expectedSize = 10000000;
  message_.headerLines = {"From: a@example.org\r\n"};
  int32_t id = startPrevention(&client_, message_);
  EXPECT_EQ(finish(id), 0u);
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(message_.headerLines.size(), 1u);
}

TEST_F(PreventionTest, SeveralRetrievalsWithOrWithoutAClientAreServedByOneThread) {
  // A pre-fetch has no client, yet its lines are counted.
  FetchRecord otherFetch;
  Message prefetched;
  prefetched.fetch = &otherFetch;
  prefetched.headerLines = {"Subject: pre-fetched\r\n"};
  int32_t third = startPrevention(nullptr, prefetched);
  fetch_.expectedSize = 1;
  message_.headerLines = {"Subject: this\r\n"};
  int32_t first = startPrevention(&client_, message_);
  EXPECT_NE(first, third);
  waitForBytes(kTimeoutPreventionLine.size());
  EXPECT_EQ(finish(first), 1u);
  EXPECT_EQ(stopPrevention(first), 0u) << "an ended registration is gone";
  EXPECT_EQ(stopPrevention(third), 1u);
  EXPECT_EQ(prefetched.headerLines[0], kTimeoutPreventionLine);
}

// A client that stopped reading must not hold up anybody else's retrieval: the
// sends never wait for it, and what it is owed goes out with its own session's
// output once that session's retrieval ends.
TEST_F(PreventionTest, AClientThatStopsReadingHoldsUpNobody) {
  test::AttachedPair stuckConnection;
  test::LoopbackPair& stuckPair = stuckConnection.pair;
  LineSocket& stuck = stuckConnection.socket;
  size_t filler = test::fillUntilFull(stuckPair.ours);
  FetchRecord bigFetch;
  bigFetch.expectedSize = 10 * 29 * 4096; // ten timeout lines allowed
  Message stuckMessage;
  stuckMessage.fetch = &bigFetch;
  stuckMessage.headerLines = {"From: a@example.org\r\n"};
  int32_t stuckId = startPrevention(&stuck, stuckMessage);
  // Were the thread to wait for the stuck client, nothing below would happen
  // until it gives up after ten seconds.
  std::atomic<bool> done{false};
  std::thread giveUp([&] {
    for (int i = 0; i < 200 && !done; ++i) {
      sleepMs(50);
    }
    if (!done) {
      stuckPair.peer.reset();
    }
  });

  fetch_.expectedSize = 1;
  message_.headerLines = {"Subject: this\r\n"};
  int32_t id = startPrevention(&client_, message_);
  waitForBytes(kTimeoutPreventionLine.size());
  EXPECT_EQ(finish(id), 1u);
  size_t owedLines = stopPrevention(stuckId);
  done = true;
  giveUp.join();
  EXPECT_GE(owedLines, 1u);
  EXPECT_EQ(stuckMessage.headerLines.size(), owedLines + 1);

  // Once it reads, the stuck client gets exactly the lines counted for it.
  std::string expected;
  for (size_t i = 0; i < owedLines; ++i) {
    expected += kTimeoutPreventionLine;
  }
  std::string received;
  std::thread reader([&] { received = stuckPair.peer.receive(filler + expected.size()); });
  EXPECT_TRUE(stuck.flush());
  reader.join();
  ASSERT_EQ(received.size(), filler + expected.size());
  EXPECT_EQ(received.substr(filler), expected);
}

} // namespace
} // namespace km
