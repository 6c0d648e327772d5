// Listening ports over real loopback connections, with configurations loaded from
// config.dat in a private data directory.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "config/config.h"
#include "config/data_dir.h"
#include "diag/repeated_notices.h"
#include "loopback.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/sync.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::writeFile;

class ListenerTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(prepareDataDirectory());
    initListeners();
    portA_ = test::freeLoopbackPort();
    portB_ = test::freeLoopbackPort();
  }

  void TearDown() override {
    closeAllListeners();
    waitForSessions();
    initListeners();
    closeMainLoop();
    flushRepeatedNotices(true);
    lowerStopFlagForTests();
  }

  // Loads config.dat with the given port blocks and follows it.
  void load(const std::string& text) {
    data_.load("CREATE_DEFAULT_IMAP4_PORT NO\nALLOW_PORT_SHARING YES\n" + text);
    reloadListeners();
  }

  static std::string port(int number, const char* type, const std::string& extra = "") {
    return "PORT " + std::to_string(number) + "\nPORT_TYPE " + type + "\n" + extra;
  }

  std::optional<ListenerInfo> listenerOn(int portNumber) {
    for (const ListenerInfo& info : listListeners()) {
      if (info.port == portNumber) {
        return info;
      }
    }
    return std::nullopt;
  }

  // What the main loop does when a client knocks: accept on the listening socket.
  void acceptOn(int portNumber) {
    std::optional<ListenerInfo> listener = listenerOn(portNumber);
    ASSERT_TRUE(listener);
    ASSERT_EQ(waitReadable(listener->listenSocket, 5000), 1);
    acceptConnection(listener->listenSocket);
  }

  static void waitForSessions() {
    for (int i = 0; i < 1000 && runningSessionCount() > 0; ++i) {
      sleepMs(10);
    }
    EXPECT_EQ(runningSessionCount(), 0);
  }

  size_t choiceNotices() const {
    size_t count = 0;
    for (const Notice& notice : notifier_->notices()) {
      count += notice.choices.empty() ? 0u : 1u;
    }
    return count;
  }

  Notice choiceNotice() const {
    for (const Notice& notice : notifier_->notices()) {
      if (!notice.choices.empty()) {
        return notice;
      }
    }
    return Notice{};
  }

  test::DataDirScope data_;
  test::NotifierScope notices_;
  test::RecordingNotifier* notifier_ = &notices_.notifier();
  int portA_ = 0;
  int portB_ = 0;
};

TEST_F(ListenerTest, TwoDefinitionsOnOnePortShareOneListeningSocket) {
  load(port(portA_, "POP3_GENERIC") +
       port(portA_, "POP3_SPECIFIC", "PORT_POP3_SERVERNAME pop.example.org\n") +
       port(portB_, "IMAP4_GENERIC"));
  std::vector<ListenerInfo> listeners = listListeners();
  ASSERT_EQ(listeners.size(), 2u);
  std::optional<ListenerInfo> shared = listenerOn(portA_);
  ASSERT_TRUE(shared);
  ASSERT_EQ(shared->portConfigIds.size(), 2u);

  // Both admit the client: the user is asked, with one line per definition.
  test::RawPeer client = test::connectToLoopback(portA_);
  notifier_->pick = 1;
  notifier_->tick = true; // remember the choice
  acceptOn(portA_);
  ASSERT_EQ(choiceNotices(), 1u);
  // The session may already have told the user about its server, so the question
  // need not be the last notice.
  Notice asked = choiceNotice();
  ASSERT_EQ(asked.choices.size(), 2u);
  EXPECT_NE(asked.choices[1].find("pop.example.org"), std::string::npos);
  EXPECT_NE(asked.text.find(std::to_string(portA_)), std::string::npos);
  EXPECT_EQ(rememberedPortChoice(portA_), shared->portConfigIds[1]);
  // The chosen definition serves: it names a server that cannot be found here.
  EXPECT_EQ(client.receiveAll(), "-ERR Unable to resolve server name\r\n");

  // The remembered choice settles the next client without asking.
  test::RawPeer second = test::connectToLoopback(portA_);
  acceptOn(portA_);
  EXPECT_EQ(choiceNotices(), 1u);
  EXPECT_EQ(second.receiveAll(), "-ERR Unable to resolve server name\r\n");
  waitForSessions();
}

TEST_F(ListenerTest, AReloadThatDropsAPortClosesItOnceItsLastSessionEnds) {
  load(port(portA_, "POP3_GENERIC") + port(portB_, "IMAP4_GENERIC"));
  SocketHandle keptSocket = listenerOn(portA_)->listenSocket;
  test::RawPeer client;
  {
    // Holding the listener lock keeps the session from ending: it waits to be
    // forgotten, as behind an open port choice.
    RecursiveGuard hold(listenerLock());
    client = test::connectToLoopback(portB_);
    acceptOn(portB_);
    EXPECT_EQ(listenerOn(portB_)->sessionCount, 1u);
    // The IMAP4 session ends at the client's word and then waits for the lock.
    ASSERT_TRUE(client.send("a1 LOGOUT\r\n"));

    load(port(portA_, "POP3_GENERIC"));
    EXPECT_EQ(listenerOn(portA_)->listenSocket, keptSocket) << "a kept port keeps its socket";
    std::optional<ListenerInfo> dropped = listenerOn(portB_);
    ASSERT_TRUE(dropped) << "still serving its session";
    EXPECT_TRUE(dropped->retired);
    EXPECT_TRUE(dropped->portConfigIds.empty());
  }
  EXPECT_NE(client.receiveAll().find("* BYE Kestrelmail IMAP4 logging out\r\n"), std::string::npos);
  waitForSessions();
  EXPECT_FALSE(listenerOn(portB_)) << "closed with its last session";
  EXPECT_FALSE(test::connectToLoopback(portB_).get() != kInvalidSocket) << "nobody listens";
  EXPECT_TRUE(test::connectToLoopback(portA_).get() != kInvalidSocket);
}

TEST_F(ListenerTest, ARefusedClientGetsNoByteAndTheUserIsToldOnceThenACountOrTheLogHasIt) {
  writeFile(data_.file("acl_a.dat"), "10.1.2.3\n");
  const std::string acl =
      "PORT_SPECIAL_ACCESS_CONTROL_LIST YES\nPORT_ACCESS_CONTROL_LIST_FNAME acl_a.dat\n";
  load(port(portA_, "POP3_GENERIC", acl));
  // A burst of refusals is told once, and then as one count.
  for (int i = 0; i < 3; ++i) {
    test::RawPeer client = test::connectToLoopback(portA_);
    ASSERT_NE(client.get(), kInvalidSocket);
    acceptOn(portA_);
    EXPECT_EQ(client.receiveAll(), "");
  }
  ASSERT_EQ(notifier_->count(), 1u);
  Notice told = notifier_->notices().front();
  EXPECT_EQ(told.title, languageText(kTextNoticeTitle));
  EXPECT_NE(told.text.find("127.0.0.1"), std::string::npos) << told.text;
  EXPECT_EQ(runningSessionCount(), 0);
  EXPECT_EQ(listenerOn(portA_)->sessionCount, 0u);
  flushRepeatedNotices(true);
  ASSERT_EQ(notifier_->count(), 2u);
  Notice summary = notifier_->notices().back();
  EXPECT_NE(summary.text.find("2 more times"), std::string::npos) << summary.text;
  EXPECT_NE(summary.text.find(told.text), std::string::npos) << summary.text;

  // With logging on, the refusal is logged instead.
  load("LOGGING_ENABLED YES\n" +
       port(portA_, "SMTP_SPECIFIC", "PORT_SMTP_SERVERNAME smtp.example.org\n" + acl));
  test::RawPeer logged = test::connectToLoopback(portA_);
  acceptOn(portA_);
  EXPECT_EQ(logged.receiveAll(), "");
  EXPECT_EQ(notifier_->count(), 2u);
  std::string log = readFile(data_.file("log.txt"));
  EXPECT_NE(log.find(std::to_string(portA_)), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1"), std::string::npos) << log;
}

TEST_F(ListenerTest, BeyondTheSessionLimitAClientIsToldToComeBackAndTheUserOnce) {
  load("MAX_SESSIONS 1\n" + port(portA_, "POP3_GENERIC") + port(portB_, "SMTP_SPECIFIC"));
  test::RawPeer first = test::connectToLoopback(portA_);
  acceptOn(portA_);
  EXPECT_EQ(first.receive(20).substr(0, 4), "+OK ") << "the first session runs";
  for (int i = 0; i < 2; ++i) {
    test::RawPeer refused = test::connectToLoopback(portA_);
    acceptOn(portA_);
    EXPECT_EQ(refused.receiveAll(),
              "-ERR Kestrelmail is serving too many connections; try again later.\r\n");
  }
  test::RawPeer smtp = test::connectToLoopback(portB_);
  acceptOn(portB_);
  EXPECT_EQ(smtp.receiveAll(),
            "421 Kestrelmail is serving too many connections; try again later.\r\n");
  EXPECT_EQ(runningSessionCount(), 1);
  ASSERT_EQ(notifier_->count(), 2u) << "once per port";
  EXPECT_NE(notifier_->notices().front().text.find("MAX_SESSIONS"), std::string::npos);

  // Once the running session has ended, the next client is served; its thread
  // does not linger while the row stays visible a moment.
  ASSERT_TRUE(first.send("QUIT\r\n"));
  first.receiveAll();
  waitForSessions();
  bool rowShown = false;
  for (const SessionRow& row : sessionRows()) {
    rowShown = rowShown ||
               (row.inUse && row.columns[kColumnStatus] == languageText(kTextStatusDisconnected));
  }
  EXPECT_TRUE(rowShown) << "the ended session's row outlives its thread";
  test::RawPeer next = test::connectToLoopback(portA_);
  acceptOn(portA_);
  ASSERT_TRUE(next.send("QUIT\r\n"));
  EXPECT_NE(next.receiveAll().find("+OK Logged off"), std::string::npos);
}

TEST_F(ListenerTest, APortThatCannotBeOpenedIsReportedAndTheOthersAreServed) {
  test::RawPeer blocker(createTcpSocket());
  int error = 0;
  ASSERT_TRUE(bindSocket(blocker.get(), kLoopbackAddress, portA_, error));
  ASSERT_TRUE(listenOnSocket(blocker.get(), 1, error));
  load(port(portA_, "POP3_GENERIC") + port(portB_, "IMAP4_GENERIC"));
  EXPECT_FALSE(listenerOn(portA_));
  EXPECT_TRUE(listenerOn(portB_));
  ASSERT_EQ(notifier_->count(), 1u);
  EXPECT_NE(notifier_->notices().front().text.find(std::to_string(portA_)), std::string::npos);
  EXPECT_NE(notifier_->notices().front().text.find("10048"), std::string::npos);
}

TEST_F(ListenerTest, ResumeOpensEveryIdleListeningSocketAnew) {
  load(port(portA_, "POP3_GENERIC"));
  closeAllListeners();
  EXPECT_TRUE(listListeners().empty());
  reloadListeners();
  ASSERT_TRUE(listenerOn(portA_));
  test::RawPeer client = test::connectToLoopback(portA_);
  acceptOn(portA_);
  ASSERT_TRUE(client.send("QUIT\r\n"));
  EXPECT_EQ(client.receiveAll(),
            "+OK POP3 (Kestrelmail) server ready (USER command must include "
            "mailserver name)\r\n+OK Logged off without ever really logging in.\r\n");
}

TEST_F(ListenerTest, NoPortIsOpenedOnceTheProgramIsStopping) {
  writeFile(data_.file("config.dat"), port(portA_, "POP3_GENERIC"));
  ASSERT_TRUE(loadConfigFile());
  raiseStopFlag();
  reloadListeners();
  EXPECT_TRUE(listListeners().empty());
}

// The choice among the definitions of one port, without sockets.
class PortChoiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    initListeners();
    PortConfig generic;
    generic.id = 7;
    generic.type = PortType::Pop3Generic;
    generic.specialAcl = true;
    generic.aclBlocks = {{kLoopbackAddress, kLoopbackAddress}};
    PortConfig specific = generic;
    specific.id = 9;
    specific.type = PortType::Pop3Specific;
    specific.serverName = "pop.example.org";
    specific.aclBlocks.push_back({kLanAddress, kLanAddress});
    defs_ = {generic, specific};
  }
  void TearDown() override { initListeners(); }

  std::optional<size_t> choose(const Ipv4Address& client, std::vector<Ipv4Address> own) {
    return choosePortDefinition(defs_, 110, config_, client, [&, own] {
      ++lookups_;
      return own;
    });
  }

  static constexpr Ipv4Address kLanAddress{192, 0, 2, 7};
  std::vector<PortConfig> defs_;
  Config config_;
  int lookups_ = 0;
  test::NotifierScope notices_;
  test::RecordingNotifier* notifier_ = &notices_.notifier();
};

TEST_F(PortChoiceTest, ALoopbackClientGoesToTheDefinitionThatAlsoAdmitsTheMachineElseAsks) {
  EXPECT_EQ(choose(kLoopbackAddress, {kLoopbackAddress, kLanAddress}), 1u);
  EXPECT_EQ(notifier_->count(), 0u) << "no dialog";
  EXPECT_EQ(lookups_, 1);
  // Without an own address to tell them apart the user is asked.
  EXPECT_EQ(choose(kLoopbackAddress, {kLoopbackAddress}), 0u) << "the headless pick is the first";
  ASSERT_EQ(notifier_->count(), 1u);
  EXPECT_EQ(notifier_->notices().front().choices.size(), 2u);
}

TEST_F(PortChoiceTest, ARememberedChoiceAnswersForItsPortOnly) {
  rememberPortChoice(110, 9);
  rememberPortChoice(995, 7);
  EXPECT_EQ(choose(kLoopbackAddress, {}), 1u);
  EXPECT_EQ(notifier_->count(), 0u);
  rememberPortChoice(110, 42); // a definition that is gone
  EXPECT_EQ(rememberedPortChoice(110), 42u);
  EXPECT_EQ(choose(kLoopbackAddress, {}), 0u);
  EXPECT_EQ(notifier_->count(), 1u);
}

TEST_F(PortChoiceTest, OnlyAdmittingDefinitionsAreCandidates) {
  EXPECT_EQ(choose(kLanAddress, {}), 1u);
  EXPECT_EQ(choose({203, 0, 113, 1}, {}), std::nullopt);
  EXPECT_EQ(lookups_, 0) << "own addresses matter for loop-back clients only";
  defs_[0].specialAcl = false; // the global list decides for it now
  config_.ipAllowList = {{{203, 0, 113, 0}, {203, 0, 113, 255}}};
  EXPECT_EQ(choose({203, 0, 113, 1}, {}), 0u);
}

} // namespace
} // namespace km
