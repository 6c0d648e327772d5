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
  return std::string(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
}

// Reads until the terminator was found or the source ended.
std::string readRun(BlockReader& br) {
  std::string run;
  while (!br.terminatorFound && read(br)) {
    run += text(br);
  }
  return run;
}

// A LineSocket over one end of a real loopback connection.
class LineSocketTest : public ::testing::Test {
protected:
  void SetUp() override {
    pair_ = connectedPair();
    initSocket(ls_, pair_.ours);
  }
  void TearDown() override { lowerStopFlagForTests(); }

  // Ties ls_ to a partner connection whose own peer has closed.
  void tieToEndedPartner(LineSocket& partner) {
    partnerPair_ = connectedPair();
    initSocket(partner, partnerPair_.ours);
    ls_.dependSocket = &partner;
    partnerPair_.peer.close();
  }

  LoopbackPair pair_;
  LineSocket ls_;
  LoopbackPair partnerPair_;
};

TEST_F(LineSocketTest, OnlyCrLfEndsALineEveryByteIsDataAndPushedBackBytesComeFirst) {
  std::string bytes{'\xff', '\0', '\xfe', '\r', '\n'};
  ASSERT_TRUE(pair_.peer.send("USER a\nPASS b\r\n" + bytes + "world\r\n"));
  EXPECT_EQ(readLine(ls_, 5), "USER a\nPASS b\r\n");
  EXPECT_EQ(readChar(ls_, 5), 255);
  EXPECT_EQ(readChar(ls_, 5), 0);
  EXPECT_EQ(readLine(ls_, 5), bytes.substr(2));
  EXPECT_EQ(readChar(ls_, 5), 'w');
  unread(ls_, "hello w", 7);
  EXPECT_EQ(readLine(ls_, 5), "hello world\r\n");
}

TEST_F(LineSocketTest, AServerConnectionTakesABareLineFeedAsALineEnd) {
  ls_.bareLineFeedEndsLine = true;
  ASSERT_TRUE(pair_.peer.send("+OK a\nb\r\n\n"));
  EXPECT_EQ(readLine(ls_, 5), "+OK a\r\n");
  EXPECT_EQ(readLine(ls_, 5), "b\r\n");
  EXPECT_EQ(readLine(ls_, 5), "\r\n");
}

TEST_F(LineSocketTest, APartialLineBeforeTheEndIsReturnedOnceWithoutLineEnd) {
  ASSERT_TRUE(pair_.peer.send("QUIT"));
  pair_.peer.close();
  EXPECT_EQ(readLine(ls_, 5), "QUIT");
  EXPECT_EQ(readLine(ls_, 5), std::nullopt);
  EXPECT_EQ(ls_.state, LS_CLOSED);
  EXPECT_EQ(readChar(ls_, 5), LS_CLOSED) << "the end is final";
}

TEST_F(LineSocketTest, TimeOutsKeepThePartialLineForTheNextCall) {
  std::string endless(100000, 'z');
  ASSERT_TRUE(pair_.peer.send("US" + endless));
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_OPEN) << "a time-out leaves the connection usable";
  EXPECT_EQ(readChar(ls_, 0), 'U') << "the partial line went back in front";
  unread(ls_, "U", 1);
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  ASSERT_TRUE(pair_.peer.send("\r\n"));
  EXPECT_EQ(readLine(ls_, 5), "US" + endless + "\r\n") << "nothing was lost across the time-outs";
}

TEST_F(LineSocketTest, LinesFarLongerThanTheInputBufferComeWhole) {
  std::string huge(kLongestLine - 100, 'a');
  for (size_t i = 0; i < huge.size(); i += 4099) {
    huge[i] = '\n'; // lone line feeds do not end it
  }
  std::thread writer([&] { EXPECT_TRUE(pair_.peer.send(huge + "\r\nafter\r\n")); });
  std::optional<std::string> line = readLine(ls_, 10);
  writer.join();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), huge.size() + 2);
  EXPECT_EQ(*line, huge + "\r\n");
  EXPECT_EQ(readLine(ls_, 5), "after\r\n");
}

TEST_F(LineSocketTest, AResetMidLineGivesThePartialLineThenAnErrorThatIsNotReported) {
  ASSERT_TRUE(pair_.peer.send("RETR 1"));
  // Let the bytes arrive before the reset overtakes them.
  EXPECT_EQ(waitReadable(ls_.sock, 5000), 1);
  sleepMs(50);
  pair_.peer.reset();
  std::optional<std::string> first = readLine(ls_, 5);
  EXPECT_TRUE(first == std::string("RETR 1") || first == std::nullopt);
  EXPECT_EQ(readLine(ls_, 5), std::nullopt);
  EXPECT_NE(ls_.state, LS_OPEN);
  if (ls_.state == LS_ERROR) {
    EXPECT_EQ(ls_.lastError, wsa::kConnectionReset);
    EXPECT_FALSE(isReportableSocketError(ls_.lastError));
  }
}

TEST_F(LineSocketTest, APartnerWhosePeerClosedEndsAWaitUnlessItStillHasInput) {
  LineSocket partner;
  tieToEndedPartner(partner);
  unread(partner, "+OK\r\n", 5);
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_OPEN) << "timed out, not ended: the partner still has input";
  EXPECT_EQ(readLine(partner, 1), "+OK\r\n");
  EXPECT_EQ(readLine(ls_, -1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_CLOSED);
  EXPECT_EQ(partner.state, LS_OPEN) << "the partner finds out on its own read";
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
    initSocket(ls, pair.ours);
    LineSocket partner;
    LoopbackPair partnerPair = connectedPair();
    initSocket(partner, partnerPair.ours);
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
      BlockReader br;
      init(br, ls, 1 << 20, "\r\n.\r\n", 250);
      int reads = 0;
      while (read(br) && ++reads < 40) {
      }
      EXPECT_LT(reads, 40) << "the reads kept going for ten seconds";
    } else {
      // What came is handed out as a cut-off line, never as a whole one.
      std::optional<std::string> line = readLine(ls, -1);
      EXPECT_TRUE(!line || line->back() != '\n') << *line;
      EXPECT_EQ(readLine(ls, -1), std::nullopt);
    }
    EXPECT_EQ(ls.state, LS_CLOSED);
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
    initSocket(ls, pair.ours);
    LineSocket client;
    LoopbackPair clientPair = connectedPair();
    initSocket(client, clientPair.ours);
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
    ls.idleLimitSec = ending == Ending::IdleLimit ? 1 : -1;
    // Without an ending the peer gives up after ten seconds, failing the send with
    // a reset instead.
    std::thread watchdog([&] {
      for (int i = 0; i < 200 && ls.state == LS_OPEN; ++i) {
        sleepMs(50);
      }
      pair.peer.reset();
    });
    std::string block(1 << 20, 'b');
    EXPECT_FALSE(sendNow(&ls, block.data(), block.size()));
    ender.join();
    watchdog.join();
    if (ending == Ending::IdleLimit) {
      EXPECT_EQ(ls.state, LS_ERROR);
      EXPECT_EQ(ls.lastError, wsa::kTimedOut);
      EXPECT_FALSE(isReportableSocketError(ls.lastError)) << "an idle client is no error to show";
    } else {
      EXPECT_EQ(ls.state, LS_CLOSED);
    }
    lowerStopFlagForTests();
  }
}

TEST_F(LineSocketTest, AClientSilentForTheIdleLimitFailsQuietlyAndATimeOutStaysUsable) {
  ls_.idleLimitSec = 1;
  EXPECT_EQ(readLine(ls_, 5), std::nullopt) << "the idle limit ends even a longer wait";
  EXPECT_EQ(ls_.state, LS_ERROR);
  EXPECT_EQ(ls_.lastError, wsa::kTimedOut);

  LoopbackPair other = connectedPair();
  LineSocket patient;
  initSocket(patient, other.ours);
  patient.idleLimitSec = 10;
  EXPECT_EQ(readLine(patient, 1), std::nullopt);
  EXPECT_EQ(patient.state, LS_OPEN) << "the caller's shorter time-out leaves it usable";
}

TEST_F(LineSocketTest, WaitForEitherReportsTheSideWithInputTheEndOrTheTimeOut) {
  LoopbackPair other = connectedPair();
  LineSocket second;
  initSocket(second, other.ours);
  EXPECT_EQ(waitForEither(ls_, second, 0), LS_TIMEOUT);
  ASSERT_TRUE(other.peer.send("+ \r\n"));
  EXPECT_EQ(waitForEither(ls_, second, 5), 1);
  EXPECT_EQ(readLine(second, 5), "+ \r\n");
  unread(ls_, "kept", 4);
  EXPECT_EQ(waitForEither(ls_, second, 5), 0) << "buffered bytes count";
  for (char expected : std::string("kept")) {
    EXPECT_EQ(readChar(ls_, 0), expected);
  }
  other.peer.close();
  EXPECT_EQ(waitForEither(ls_, second, 5), 1) << "an end counts as input";
  LoopbackPair third = connectedPair();
  LineSocket quiet;
  initSocket(quiet, third.ours);
  raiseStopFlag();
  EXPECT_EQ(waitForEither(quiet, ls_, -1), LS_CLOSED);
}

TEST_F(LineSocketTest, SendingWithoutWaitingTakesWhatFitsAndNeverBlocks) {
  std::string block(65536, 's');
  size_t taken = 0;
  long sent = 0;
  while ((sent = sendWithoutWaiting(ls_, block.data(), block.size())) > 0) {
    taken += static_cast<size_t>(sent);
  }
  EXPECT_EQ(sent, 0) << "no room is no failure";
  EXPECT_EQ(ls_.state, LS_OPEN);
  EXPECT_EQ(pair_.peer.receive(taken).size(), taken);
  EXPECT_GT(sendWithoutWaiting(ls_, "x", 1), 0) << "room again once the peer reads";
  pair_.peer.reset();
  for (int i = 0; i < 100 && sent >= 0; ++i) {
    sent = sendWithoutWaiting(ls_, block.data(), block.size());
    sleepMs(10);
  }
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(ls_.state, LS_OPEN) << "the owner's state is left alone";
}

TEST_F(LineSocketTest, TheStopFlagEndsAnEndlessWait) {
  std::thread stopper([] {
    sleepMs(200);
    raiseStopFlag();
  });
  ASSERT_TRUE(pair_.peer.send("half a li"));
  EXPECT_EQ(readLine(ls_, -1), std::nullopt) << "a line cut by shutdown is not a command";
  stopper.join();
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST_F(LineSocketTest, WritesAreBufferedUntilFullOrFlushedAndSendNowKeepsTheOrder) {
  std::string first(4000, 'a');
  std::string second(200, 'b');
  ASSERT_TRUE(write(&ls_, first.data(), first.size()));
  ASSERT_TRUE(write(&ls_, second.data(), second.size()));
  EXPECT_EQ(ls_.outCount, 104u);
  EXPECT_EQ(pair_.peer.receive(4096), first + std::string(96, 'b'));
  EXPECT_EQ(waitReadable(pair_.peer.get(), 100), 0) << "the last 104 bytes wait for the flush";
  ASSERT_TRUE(flush(&ls_));
  EXPECT_EQ(pair_.peer.receive(104), std::string(104, 'b'));

  ASSERT_TRUE(writeString(&ls_, "one "));
  std::string big(300000, 'x');
  ASSERT_TRUE(sendNow(&ls_, big.data(), big.size()));
  ASSERT_TRUE(sendString(&ls_, " two"));
  EXPECT_EQ(pair_.peer.receive(4 + big.size() + 4), "one " + big + " two");
}

TEST_F(LineSocketTest, SendingToAPeerThatHasGoneFailsWithAnErrorState) {
  pair_.peer.reset();
  std::string block(65536, 'x');
  bool sent = true;
  for (int i = 0; i < 100 && sent; ++i) {
    sent = sendNow(&ls_, block.data(), block.size());
  }
  EXPECT_FALSE(sent);
  EXPECT_EQ(ls_.state, LS_ERROR);
  EXPECT_FALSE(isReportableSocketError(ls_.lastError)) << ls_.lastError;
}

TEST_F(LineSocketTest, PollInputSeesWaitingBytesAndTheEnd) {
  EXPECT_FALSE(pollInput(ls_));
  ASSERT_TRUE(pair_.peer.send("x"));
  ASSERT_EQ(waitReadable(ls_.sock, 5000), 1);
  EXPECT_TRUE(pollInput(ls_));
  EXPECT_EQ(readChar(ls_, 0), 'x');
  pair_.peer.close();
  ASSERT_EQ(waitReadable(ls_.sock, 5000), 1);
  EXPECT_TRUE(pollInput(ls_));
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST_F(LineSocketTest, CloseIsSafeTwiceAndEndsReadsAndNoConnectionTakesAnyWrite) {
  close(ls_);
  close(ls_);
  EXPECT_EQ(readChar(ls_, 0), LS_CLOSED);
  EXPECT_EQ(pair_.peer.receiveAll(), "") << "the peer sees the end";
  EXPECT_TRUE(sendString(nullptr, "x"));
  EXPECT_TRUE(writeString(nullptr, "x"));
  EXPECT_TRUE(flush(nullptr));
}

TEST(MemoryLineSocket, ReadsWhatWasPushedBackCollectsWritesAndFailsOverlongLines) {
  LineSocket ls;
  initMemory(ls);
  const std::string input = "Subject: hi\r\nlone\nfeed\r\nrest";
  unread(ls, input.data(), input.size());
  EXPECT_EQ(readLine(ls, 0), "Subject: hi\r\n");
  EXPECT_EQ(readLine(ls, 0), "lone\nfeed\r\n");
  EXPECT_EQ(readLine(ls, 0), "rest");
  EXPECT_EQ(readLine(ls, 0), std::nullopt);
  EXPECT_EQ(ls.state, LS_CLOSED);

  LineSocket out;
  initMemory(out);
  std::string big(10000, 'q');
  ASSERT_TRUE(writeString(&out, "a"));
  ASSERT_TRUE(write(&out, big.data(), big.size()));
  ASSERT_TRUE(sendString(&out, "z"));
  EXPECT_EQ(memoryOutput(out), "a" + big + "z");
}

TEST_F(LineSocketTest, ALineBeyondTheLimitFailsTheConnectionAndAGrownBufferShrinksBack) {
  // A partial line kept across a time-out grows the input buffer...
  std::string partial(200000, 'p');
  ASSERT_TRUE(pair_.peer.send(partial));
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_GE(ls_.inBuf.size(), partial.size());
  ASSERT_TRUE(pair_.peer.send("\r\nnext\r\n"));
  EXPECT_EQ(readLine(ls_, 5), partial + "\r\n");
  EXPECT_EQ(readLine(ls_, 5), "next\r\n");
  // ...which goes back to its usual size once drained.
  ASSERT_TRUE(pair_.peer.send("more\r\n"));
  EXPECT_EQ(readLine(ls_, 5), "more\r\n");
  EXPECT_EQ(ls_.inBuf.size(), kLineSocketInputSize);

  // A line beyond the connection's limit fails it, whatever else is sent.
  ls_.lineLimit = 1000;
  std::thread writer([&] { pair_.peer.send(std::string(1 << 20, 'x')); });
  EXPECT_EQ(readLine(ls_, 5), std::nullopt);
  EXPECT_EQ(ls_.state, LS_ERROR);
  EXPECT_EQ(ls_.lastError, wsa::kMessageSize);
  EXPECT_TRUE(isReportableSocketError(ls_.lastError));
  close(ls_);
  writer.join();
}

// BlockReader over real connections.
using BlockReaderTest = LineSocketTest;

TEST_F(BlockReaderTest, ATerminatorSplitAcrossReadsIsFoundAndTheEarliestWins) {
  BlockReader br;
  init(br, ls_, 1 << 20, "\r\n.\r\n", 300);
  ASSERT_TRUE(pair_.peer.send("+OK\r\nbody\r\n."));
  ASSERT_TRUE(read(br));
  std::string gathered = text(br);
  EXPECT_FALSE(br.terminatorFound);
  ASSERT_TRUE(pair_.peer.send("\r\nsecond\r\n.\r\nNEXT\r\n"));
  gathered += readRun(br);
  EXPECT_TRUE(br.terminatorFound);
  EXPECT_EQ(gathered, "+OK\r\nbody\r\n.\r\n");
  EXPECT_EQ(readLine(ls_, 5), "second\r\n") << "bytes past the terminator go back";
  free(br);
}

TEST_F(BlockReaderTest, RunsNeverExceedTheLimitAndBinaryAndBufferedBytesPassUnchanged) {
  std::string binary;
  for (int i = 0; i < 256; ++i) {
    binary += static_cast<char>(i);
  }
  ASSERT_TRUE(pair_.peer.send("HEAD\r\n" + binary + binary));
  EXPECT_EQ(readLine(ls_, 5), "HEAD\r\n");
  pair_.peer.close();
  BlockReader br;
  init(br, ls_, 10, nullptr, 2000);
  std::string gathered;
  while (read(br)) {
    EXPECT_LE(br.dataLen, 10u);
    gathered += text(br);
  }
  EXPECT_EQ(gathered, binary + binary);
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST_F(BlockReaderTest, ATimeBudgetWithNothingArrivingKeepsTheConnection) {
  BlockReader br;
  init(br, ls_, 100, "\r\n.\r\n", 200);
  EXPECT_TRUE(read(br));
  EXPECT_EQ(br.dataLen, 0u);
  EXPECT_EQ(ls_.state, LS_OPEN);
}

TEST_F(BlockReaderTest, APartnerThatEndedOrTheStopFlagEndsTheReadAndTheConnection) {
  LineSocket partner;
  tieToEndedPartner(partner);
  ASSERT_TRUE(pair_.peer.send("data"));
  ASSERT_EQ(waitReadable(ls_.sock, 5000), 1);
  BlockReader br;
  init(br, ls_, 100, nullptr, 5000);
  EXPECT_FALSE(read(br));
  EXPECT_EQ(ls_.state, LS_CLOSED);

  LoopbackPair other = connectedPair();
  LineSocket waiting;
  initSocket(waiting, other.ours);
  raiseStopFlag();
  BlockReader stopped;
  init(stopped, waiting, 100, nullptr, 60000);
  EXPECT_FALSE(read(stopped)) << "a caller looping on read must not spin";
  EXPECT_EQ(waiting.state, LS_CLOSED);
}

TEST(BlockReaderMemory, ReadsAMemorySourceToItsEnd) {
  LineSocket ls;
  initMemory(ls);
  const std::string input = "line\r\n.\r\nafter";
  unread(ls, input.data(), input.size());
  BlockReader br;
  init(br, ls, 1000, "\r\n.\r\n", 0);
  ASSERT_TRUE(read(br));
  EXPECT_TRUE(br.terminatorFound);
  EXPECT_EQ(text(br), "line\r\n.\r\n");
  EXPECT_EQ(readLine(ls, 0), "after");
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
