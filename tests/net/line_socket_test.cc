#include <gtest/gtest.h>

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

TEST_F(LineSocketTest, OnlyCarriageReturnLineFeedEndsALine) {
  ASSERT_TRUE(pair_.peer.send("USER a\nPASS b\r\nNEXT\r\n"));
  std::optional<std::string> line = readLine(ls_, 5);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "USER a\nPASS b\r\n");
  EXPECT_EQ(line->size(), 15u);
  EXPECT_EQ(readLine(ls_, 5), "NEXT\r\n");
}

TEST_F(LineSocketTest, APartialLineBeforeTheEndIsReturnedOnceWithoutLineEnd) {
  ASSERT_TRUE(pair_.peer.send("QUIT"));
  pair_.peer.close();
  EXPECT_EQ(readLine(ls_, 5), "QUIT");
  EXPECT_EQ(readLine(ls_, 5), std::nullopt);
  EXPECT_EQ(ls_.state, LS_CLOSED);
  EXPECT_EQ(readChar(ls_, 5), LS_CLOSED) << "the end is final";
}

TEST_F(LineSocketTest, ATimeOutKeepsThePartialLineForTheNextCall) {
  ASSERT_TRUE(pair_.peer.send("US"));
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_OPEN) << "a time-out leaves the connection usable";
  EXPECT_EQ(readChar(ls_, 0), 'U') << "the partial line went back in front";
  unread(ls_, "U", 1);
  ASSERT_TRUE(pair_.peer.send("ER x\r\n"));
  EXPECT_EQ(readLine(ls_, 5), "USER x\r\n");
}

TEST_F(LineSocketTest, LinesFarLongerThanTheInputBufferComeWhole) {
  std::string huge(3 * 1024 * 1024, 'a');
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

TEST_F(LineSocketTest, EveryByteValueIsDataNeverAResultCode) {
  std::string bytes{'\xff', '\0', '\xfe', '\xfd', '\xfc', '\r', '\n'};
  ASSERT_TRUE(pair_.peer.send(bytes));
  EXPECT_EQ(readChar(ls_, 5), 255);
  EXPECT_EQ(readChar(ls_, 5), 0);
  std::optional<std::string> rest = readLine(ls_, 5);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, bytes.substr(2));
}

TEST_F(LineSocketTest, ALineThatNeverEndsTimesOutAndThePeerCanStillFinishIt) {
  std::string endless(100000, 'z');
  ASSERT_TRUE(pair_.peer.send(endless));
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  ASSERT_TRUE(pair_.peer.send("\r\n"));
  std::optional<std::string> line = readLine(ls_, 5);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), endless.size() + 2) << "nothing was lost across the time-outs";
}

TEST_F(LineSocketTest, AResetMidLineGivesThePartialLineThenAnErrorThatIsNotReported) {
  ASSERT_TRUE(pair_.peer.send("RETR 1"));
  // Let the bytes arrive before the reset overtakes them.
  EXPECT_EQ(waitReadable(ls_.sock, 5000), 1);
  sleepMs(50);
  pair_.peer.reset();
  std::optional<std::string> first = readLine(ls_, 5);
  std::optional<std::string> second = readLine(ls_, 5);
  EXPECT_TRUE(first == std::string("RETR 1") || first == std::nullopt);
  EXPECT_EQ(second, std::nullopt);
  EXPECT_NE(ls_.state, LS_OPEN);
  if (ls_.state == LS_ERROR) {
    EXPECT_EQ(ls_.lastError, wsa::kConnectionReset);
    EXPECT_FALSE(isReportableSocketError(ls_.lastError));
  }
}

TEST_F(LineSocketTest, APartnerWhosePeerClosedEndsAnEndlessWait) {
  LineSocket partner;
  tieToEndedPartner(partner);
  EXPECT_EQ(readLine(ls_, -1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_CLOSED);
  EXPECT_EQ(partner.state, LS_OPEN) << "the partner finds out on its own read";
}

TEST_F(LineSocketTest, APartnerWithUnreadBytesKeepsTheWaitGoing) {
  LineSocket partner;
  tieToEndedPartner(partner);
  unread(partner, "+OK\r\n", 5);
  EXPECT_EQ(readLine(ls_, 1), std::nullopt);
  EXPECT_EQ(ls_.state, LS_OPEN) << "timed out, not ended: the partner still has input";
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

TEST_F(LineSocketTest, WritesAreBufferedUntilTheBufferFillsOrIsFlushed) {
  std::string first(4000, 'a');
  std::string second(200, 'b');
  ASSERT_TRUE(write(&ls_, first.data(), first.size()));
  EXPECT_EQ(ls_.outCount, 4000u);
  ASSERT_TRUE(write(&ls_, second.data(), second.size()));
  EXPECT_EQ(ls_.outCount, 104u);
  std::string arrived = pair_.peer.receive(4096);
  EXPECT_EQ(arrived, first + std::string(96, 'b'));
  EXPECT_EQ(waitReadable(pair_.peer.get(), 100), 0) << "the last 104 bytes wait for the flush";
  ASSERT_TRUE(flush(&ls_));
  EXPECT_EQ(pair_.peer.receive(104), std::string(104, 'b'));
}

TEST_F(LineSocketTest, SendNowFlushesFirstAndKeepsTheOrder) {
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

TEST_F(LineSocketTest, PushedBackBytesComeBeforeBufferedOnes) {
  ASSERT_TRUE(pair_.peer.send("world\r\n"));
  EXPECT_EQ(readChar(ls_, 5), 'w');
  unread(ls_, "hello w", 7);
  EXPECT_EQ(readLine(ls_, 5), "hello world\r\n");
}

TEST_F(LineSocketTest, CloseIsSafeTwiceAndEndsReads) {
  close(ls_);
  EXPECT_EQ(ls_.sock, kInvalidSocket);
  close(ls_);
  EXPECT_EQ(readChar(ls_, 0), LS_CLOSED);
  EXPECT_EQ(pair_.peer.receiveAll(), "") << "the peer sees the end";
}

TEST(LineSocketNull, SendsAndWritesToNoConnectionSucceed) {
  EXPECT_TRUE(sendString(nullptr, "x"));
  EXPECT_TRUE(writeString(nullptr, "x"));
  EXPECT_TRUE(flush(nullptr));
}

TEST(MemoryLineSocket, ALineBeyondAnyProtocolsLengthFailsTheConnection) {
  LineSocket ls;
  initMemory(ls);
  std::string endless(kLongestLine + 10, 'a');
  unread(ls, endless.data(), endless.size());
  EXPECT_EQ(readLine(ls, 0), std::nullopt);
  EXPECT_EQ(ls.state, LS_ERROR);
  EXPECT_EQ(ls.lastError, wsa::kMessageSize);
  EXPECT_TRUE(isReportableSocketError(ls.lastError));
}

TEST(MemoryLineSocket, ReadsWhatWasPushedBackAndCollectsWhatIsWritten) {
  LineSocket ls;
  initMemory(ls);
  const std::string text = "Subject: hi\r\nlone\nfeed\r\nrest";
  unread(ls, text.data(), text.size());
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

// BlockReader over real connections.
class BlockReaderTest : public LineSocketTest {};

TEST_F(BlockReaderTest, ATerminatorSplitAcrossTwoReadsIsFound) {
  BlockReader br;
  init(br, ls_, 1 << 20, "\r\n.\r\n", 300);
  ASSERT_TRUE(pair_.peer.send("+OK\r\nbody\r\n."));
  std::string gathered;
  ASSERT_TRUE(read(br));
  gathered.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
  EXPECT_FALSE(br.terminatorFound);
  ASSERT_TRUE(pair_.peer.send("\r\nNEXT\r\n"));
  while (!br.terminatorFound && read(br)) {
    gathered.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
  }
  EXPECT_TRUE(br.terminatorFound);
  EXPECT_EQ(gathered, "+OK\r\nbody\r\n.\r\n");
  EXPECT_EQ(readLine(ls_, 5), "NEXT\r\n") << "bytes past the terminator go back";
  free(br);
}

TEST_F(BlockReaderTest, TheEarliestTerminatorWinsWhenOneStraddlesTheReads) {
  BlockReader br;
  init(br, ls_, 1 << 20, "\r\n.\r\n", 300);
  ASSERT_TRUE(pair_.peer.send("a\r\n."));
  ASSERT_TRUE(read(br));
  ASSERT_FALSE(br.terminatorFound);
  ASSERT_TRUE(pair_.peer.send("\r\nsecond\r\n.\r\n"));
  std::string run;
  while (!br.terminatorFound && read(br)) {
    run.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
  }
  EXPECT_EQ(run, "\r\n");
  EXPECT_EQ(readLine(ls_, 5), "second\r\n");
}

TEST_F(BlockReaderTest, RunsNeverExceedTheByteLimit) {
  std::string stream = "0123456789abcdefghijklmno";
  ASSERT_TRUE(pair_.peer.send(stream));
  pair_.peer.close();
  BlockReader br;
  init(br, ls_, 10, nullptr, 2000);
  std::string gathered;
  while (read(br)) {
    EXPECT_LE(br.dataLen, 10u);
    gathered.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
  }
  EXPECT_EQ(gathered, stream);
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST_F(BlockReaderTest, ATimeBudgetWithNothingArrivingKeepsTheConnection) {
  BlockReader br;
  init(br, ls_, 100, "\r\n.\r\n", 200);
  EXPECT_TRUE(read(br));
  EXPECT_EQ(br.dataLen, 0u);
  EXPECT_EQ(ls_.state, LS_OPEN);
}

TEST_F(BlockReaderTest, BinaryBytesAndBufferedInputPassUnchanged) {
  std::string binary;
  for (int i = 0; i < 256; ++i) {
    binary += static_cast<char>(i);
  }
  ASSERT_TRUE(pair_.peer.send("HEAD\r\n" + binary + binary));
  EXPECT_EQ(readLine(ls_, 5), "HEAD\r\n");
  pair_.peer.close();
  BlockReader br;
  init(br, ls_, 1 << 20, nullptr, 2000);
  std::string gathered;
  while (read(br)) {
    gathered.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
  }
  EXPECT_EQ(gathered, binary + binary);
}

TEST_F(BlockReaderTest, APartnerThatEndedEndsTheRead) {
  LineSocket partner;
  tieToEndedPartner(partner);
  ASSERT_TRUE(pair_.peer.send("data"));
  ASSERT_EQ(waitReadable(ls_.sock, 5000), 1);
  BlockReader br;
  init(br, ls_, 100, nullptr, 5000);
  EXPECT_FALSE(read(br));
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST_F(BlockReaderTest, TheStopFlagEndsTheReadAndTheConnection) {
  raiseStopFlag();
  BlockReader br;
  init(br, ls_, 100, nullptr, 60000);
  EXPECT_FALSE(read(br)) << "a caller looping on read must not spin";
  EXPECT_EQ(ls_.state, LS_CLOSED);
}

TEST(BlockReaderMemory, ReadsAMemorySourceToItsEnd) {
  LineSocket ls;
  initMemory(ls);
  const std::string text = "line\r\n.\r\nafter";
  unread(ls, text.data(), text.size());
  BlockReader br;
  init(br, ls, 1000, "\r\n.\r\n", 0);
  ASSERT_TRUE(read(br));
  EXPECT_TRUE(br.terminatorFound);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(br.data.data()), br.dataLen),
            "line\r\n.\r\n");
  EXPECT_EQ(readLine(ls, 0), "after");
}

TEST(FindBytes, FindsTheFirstOccurrenceOfShortAndLongNeedles) {
  std::string hay = "abc\r\n.\r\nxyz\r\n.\r\n";
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "\r\n.\r\n", 5), 3);
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "xyz", 3), 8);
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "z\r\n.\r\n", 6), 10);
  EXPECT_EQ(findBytes(hay.data(), hay.size(), "\r\n.\r\n!", 6), -1);
  EXPECT_EQ(findBytes(hay.data(), 4, "\r\n.\r\n", 5), -1) << "a needle longer than the text";
  EXPECT_EQ(findBytes("aaab", 4, "ab", 2), 2);
  std::string withNul("a\0b\0c", 5);
  EXPECT_EQ(findBytes(withNul.data(), withNul.size(), "\0c", 2), 3);
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
  EXPECT_NE(socketErrorText(11004).find("WSANO_DATA"), std::string::npos);
  EXPECT_NE(socketErrorText(10099).find("10099"), std::string::npos);
  std::string refused = socketErrorText(10061);
  EXPECT_EQ(refused.find("10061"), std::string::npos) << "a message of its own: " << refused;
  EXPECT_NE(refused, socketErrorText(10054));
}

} // namespace
} // namespace km
