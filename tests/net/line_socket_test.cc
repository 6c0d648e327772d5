#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "loopback.h"
#include "net/line_socket.h"
#include "net/socket_errors.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::connectedPair;
using test::LoopbackPair;

std::string text(const BlockReader& br) {
  return std::string(br.run());
}

// Reads until the terminator was found or the source ended.
std::string readRun(BlockReader& br) {
  std::string run;
  while (!br.terminatorFound() && br.read()) {
    run += text(br);
  }
  return run;
}

// A LineSocket over one end of a real loopback connection.
class LineSocketTest : public ::testing::Test {
protected:
  void SetUp() override {
    pair_ = connectedPair();
    ls_.attach(pair_.ours);
  }
  void TearDown() override { lowerStopFlagForTests(); }

  // Ties ls_ to a partner connection whose own peer has closed.
  void tieToEndedPartner(LineSocket& partner) {
    partnerPair_ = connectedPair();
    partner.attach(partnerPair_.ours);
    ls_.setPartner(&partner);
    partnerPair_.peer.close();
  }

  LoopbackPair pair_;
  LineSocket ls_;
  LoopbackPair partnerPair_;
};

TEST_F(LineSocketTest, OnlyCrLfEndsALineEveryByteIsDataAndPushedBackBytesComeFirst) {
  std::string bytes{'\xff', '\0', '\xfe', '\r', '\n'};
  ASSERT_TRUE(pair_.peer.send("USER a\nPASS b\r\n" + bytes + "world\r\n"));
  EXPECT_EQ(ls_.readLine(5), "USER a\nPASS b\r\n");
  EXPECT_EQ(ls_.readChar(5), 255);
  EXPECT_EQ(ls_.readChar(5), 0);
  EXPECT_EQ(ls_.readLine(5), bytes.substr(2));
  EXPECT_EQ(ls_.readChar(5), 'w');
  ls_.unread("hello w", 7);
  EXPECT_EQ(ls_.readLine(5), "hello world\r\n");
}

TEST_F(LineSocketTest, AServerConnectionTakesABareLineFeedAsALineEnd) {
  ls_.setBareLineFeedEndsLine(true);
  ASSERT_TRUE(pair_.peer.send("+OK a\nb\r\n\n"));
  EXPECT_EQ(ls_.readLine(5), "+OK a\r\n");
  EXPECT_EQ(ls_.readLine(5), "b\r\n");
  EXPECT_EQ(ls_.readLine(5), "\r\n");
}

TEST_F(LineSocketTest, APartialLineBeforeTheEndIsReturnedOnceWithoutLineEnd) {
  ASSERT_TRUE(pair_.peer.send("QUIT"));
  pair_.peer.close();
  EXPECT_EQ(ls_.readLine(5), "QUIT");
  EXPECT_EQ(ls_.readLine(5), std::nullopt);
  EXPECT_EQ(ls_.state(), SocketState::Closed);
  EXPECT_EQ(ls_.readChar(5), kReadClosed) << "the end is final";
}

TEST_F(LineSocketTest, TimeOutsKeepThePartialLineForTheNextCall) {
  std::string endless(100000, 'z');
  ASSERT_TRUE(pair_.peer.send("US" + endless));
  EXPECT_EQ(ls_.readLine(1), std::nullopt);
  EXPECT_EQ(ls_.state(), SocketState::Open) << "a time-out leaves the connection usable";
  EXPECT_EQ(ls_.readChar(0), 'U') << "the partial line went back in front";
  ls_.unread("U", 1);
  EXPECT_EQ(ls_.readLine(1), std::nullopt);
  ASSERT_TRUE(pair_.peer.send("\r\n"));
  EXPECT_EQ(ls_.readLine(5), "US" + endless + "\r\n") << "nothing was lost across the time-outs";
}

TEST_F(LineSocketTest, LinesFarLongerThanTheInputBufferComeWhole) {
  std::string huge(kLongestLine - 100, 'a');
  for (size_t i = 0; i < huge.size(); i += 4099) {
    huge[i] = '\n'; // lone line feeds do not end it
  }
  std::thread writer([&] { EXPECT_TRUE(pair_.peer.send(huge + "\r\nafter\r\n")); });
  std::optional<std::string> line = ls_.readLine(10);
  writer.join();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), huge.size() + 2);
  EXPECT_EQ(*line, huge + "\r\n");
  EXPECT_EQ(ls_.readLine(5), "after\r\n");
}

TEST_F(LineSocketTest, AResetMidLineGivesThePartialLineThenAnErrorThatIsNotReported) {
  ASSERT_TRUE(pair_.peer.send("RETR 1"));
  // Let the bytes arrive before the reset overtakes them.
  EXPECT_EQ(waitReadable(ls_.handle(), 5000), 1);
  sleepMs(50);
  pair_.peer.reset();
  std::optional<std::string> first = ls_.readLine(5);
  EXPECT_TRUE(first == std::string("RETR 1") || first == std::nullopt);
  EXPECT_EQ(ls_.readLine(5), std::nullopt);
  EXPECT_NE(ls_.state(), SocketState::Open);
  if (ls_.state() == SocketState::Error) {
    EXPECT_EQ(ls_.lastError(), wsa::kConnectionReset);
    EXPECT_FALSE(isReportableSocketError(ls_.lastError()));
  }
}

TEST_F(LineSocketTest, APartnerWhosePeerClosedEndsAWaitUnlessItStillHasInput) {
  LineSocket partner;
  tieToEndedPartner(partner);
  partner.unread("+OK\r\n", 5);
  EXPECT_EQ(ls_.readLine(1), std::nullopt);
  EXPECT_EQ(ls_.state(), SocketState::Open) << "timed out, not ended: the partner still has input";
  EXPECT_EQ(partner.readLine(1), "+OK\r\n");
  EXPECT_EQ(ls_.readLine(-1), std::nullopt);
  EXPECT_EQ(ls_.state(), SocketState::Closed);
  EXPECT_EQ(partner.state(), SocketState::Open) << "the partner finds out on its own read";
}

// A peer that keeps a connection busy must not keep a session whose other side
// has gone: the wait ends soon whether the peer stalls or trickles bytes, for line
// reads and for block reads alike.
TEST_F(LineSocketTest, AnEndedPartnerEndsEveryWaitWhetherThePeerStallsOrTrickles) {
  struct Case {
    const char* name;
    bool trickle;
    bool block;
  };
  for (const Case& c : {Case{"stall, line", false, false}, Case{"trickle, line", true, false},
                        Case{"stall, block", false, true}, Case{"trickle, block", true, true}}) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair = connectedPair();
    LineSocket ls;
    ls.attach(pair.ours);
    LineSocket partner;
    LoopbackPair partnerPair = connectedPair();
    partner.attach(partnerPair.ours);
    pairSession(partner, ls);
    // The peer sends the start of a line, then a byte every 50 ms (or nothing),
    // and ends the line after ten seconds; the partner's peer leaves after a
    // quarter of a second. The wait must end long before the line does.
    std::atomic<bool> done{false};
    ASSERT_TRUE(pair.peer.send("+OK"));
    std::thread peer([&] {
      for (int i = 0; i < 200 && !done; ++i) {
        sleepMs(50);
        if (i == 5) {
          partnerPair.peer.close();
        }
        if (c.trickle) {
          pair.peer.send("x");
        }
      }
      pair.peer.send("\r\n");
    });
    if (c.block) {
      BlockReader br(ls, 1 << 20, "\r\n.\r\n", 250);
      int reads = 0;
      while (br.read() && ++reads < 40) {
      }
      EXPECT_LT(reads, 40) << "the reads kept going for ten seconds";
    } else {
      // What came is handed out as a cut-off line, never as a whole one.
      std::optional<std::string> line = ls.readLine(-1);
      EXPECT_TRUE(!line || line->back() != '\n') << *line;
      EXPECT_EQ(ls.readLine(-1), std::nullopt);
    }
    EXPECT_EQ(ls.state(), SocketState::Closed);
    done = true;
    peer.join();
  }
}

// A send to a peer that stopped reading waits, but not past shutdown, the idle
// limit, or (on the server side of a session) the end of the client.
TEST_F(LineSocketTest, ASendToAPeerThatStopsReadingEndsOnShutdownIdleLimitOrTheClientsEnd) {
  enum class Ending { Shutdown, IdleLimit, ClientGone };
  for (Ending ending : {Ending::Shutdown, Ending::IdleLimit, Ending::ClientGone}) {
    SCOPED_TRACE(static_cast<int>(ending));
    LoopbackPair pair = connectedPair();
    LineSocket ls;
    ls.attach(pair.ours);
    LineSocket client;
    LoopbackPair clientPair = connectedPair();
    client.attach(clientPair.ours);
    pairSession(client, ls);
    test::fillUntilFull(pair.ours);
    std::thread ender([&] {
      sleepMs(200);
      if (ending == Ending::Shutdown) {
        raiseStopFlag();
      } else if (ending == Ending::ClientGone) {
        clientPair.peer.close();
      }
    });
    ls.setIdleLimit(ending == Ending::IdleLimit ? 1 : -1);
    // Without an ending the peer gives up after ten seconds, failing the send with
    // a reset instead.
    std::thread watchdog([&] {
      for (int i = 0; i < 200 && ls.state() == SocketState::Open; ++i) {
        sleepMs(50);
      }
      pair.peer.reset();
    });
    std::string block(1 << 20, 'b');
    EXPECT_FALSE(ls.sendNow(block.data(), block.size()));
    ender.join();
    watchdog.join();
    if (ending == Ending::IdleLimit) {
      EXPECT_EQ(ls.state(), SocketState::Error);
      EXPECT_EQ(ls.lastError(), wsa::kTimedOut);
      EXPECT_FALSE(isReportableSocketError(ls.lastError())) << "an idle client is no error to show";
    } else {
      EXPECT_EQ(ls.state(), SocketState::Closed);
    }
    lowerStopFlagForTests();
  }
}

TEST_F(LineSocketTest, AClientSilentForTheIdleLimitFailsQuietlyAndATimeOutStaysUsable) {
  ls_.setIdleLimit(1);
  EXPECT_EQ(ls_.readLine(5), std::nullopt) << "the idle limit ends even a longer wait";
  EXPECT_EQ(ls_.state(), SocketState::Error);
  EXPECT_EQ(ls_.lastError(), wsa::kTimedOut);

  LoopbackPair other = connectedPair();
  LineSocket patient;
  patient.attach(other.ours);
  patient.setIdleLimit(10);
  EXPECT_EQ(patient.readLine(1), std::nullopt);
  EXPECT_EQ(patient.state(), SocketState::Open) << "the caller's shorter time-out leaves it usable";
}

TEST_F(LineSocketTest, WaitForEitherReportsTheSideWithInputTheEndOrTheTimeOut) {
  LoopbackPair other = connectedPair();
  LineSocket second;
  second.attach(other.ours);
  EXPECT_EQ(waitForEither(ls_, second, 0), kReadTimeout);
  ASSERT_TRUE(other.peer.send("+ \r\n"));
  EXPECT_EQ(waitForEither(ls_, second, 5), 1);
  EXPECT_EQ(second.readLine(5), "+ \r\n");
  ls_.unread("kept", 4);
  EXPECT_EQ(waitForEither(ls_, second, 5), 0) << "buffered bytes count";
  for (char expected : std::string("kept")) {
    EXPECT_EQ(ls_.readChar(0), expected);
  }
  other.peer.close();
  EXPECT_EQ(waitForEither(ls_, second, 5), 1) << "an end counts as input";
  LoopbackPair third = connectedPair();
  LineSocket quiet;
  quiet.attach(third.ours);
  raiseStopFlag();
  EXPECT_EQ(waitForEither(quiet, ls_, -1), kReadClosed);
}

TEST_F(LineSocketTest, SendingWithoutWaitingTakesWhatFitsAndNeverBlocks) {
  std::string block(65536, 's');
  size_t taken = 0;
  long sent = 0;
  while ((sent = ls_.sendWithoutWaiting(block.data(), block.size())) > 0) {
    taken += static_cast<size_t>(sent);
  }
  EXPECT_EQ(sent, 0) << "no room is no failure";
  EXPECT_EQ(ls_.state(), SocketState::Open);
  EXPECT_EQ(pair_.peer.receive(taken).size(), taken);
  EXPECT_GT(ls_.sendWithoutWaiting("x", 1), 0) << "room again once the peer reads";
  pair_.peer.reset();
  for (int i = 0; i < 100 && sent >= 0; ++i) {
    sent = ls_.sendWithoutWaiting(block.data(), block.size());
    sleepMs(10);
  }
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(ls_.state(), SocketState::Open) << "the owner's state is left alone";
}

TEST_F(LineSocketTest, TheStopFlagEndsAnEndlessWait) {
  std::thread stopper([] {
    sleepMs(200);
    raiseStopFlag();
  });
  ASSERT_TRUE(pair_.peer.send("half a li"));
  EXPECT_EQ(ls_.readLine(-1), std::nullopt) << "a line cut by shutdown is not a command";
  stopper.join();
  EXPECT_EQ(ls_.state(), SocketState::Closed);
}

TEST_F(LineSocketTest, WritesAreBufferedUntilFullOrFlushedAndSendNowKeepsTheOrder) {
  std::string first(4000, 'a');
  std::string second(200, 'b');
  ASSERT_TRUE(ls_.write(first.data(), first.size()));
  ASSERT_TRUE(ls_.write(second.data(), second.size()));
  EXPECT_EQ(ls_.bufferedOutput(), 104u);
  EXPECT_EQ(pair_.peer.receive(4096), first + std::string(96, 'b'));
  EXPECT_EQ(waitReadable(pair_.peer.get(), 100), 0) << "the last 104 bytes wait for the flush";
  ASSERT_TRUE(ls_.flush());
  EXPECT_EQ(pair_.peer.receive(104), std::string(104, 'b'));

  ASSERT_TRUE(ls_.writeString("one "));
  std::string big(300000, 'x');
  ASSERT_TRUE(ls_.sendNow(big.data(), big.size()));
  ASSERT_TRUE(ls_.sendString(" two"));
  EXPECT_EQ(pair_.peer.receive(4 + big.size() + 4), "one " + big + " two");

  // A larger output buffer collects more before it sends; made smaller, it still
  // keeps what it holds.
  ls_.setOutputCapacity(10000);
  ASSERT_TRUE(ls_.write(first.data(), first.size()));
  ASSERT_TRUE(ls_.write(first.data(), first.size()));
  EXPECT_EQ(ls_.bufferedOutput(), 8000u);
  EXPECT_EQ(waitReadable(pair_.peer.get(), 100), 0) << "nothing sent before the buffer fills";
  ls_.setOutputCapacity(1);
  ASSERT_TRUE(ls_.write(second.data(), second.size()));
  EXPECT_EQ(pair_.peer.receive(8000), first + first);
  ASSERT_TRUE(ls_.flush());
  EXPECT_EQ(pair_.peer.receive(200), second);
}

TEST_F(LineSocketTest, SendingToAPeerThatHasGoneFailsWithAnErrorState) {
  pair_.peer.reset();
  std::string block(65536, 'x');
  bool sent = true;
  for (int i = 0; i < 100 && sent; ++i) {
    sent = ls_.sendNow(block.data(), block.size());
  }
  EXPECT_FALSE(sent);
  EXPECT_EQ(ls_.state(), SocketState::Error);
  EXPECT_FALSE(isReportableSocketError(ls_.lastError())) << ls_.lastError();
}

TEST_F(LineSocketTest, PollInputSeesWaitingBytesAndTheEnd) {
  EXPECT_FALSE(ls_.pollInput());
  ASSERT_TRUE(pair_.peer.send("x"));
  ASSERT_EQ(waitReadable(ls_.handle(), 5000), 1);
  EXPECT_TRUE(ls_.pollInput());
  EXPECT_EQ(ls_.readChar(0), 'x');
  pair_.peer.close();
  ASSERT_EQ(waitReadable(ls_.handle(), 5000), 1);
  EXPECT_TRUE(ls_.pollInput());
  EXPECT_EQ(ls_.state(), SocketState::Closed);
}

TEST_F(LineSocketTest, CloseIsSafeTwiceAndEndsReads) {
  ls_.close();
  ls_.close();
  EXPECT_EQ(ls_.readChar(0), kReadClosed);
  EXPECT_EQ(pair_.peer.receiveAll(), "") << "the peer sees the end";
}

TEST(MemoryLineSocket, ReadsWhatWasPushedBackCollectsWritesAndFailsOverlongLines) {
  LineSocket ls;
  ls.useMemory();
  const std::string input = "Subject: hi\r\nlone\nfeed\r\nrest";
  ls.unread(input.data(), input.size());
  EXPECT_EQ(ls.readLine(0), "Subject: hi\r\n");
  EXPECT_EQ(ls.readLine(0), "lone\nfeed\r\n");
  EXPECT_EQ(ls.readLine(0), "rest");
  EXPECT_EQ(ls.readLine(0), std::nullopt);
  EXPECT_EQ(ls.state(), SocketState::Closed);

  LineSocket out;
  out.useMemory();
  std::string big(10000, 'q');
  ASSERT_TRUE(out.writeString("a"));
  ASSERT_TRUE(out.write(big.data(), big.size()));
  ASSERT_TRUE(out.sendString("z"));
  EXPECT_EQ(out.memoryOutput(), "a" + big + "z");
}

TEST_F(LineSocketTest, ALineBeyondTheLimitFailsTheConnectionAndAGrownBufferShrinksBack) {
  // A partial line kept across a time-out grows the input buffer...
  std::string partial(200000, 'p');
  ASSERT_TRUE(pair_.peer.send(partial));
  EXPECT_EQ(ls_.readLine(1), std::nullopt);
  EXPECT_GE(ls_.inputCapacity(), partial.size());
  ASSERT_TRUE(pair_.peer.send("\r\nnext\r\n"));
  EXPECT_EQ(ls_.readLine(5), partial + "\r\n");
  EXPECT_EQ(ls_.readLine(5), "next\r\n");
  // ...which goes back to its usual size once drained.
  ASSERT_TRUE(pair_.peer.send("more\r\n"));
  EXPECT_EQ(ls_.readLine(5), "more\r\n");
  EXPECT_EQ(ls_.inputCapacity(), kLineSocketInputSize);

  // A line beyond the connection's limit fails it, whatever else is sent.
  ls_.setLineLimit(1000);
  std::thread writer([&] { pair_.peer.send(std::string(1 << 20, 'x')); });
  EXPECT_EQ(ls_.readLine(5), std::nullopt);
  EXPECT_EQ(ls_.state(), SocketState::Error);
  EXPECT_EQ(ls_.lastError(), wsa::kMessageSize);
  EXPECT_TRUE(isReportableSocketError(ls_.lastError()));
  ls_.close();
  writer.join();
}

// BlockReader over real connections.
using BlockReaderTest = LineSocketTest;

TEST_F(BlockReaderTest, ATerminatorSplitAcrossReadsIsFoundAndTheEarliestWins) {
  BlockReader br(ls_, 1 << 20, "\r\n.\r\n", 300);
  ASSERT_TRUE(pair_.peer.send("+OK\r\nbody\r\n."));
  ASSERT_TRUE(br.read());
  std::string gathered = text(br);
  EXPECT_FALSE(br.terminatorFound());
  ASSERT_TRUE(pair_.peer.send("\r\nsecond\r\n.\r\nNEXT\r\n"));
  gathered += readRun(br);
  EXPECT_TRUE(br.terminatorFound());
  EXPECT_EQ(gathered, "+OK\r\nbody\r\n.\r\n");
  EXPECT_EQ(ls_.readLine(5), "second\r\n") << "bytes past the terminator go back";
}

TEST_F(BlockReaderTest, RunsNeverExceedTheLimitAndBinaryAndBufferedBytesPassUnchanged) {
  std::string binary;
  for (int i = 0; i < 256; ++i) {
    binary += static_cast<char>(i);
  }
  ASSERT_TRUE(pair_.peer.send("HEAD\r\n" + binary + binary));
  EXPECT_EQ(ls_.readLine(5), "HEAD\r\n");
  pair_.peer.close();
  BlockReader br(ls_, 10, "", 2000);
  std::string gathered;
  while (br.read()) {
    EXPECT_LE(br.run().size(), 10u);
    gathered += text(br);
  }
  EXPECT_EQ(gathered, binary + binary);
  EXPECT_EQ(ls_.state(), SocketState::Closed);
}

TEST_F(BlockReaderTest, ATimeBudgetWithNothingArrivingKeepsTheConnection) {
  BlockReader br(ls_, 100, "\r\n.\r\n", 200);
  EXPECT_TRUE(br.read());
  EXPECT_EQ(br.run().size(), 0u);
  EXPECT_EQ(ls_.state(), SocketState::Open);
}

TEST_F(BlockReaderTest, APartnerThatEndedOrTheStopFlagEndsTheReadAndTheConnection) {
  LineSocket partner;
  tieToEndedPartner(partner);
  ASSERT_TRUE(pair_.peer.send("data"));
  ASSERT_EQ(waitReadable(ls_.handle(), 5000), 1);
  BlockReader br(ls_, 100, "", 5000);
  EXPECT_FALSE(br.read());
  EXPECT_EQ(ls_.state(), SocketState::Closed);

  LoopbackPair other = connectedPair();
  LineSocket waiting;
  waiting.attach(other.ours);
  raiseStopFlag();
  BlockReader stopped(waiting, 100, "", 60000);
  EXPECT_FALSE(stopped.read()) << "a caller looping on read must not spin";
  EXPECT_EQ(waiting.state(), SocketState::Closed);
}

TEST(BlockReaderMemory, ReadsAMemorySourceToItsEnd) {
  LineSocket ls;
  ls.useMemory();
  const std::string input = "line\r\n.\r\nafter";
  ls.unread(input.data(), input.size());
  BlockReader br(ls, 1000, "\r\n.\r\n", 0);
  ASSERT_TRUE(br.read());
  EXPECT_TRUE(br.terminatorFound());
  EXPECT_EQ(text(br), "line\r\n.\r\n");
  EXPECT_EQ(ls.readLine(0), "after");
}

TEST(FindBytes, FindsTheFirstOccurrenceOfShortAndLongNeedles) {
  std::string hay = "abc\r\n.\r\nxyz\r\n.\r\n";
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "\r\n.\r\n", 5), 3);
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "z\r\n.\r\n", 6), 10);
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "\r\n.\r\n!", 6), -1);
  EXPECT_EQ(findBytes(hay.data(), 4, "\r\n.\r\n", 5), -1) << "a needle longer than the text";
  EXPECT_EQ(findBytes("aaab", 4, "ab", 2), 2);
  EXPECT_EQ(findBytes("a\0b\0c", 5, "\0c", 2), 3);
}

TEST(SocketErrors, OrdinaryEndsAreNotReportedAndTextsNameTheCode) {
  test::loadShippedLanguageTable();
  for (int quiet : {0, 10038, 10053, 10054, 10057, 10058, 10060, 10101}) {
    EXPECT_FALSE(isReportableSocketError(quiet)) << quiet;
  }
  for (int loud : {10061, 10048, 11001, 10013, 12345}) {
    EXPECT_TRUE(isReportableSocketError(loud)) << loud;
  }
  EXPECT_NE(socketErrorText(10022).find("WSAEINVAL"), std::string::npos);
  EXPECT_NE(socketErrorText(10099).find("10099"), std::string::npos);
  EXPECT_EQ(socketErrorText(10061).find("10061"), std::string::npos) << "a message of its own";
}

} // namespace
} // namespace km
