#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "config/config.h"
#include "filter/session_record.h"
#include "net/line_socket.h"
#include "net/listeners.h"
#include "net/loopback.h"
#include "net/sessions.h"
#include "platform/lang.h"
#include "platform/thread_records.h"
#include "platform/threads.h"
#include "platform/version.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::writeFile;

// --- The rules of the dialogue -------------------------------------------------

TEST(SmtpServer, NamesAHostAndAnOptionalPort) {
  struct Case {
    const char* specification;
    const char* host;
    int port;
  };
  for (const Case& c :
       std::initializer_list<Case>{{"smtp.example.com", "smtp.example.com", 25},
                                   {"smtp.example.com:587", "smtp.example.com", 587},
                                   {"127.0.0.1:2525", "127.0.0.1", 2525},
                                   {"[2001:db8::1]:465", "2001:db8::1", 465},
                                   {"[::1]", "::1", 25}}) {
    SmtpServer server = parseSmtpServer(c.specification);
    EXPECT_EQ(server.host, c.host) << c.specification;
    EXPECT_EQ(server.port, c.port) << c.specification;
  }
}

TEST(SmtpAddress, IsTakenFromTheBracketsOrAfterTheBlanks) {
  struct Case {
    const char* line;
    size_t command;
    const char* address;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"MAIL FROM:<alice@example.org>\r\n", 10, "alice@example.org"},
           {"MAIL FROM:<alice@example.org> SIZE=1000 BODY=8BITMIME\r\n", 10, "alice@example.org"},
           {"MAIL FROM:   alice@example.org\r\n", 10, "alice@example.org"},
           {"mail from: <alice@example.org>\r\n", 10, "alice@example.org"},
           {"MAIL FROM:<>\r\n", 10, ""},
           {"RCPT TO:<bob@example.net>\r\n", 8, "bob@example.net"},
           {"RCPT TO:<bob@exa\x01mple.net>\r\n", 8, "bob@exa"},
           {"RCPT TO:<b\xe9@example.net>\r\n", 8, "b\xe9@example.net"},
           {"RCPT TO:", 8, ""}}) {
    EXPECT_EQ(extractSmtpAddress(c.line, c.command), c.address) << c.line;
  }
  EXPECT_EQ(heloArgument("EHLO client.example.org\r\n"), "client.example.org");
  EXPECT_EQ(heloArgument("HELO\r\n"), "");
  EXPECT_FALSE(heloArgument("HELO"));
}

TEST(EhloFilter, PassesTheFirstLineErrorsAndTheKnownExtensionsOnly) {
  struct Case {
    const char* line;
    bool first;
    bool passes;
  };
  for (const Case& c : std::initializer_list<Case>{{"250-mail.example.net\r\n", true, true},
                                                   {"250-STARTTLS\r\n", false, false},
                                                   {"250 STARTTLS\r\n", false, false},
                                                   {"250-AUTH PLAIN LOGIN\r\n", false, true},
                                                   {"250-AUTH=LOGIN\r\n", false, true},
                                                   {"250-size 1000\r\n", false, true},
                                                   {"250-PIPELINING\r\n", false, true},
                                                   {"250-8BITMIME\r\n", false, true},
                                                   {"250-ENHANCEDSTATUSCODES\r\n", false, true},
                                                   {"250-CHUNKING\r\n", false, false},
                                                   {"250-SMTPUTF8\r\n", false, false},
                                                   {"250-DSN\r\n", false, false},
                                                   {"250\r\n", false, false},
                                                   {"502 5.5.1 no EHLO\r\n", false, true}}) {
    EXPECT_EQ(ehloLinePasses(c.line, c.first), c.passes) << c.line;
  }
}

// Runs with the process's time zone set to `zone`.
class ZoneScope {
public:
  explicit ZoneScope(const char* zone) {
    const char* previous = std::getenv("TZ");
    hadZone_ = previous != nullptr;
    previous_ = previous ? previous : "";
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (hadZone_) {
      setenv("TZ", previous_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

private:
  bool hadZone_ = false;
  std::string previous_;
};

TEST(ReceivedLine, TheDateIsLocalWithTheOffsetInEffectThen) {
  const std::time_t january = 1768298400; // 13 Jan 2026 10:00:00 UTC
  const std::time_t july = 1783936800;    // 13 Jul 2026 10:00:00 UTC
  {
    ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3"); // one hour east, with summer time
    EXPECT_EQ(receivedDate(january), "13 Jan 2026 11:00:00 +0100");
    EXPECT_EQ(receivedDate(july), "13 Jul 2026 12:00:00 +0200");
  }
  {
    ZoneScope zone("NST+3:30NDT,M3.2.0,M11.1.0"); // west, with half an hour
    EXPECT_EQ(receivedDate(january), "13 Jan 2026 06:30:00 -0330");
  }
  {
    ZoneScope zone("UTC0");
    EXPECT_EQ(receivedDate(january + 86400 * 30 + 5), "12 Feb 2026 10:00:05 +0000");
  }
}

TEST(ReceivedLine, NamesClientProxyProtocolAndSender) {
  const std::string product = std::string("(Kestrelmail v") + kProgramVersion + ")";
  EXPECT_EQ(formatReceivedLine("client.example.org", {192, 0, 2, 7}, {127, 0, 0, 1}, true,
                               "alice@example.org", "13 Jan 2026 11:00:00 +0100"),
            "Received: from client.example.org ([192.0.2.7])\r\n\tby [127.0.0.1] with ESMTP " +
                product + "\r\n\tsender <alice@example.org>; 13 Jan 2026 11:00:00 +0100\r\n");
  EXPECT_NE(formatReceivedLine("x", {1, 2, 3, 4}, {5, 6, 7, 8}, false, "", "???")
                .find("by [5.6.7.8] with SMTP " + product + "\r\n\tsender <>; ???\r\n"),
            std::string::npos);
}

TEST(RelayPermission, StrangersSendOnlyToPlainLocalAddresses) {
  struct Case {
    const char* recipient;
    bool local;
    bool trusted;
    RecipientRefusal refusal;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"friend@example.net", false, false, RecipientRefusal::NoPermission},
           {"friend@example.net", false, true, RecipientRefusal::None},
           {"me@example.org", true, false, RecipientRefusal::None},
           {"me%friend.example.net@example.org", true, false, RecipientRefusal::RelayExploit},
           {"friend.example.net!me@example.org", true, false, RecipientRefusal::RelayExploit},
           {"\"me@x\"@example.org", true, false, RecipientRefusal::RelayExploit},
           {"me@friend.example.net@example.org", true, false, RecipientRefusal::RelayExploit},
           {"me%friend.example.net@example.org", true, true, RecipientRefusal::None}}) {
    EXPECT_EQ(recipientRefusal(c.recipient, c.local, c.trusted), c.refusal) << c.recipient;
  }
  EXPECT_EQ(recipientRefusalReply(RecipientRefusal::NoPermission),
            "550 5.7.1 You have no permission to relay for that address.\r\n");
  EXPECT_EQ(recipientRefusalReply(RecipientRefusal::RelayExploit),
            "550 5.7.1 Open relay exploit detected in RCPT TO address.\r\n");
}

TEST(SenderRefusal, TheReplyNamesWhatDecided) {
  test::DataDirScope data;
  writeFile(data.file("dnsbl.dat"), "");
  ConfigRef config = data.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n");
  Config withList = *config;
  DnsblList list;
  list.name = "Example BL";
  list.website = "https://bl.example.org/";
  withList.dnsblLists.push_back(list);

  Verdict verdict{};
  verdict.isSpam = 1;
  verdict.reason = KM_REASON_BLIST_EMAIL;
  EXPECT_EQ(senderRefusalReply(verdict, true, withList),
            "501 5.7.1 Your email address has been locally blacklisted; you have no permission "
            "to send.\r\n");
  verdict.reason = KM_REASON_BLIST_IP;
  EXPECT_EQ(senderRefusalReply(verdict, false, withList),
            "501 5.7.1 Your I.P. address has been locally blacklisted; you have no permission to "
            "send.\r\n");
  verdict.reason = KM_REASON_DNSBL;
  verdict.pattern.entry = withList.dnsblLists.back().name.c_str();
  EXPECT_EQ(senderRefusalReply(verdict, false, withList),
            "501 5.7.1 Your I.P. address is listed by Example BL (https://bl.example.org/); you "
            "have no permission to send.\r\n");
  // The address check decided, by a reason of its own: the general form.
  verdict.reason = KM_REASON_BLIST_IP;
  verdict.ip[0] = 192;
  EXPECT_EQ(
      senderRefusalReply(verdict, true, withList)
          .rfind("501 5.7.1 Your message has been rejected by Kestrelmail for this reason: SPAM ",
                 0),
      0u);
}

TEST(AuthUserNames, LoseTheServerNameTheClientAppended) {
  EXPECT_EQ(withoutServerName("alice@pop.example.com"), "alice");
  EXPECT_EQ(withoutServerName("alice@example.com@pop.example.com"), "alice@example.com");
  EXPECT_EQ(withoutServerName("bob%mail.example.org"), "bob");
  EXPECT_EQ(withoutServerName("carol"), "carol");
  EXPECT_EQ(withoutServerName("@pop.example.com"), "@pop.example.com");

  std::string plain = base64Encode(std::string("\0alice@pop.example.com\0secret", 29));
  EXPECT_EQ(base64Decode(plain), std::string("\0alice@pop.example.com\0secret", 29));
  EXPECT_EQ(plainResponseWithoutServerName(plain + "\r\n"),
            base64Encode(std::string("\0alice\0secret", 13)) + "\r\n");
  std::string named =
      base64Encode(std::string("alice@pop.example.com\0alice@pop.example.com\0pw", 46));
  EXPECT_EQ(plainResponseWithoutServerName(named),
            base64Encode(std::string("alice\0alice\0pw", 14)) + "\r\n");
  EXPECT_FALSE(plainResponseWithoutServerName(base64Encode(std::string("\0carol\0pw", 9))));
  EXPECT_FALSE(plainResponseWithoutServerName("*\r\n"));
  EXPECT_FALSE(plainResponseWithoutServerName(base64Encode("no separators")));
  EXPECT_EQ(loginUserWithoutServerName(base64Encode("dave@smtp.example.net") + "\r\n"),
            base64Encode("dave") + "\r\n");
  EXPECT_FALSE(loginUserWithoutServerName(base64Encode("dave")));
  for (std::string text : {"", "a", "ab", "abc", "abcd", "\xff\x00\x80"}) {
    EXPECT_EQ(base64Decode(base64Encode(text)), text);
  }
  EXPECT_FALSE(base64Decode("QUJD!"));
  EXPECT_EQ(smtpCommandColumnText("AUTH PLAIN AGFsaWNlAHNlY3JldA==\r\n"), "AUTH PLAIN");
  EXPECT_EQ(smtpCommandColumnText("MAIL FROM:<a@b>\r\n"), "MAIL FROM:<a@b>");
  EXPECT_EQ(smtpCommandColumnText("RCPT TO:<r\xe9@b>\r\n"), "RCPT TO:<r");
  EXPECT_EQ(smtpCommandColumnText("NOOP " + std::string(100, 'x')), "NOOP " + std::string(58, 'x'));
}

TEST(RecipientAutoWhitelisting, LeavesOutWhiteAndNeverListedAddresses) {
  test::DataDirScope data;
  writeFile(data.file("wlist_email.dat"), "*@friends.example\n");
  writeFile(data.file("auto_wlist_from_never.dat"), "*@lists.example\n");
  ConfigRef config = data.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n");
  EXPECT_TRUE(recipientToAutoWhitelist(*config, "new@example.net"));
  EXPECT_FALSE(recipientToAutoWhitelist(*config, "old@friends.example"));
  EXPECT_FALSE(recipientToAutoWhitelist(*config, "digest@lists.example"));
  EXPECT_FALSE(recipientToAutoWhitelist(*config, ""));
  std::string note = recipientNote("alice@example.org", 1768298400);
  EXPECT_NE(note.find("alice@example.org"), std::string::npos) << note;
  EXPECT_EQ(note.find(":00:00"), std::string::npos) << "no seconds: " << note;
}

TEST(SmtpReply, GathersContinuationLinesUpToTheLastLine) {
  struct Case {
    std::string wire;
    std::optional<std::string> reply;
    std::string rest; // what the next read sees
  };
  for (const Case& c : std::initializer_list<Case>{
           {"250 OK\r\nnext\r\n", "250 OK\r\n", "next\r\n"},
           {"250-one\r\n250-two\r\n250 three\r\nnext\r\n", "250-one\r\n250-two\r\n250 three\r\n",
            "next\r\n"},
           {"250-one\n250 bare\nnext\r\n", "250-one\r\n250 bare\r\n", "next\r\n"},
           {"25\r\n250 x\r\n", "25\r\n", "250 x\r\n"},
           {"250-\r\n250 x\r\n", "250-\r\n250 x\r\n", ""},
           {"250-cut off", "250-cut off", ""},
           {"250-one\r\n", "250-one\r\n", ""},
           {"", std::nullopt, ""}}) {
    LineSocket server;
    server.useMemory();
    server.setBareLineFeedEndsLine(true);
    server.unread(c.wire);
    EXPECT_EQ(readReply(server), c.reply) << c.wire;
    std::optional<std::string> rest = server.readLine(0);
    EXPECT_EQ(rest.value_or(""), c.rest) << c.wire;
  }
  // A server that never ends its reply does not fill the memory.
  LineSocket endless;
  endless.useMemory();
  std::string lines;
  for (int i = 0; i < 40000; ++i) {
    lines += "250-" + std::string(40, 'x') + "\r\n";
  }
  endless.unread(lines);
  EXPECT_FALSE(readReply(endless));
  EXPECT_FALSE(endless.isOpen());
}

// --- Whole dialogues over memory connections ------------------------------------

// A session whose client and server are memory connections: the client's lines
// and the server's replies are loaded in advance, and what each side received is
// collected.
class DialogueTest : public ::testing::Test {
protected:
  void SetUp() override { writeFile(data_.file("dnsbl.dat"), ""); }
  void TearDown() override { finish(); }

  // Loads a configuration with one SMTP port holding `portKeys`.
  void configure(const std::string& portKeys, const std::string& global = "") {
    finish();
    config_ = data_.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n" + global +
                         "PORT 2525\nPORT_TYPE SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME "
                         "smtp.example.net\n" +
                         portKeys);
    ASSERT_TRUE(config_);
    ASSERT_EQ(config_->ports.size(), 1u);
  }

  // Runs the command loop over the client's lines and the server's replies.
  void run(const std::string& clientLines, const std::string& serverReplies,
           bool clientIsLocal = true) {
    finish();
    session_ = std::make_unique<SmtpSession>();
    SmtpSession& s = *session_;
    s.config = config_;
    s.portConfig = config_->ports[0];
    s.clientAddress = {192, 0, 2, 7};
    s.clientIsLocal = clientIsLocal;
    CreateSessionRecord(s.record, s.config, s.portConfig, s.clientAddress);
    s.clientConnection.useMemory();
    s.serverConnection.useMemory();
    s.serverConnection.setBareLineFeedEndsLine(true);
    s.clientConnection.unread(clientLines);
    s.serverConnection.unread(serverReplies);
    runSmtpCommands(s);
    endTransaction(s);
  }

  void finish() {
    if (session_) {
      FinishSessionRecord(session_->record);
      session_.reset();
    }
  }

  std::string toClient() const { return std::string(session_->clientConnection.memoryOutput()); }
  std::string toServer() const { return std::string(session_->serverConnection.memoryOutput()); }

  test::DataDirScope data_;
  ConfigRef config_;
  std::unique_ptr<SmtpSession> session_;
};

const std::string kEnvelope = "MAIL FROM:<alice@example.org>\r\nRCPT TO:<bob@example.net>\r\n";
const std::string kAccepting = "250 sender ok\r\n250 recipient ok\r\n354 go on\r\n250 stored\r\n";

// Message texts as a client sends them after DATA, end line included.
struct Wire {
  const char* what;
  std::string bytes;
  // What filtering makes of it besides the verdict line, when it changes more:
  // control bytes in header lines become "C".
  std::string filtered = {};
};

std::vector<Wire> messageWires() {
  std::string longLine = "X-Long: " + std::string(300000, 'h') + "\r\n";
  std::string bigBody;
  for (int i = 0; i < 20000; ++i) {
    bigBody += (i % 7 == 0 ? ".." : "") + std::string(50, static_cast<char>('a' + i % 26)) + "\r\n";
  }
  return {
      {"header and body", "Subject: hi\r\nFrom: alice@example.org\r\n\r\nHello\r\n.\r\n"},
      {"only header lines", "Subject: terse\r\nFrom: alice@example.org\r\n.\r\n"},
      {"nothing at all", ".\r\n"},
      {"an empty body", "Subject: hi\r\n\r\n.\r\n"},
      {"a body of one empty line", "Subject: hi\r\n\r\n\r\n.\r\n"},
      {"a body of empty lines", "Subject: hi\r\n\r\n\r\n\r\n\r\n.\r\n"},
      {"dot-stuffed lines", "Subject: hi\r\n..hidden: header\r\n\r\n..\r\n...x\r\n.\r\n"},
      {"a lone dot inside lines", "Subject: a . b\r\n\r\nx . y\r\nz.\r\n.x\r\n\r\n.\r\n"},
      {"bare line feeds", "Subject: a\nX-B: b\r\n\r\nx\ny\n.\nz\r\n.\r\n",
       "Subject: aCX-B: b\r\n\r\nx\ny\n.\nz\r\n.\r\n"},
      {"a folded header", "Subject: a\r\n folded\r\n\tagain\r\n\r\nbody\r\n.\r\n"},
      {"a blank line as the first line", "\r\nbody only\r\n.\r\n"},
      {"a 300 KB header line", "Subject: long\r\n" + longLine + "\r\nbody\r\n.\r\n"},
      {"a 1 MB body", "Subject: big\r\n\r\n" + bigBody + ".\r\n"},
  };
}

// The wire with a line inserted where the header block ends.
std::string withHeaderLine(const std::string& wire, const std::string& line) {
  if (wire.starts_with("\r\n")) {
    return line + wire;
  }
  size_t blank = wire.find("\r\n\r\n");
  size_t end = wire.find("\r\n.\r\n");
  if (wire == ".\r\n") {
    return line + wire;
  }
  size_t at = std::min(blank, end);
  return wire.substr(0, at + 2) + line + wire.substr(at + 2);
}

TEST_F(DialogueTest, TheServerReceivesExactlyWhatTheClientSent) {
  for (bool filtering : {false, true}) {
    configure(filtering ? "PORT_SMTP_USE_FILTERING YES\n" : "");
    for (const Wire& wire : messageWires()) {
      run(kEnvelope + "DATA\r\n" + wire.bytes + "QUIT\r\n", kAccepting + "221 bye\r\n");
      std::string expected = wire.bytes;
      if (filtering) {
        expected = withHeaderLine(wire.filtered.empty() ? wire.bytes : wire.filtered,
                                  "X-Kestrelmail: PASS\r\n");
      }
      EXPECT_EQ(toServer(), kEnvelope + "DATA\r\n" + expected + "QUIT\r\n")
          << wire.what << (filtering ? ", filtered" : "");
      EXPECT_EQ(toClient(), kAccepting + "221 bye\r\n") << wire.what;
    }
  }
}

TEST_F(DialogueTest, TheReceivedLineComesFirstAndNamesTheClient) {
  configure("PORT_SMTP_ADD_RECEIVIED_HEADER YES\n", "IP_LISTEN 127.0.0.2\n");
  std::string wire = "Subject: hi\r\n\r\nHello\r\n.\r\n";
  run("EHLO client.example.org\r\n" + kEnvelope + "DATA\r\n" + wire,
      "250-smtp.example.net\r\n250 SIZE 1000\r\n" + kAccepting);
  std::string sent = toServer();
  size_t data = sent.find("DATA\r\n") + 6;
  std::string received = sent.substr(data, sent.find("Subject:") - data);
  EXPECT_TRUE(received.starts_with("Received: from client.example.org ([192.0.2.7])\r\n"
                                   "\tby [127.0.0.2] with ESMTP (Kestrelmail v" +
                                   std::string(kProgramVersion) +
                                   ")\r\n"
                                   "\tsender <alice@example.org>; "))
      << received;
  EXPECT_EQ(sent.substr(data + received.size()), wire);

  // Without HELO or EHLO, over plain SMTP.
  run(kEnvelope + "DATA\r\n" + wire, kAccepting);
  EXPECT_NE(toServer().find("Received: from unknown ([192.0.2.7])\r\n\tby [127.0.0.2] with SMTP "),
            std::string::npos)
      << toServer();
}

TEST_F(DialogueTest, AClientWritingInSmallPiecesIsRelayedExactly) {
  configure("PORT_SMTP_USE_FILTERING YES\n");
  std::mt19937 random(14);
  for (const Wire& wire : messageWires()) {
    if (wire.bytes.size() > 100000) {
      continue; // piece by piece, the big ones only take long
    }
    test::LoopbackPair pair = test::connectedPair();
    std::string script = kEnvelope + "DATA\r\n" + wire.bytes + "QUIT\r\n";
    std::thread writer([&] {
      for (size_t at = 0; at < script.size();) {
        size_t piece = std::min<size_t>(script.size() - at, 1 + random() % 7);
        pair.peer.send(script.substr(at, piece));
        at += piece;
      }
    });
    finish();
    session_ = std::make_unique<SmtpSession>();
    SmtpSession& s = *session_;
    s.config = config_;
    s.portConfig = config_->ports[0];
    s.clientIsLocal = true;
    CreateSessionRecord(s.record, s.config, s.portConfig, s.clientAddress);
    s.clientConnection.attach(pair.ours);
    s.clientConnection.setIdleLimit(10); // a fault here must not hang the test
    s.serverConnection.useMemory();
    std::string replies = kAccepting + "221 bye\r\n";
    s.serverConnection.unread(replies);
    runSmtpCommands(s);
    writer.join();
    EXPECT_EQ(toServer(), kEnvelope + "DATA\r\n" +
                              withHeaderLine(wire.filtered.empty() ? wire.bytes : wire.filtered,
                                             "X-Kestrelmail: PASS\r\n") +
                              "QUIT\r\n")
        << wire.what;
  }
}

TEST_F(DialogueTest, AHugeHeaderBlockPassesUnchangedAndUnfiltered) {
  configure("PORT_SMTP_USE_FILTERING YES\nPORT_SMTP_ADD_RECEIVIED_HEADER YES\n");
  std::string wire = "Subject: x\r\nX-Huge: " + std::string(3 * 1024 * 1024, 'h') +
                     "\r\nX-After: 1\r\n\r\nbody\r\n.\r\n";
  run(kEnvelope + "DATA\r\n" + wire, kAccepting);
  std::string sent = toServer();
  ASSERT_TRUE(sent.ends_with(wire)) << sent.size();
  EXPECT_NE(sent.find("Received: from"), std::string::npos);
  EXPECT_EQ(sent.find("X-Kestrelmail"), std::string::npos);
}

TEST_F(DialogueTest, AClientThatGoesMidMessageNeverEndsIt) {
  for (bool filtering : {false, true}) {
    configure(filtering ? "PORT_SMTP_USE_FILTERING YES\n" : "");
    for (const std::string& cut :
         {std::string("Subject: hi\r\nFrom: a"), std::string("Subject: hi\r\n\r\nfirst line\r\n."),
          std::string("Subject: hi\r\n\r\n") + std::string(400000, 'b')}) {
      run(kEnvelope + "DATA\r\n" + cut, kAccepting);
      std::string sent = toServer();
      EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos) << cut.substr(0, 40);
      EXPECT_FALSE(sent.ends_with(".\r\n")) << cut.substr(0, 40);
      EXPECT_EQ(toClient(), "250 sender ok\r\n250 recipient ok\r\n354 go on\r\n");
    }
  }
}

TEST_F(DialogueTest, OwnRepliesForCommandsOutOfTurnOrUnknown) {
  configure("");
  struct Case {
    std::string client;
    std::string server;
    std::string toClient;
    std::string toServer;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"DATA\r\n", "", "503 5.5.1 Incorrect command sequence\r\n", ""},
           {"RCPT TO:<b@example.net>\r\n", "", "503 5.5.1 Incorrect command sequence\r\n", ""},
           {"STARTTLS\r\n", "", "500 5.7.1 Command unrecognised or unsupported\r\n", ""},
           {"BDAT 10 LAST\r\n", "", "500 5.7.1 Command unrecognised or unsupported\r\n", ""},
           {"MAIL TO:<a@b>\r\n", "", "501 5.5.4 Unrecognised MAIL command\r\n", ""},
           {"MAIL FROM:<a@b>\r\nRCPT FROM:<c@d>\r\n", "250 ok\r\n",
            "250 ok\r\n501 5.5.4 Unrecognised RCPT command\r\n", "MAIL FROM:<a@b>\r\n"},
           {"HELP\r\n", "214-help\r\n214 end\r\n", "214-help\r\n214 end\r\n", "HELP\r\n"},
           {"noop\r\nVRFY x\r\nEXPN y\r\n", "250 a\r\n252 b\r\n550 c\r\n",
            "250 a\r\n252 b\r\n550 c\r\n", "noop\r\nVRFY x\r\nEXPN y\r\n"},
           {"HELO me\r\nQUIT\r\nNOOP\r\n", "250 hi\r\n221 bye\r\n", "250 hi\r\n221 bye\r\n",
            "HELO me\r\nQUIT\r\n"}}) {
    run(c.client, c.server);
    EXPECT_EQ(toClient(), c.toClient) << c.client;
    EXPECT_EQ(toServer(), c.toServer) << c.client;
  }
}

TEST_F(DialogueTest, EhloHidesExtensionsAndEndsTheReplyProperly) {
  configure("");
  run("EHLO me\r\n", "250-smtp.example.net\r\n250-PIPELINING\r\n250-CHUNKING\r\n250-AUTH "
                     "PLAIN\r\n250-SIZE 100\r\n250 STARTTLS\r\n");
  EXPECT_EQ(toClient(), "250-smtp.example.net\r\n250-PIPELINING\r\n250-AUTH PLAIN\r\n250-SIZE "
                        "100\r\n250 OK\r\n");
  EXPECT_TRUE(session_->serverIsEsmtp);
  EXPECT_EQ(session_->heloName, "me");
  run("EHLO me\r\n", "250-smtp.example.net\r\n250 8BITMIME\r\n");
  EXPECT_EQ(toClient(), "250-smtp.example.net\r\n250 8BITMIME\r\n");
  run("EHLO me\r\n", "500 what\r\n");
  EXPECT_EQ(toClient(), "500 what\r\n");
  EXPECT_FALSE(session_->serverIsEsmtp);
}

TEST_F(DialogueTest, ARefusedDataEndsTheTransactionWithAnRsetTheClientNeverSees) {
  configure("");
  run(kEnvelope + "DATA\r\n" + kEnvelope + "DATA\r\nSubject: 2\r\n\r\nb\r\n.\r\n",
      "250 a\r\n250 b\r\n554 no valid recipients\r\n250 reset\r\n" + kAccepting);
  EXPECT_EQ(toClient(), "250 a\r\n250 b\r\n554 no valid recipients\r\n" + kAccepting);
  EXPECT_EQ(toServer(),
            kEnvelope + "DATA\r\nRSET\r\n" + kEnvelope + "DATA\r\nSubject: 2\r\n\r\nb\r\n.\r\n");
}

TEST_F(DialogueTest, ARefusedFirstMailFromLeavesNoTransaction) {
  configure("");
  run("MAIL FROM:<a@b>\r\nDATA\r\nMAIL FROM:<a@b>\r\nMAIL FROM:<c@d>\r\nRCPT TO:<x@y>\r\n",
      "550 no\r\n250 ok\r\n503 nested\r\n250 ok\r\n");
  EXPECT_EQ(toClient(), "550 no\r\n503 5.5.1 Incorrect command sequence\r\n250 ok\r\n503 "
                        "nested\r\n250 ok\r\n")
      << "a repeated MAIL FROM the server refuses keeps the open transaction";
  EXPECT_EQ(session_->messageCount, 2);
}

TEST_F(DialogueTest, StrangersMayOnlyWriteToLocalAddressesUntilTheyLogIn) {
  writeFile(data_.file("local_email.txt"), "*@example.org\n");
  configure("PORT_SMTP_LOCAL_EMAIL_LEAFNAME local_email.txt\n");
  const std::string noRelay = "550 5.7.1 You have no permission to relay for that address.\r\n";
  const std::string exploit = "550 5.7.1 Open relay exploit detected in RCPT TO address.\r\n";
  run("MAIL FROM:<x@y>\r\nRCPT TO:<friend@example.net>\r\nRCPT TO:<me%friend.example.net@"
      "example.org>\r\nRCPT TO:<me@example.org>\r\nAUTH PLAIN AGEAYg==\r\nRCPT "
      "TO:<friend@example.net>\r\n",
      "250 ok\r\n250 local ok\r\n235 welcome\r\n250 relayed\r\n", false);
  EXPECT_EQ(toClient(),
            "250 ok\r\n" + noRelay + exploit + "250 local ok\r\n235 welcome\r\n250 relayed\r\n");
  EXPECT_EQ(toServer(), "MAIL FROM:<x@y>\r\nRCPT TO:<me@example.org>\r\nAUTH PLAIN "
                        "AGEAYg==\r\nRCPT TO:<friend@example.net>\r\n");
  EXPECT_TRUE(session_->authenticated);

  // A client in the local IP blocks needs no log-in.
  run("MAIL FROM:<x@y>\r\nRCPT TO:<friend@example.net>\r\n", "250 ok\r\n250 relayed\r\n", true);
  EXPECT_EQ(toClient(), "250 ok\r\n250 relayed\r\n");
}

TEST_F(DialogueTest, AThousandRecipientsAreEachRelayed) {
  configure("");
  std::string lines = "MAIL FROM:<a@b>\r\n";
  std::string replies = "250 ok\r\n";
  for (int i = 0; i < 1000; ++i) {
    lines += "RCPT TO:<r" + std::to_string(i) + "@example.net>\r\n";
    replies += "250 ok " + std::to_string(i) + "\r\n";
  }
  run(lines, replies);
  EXPECT_EQ(toServer(), lines);
  EXPECT_EQ(toClient(), replies);
}

TEST_F(DialogueTest, BlackListedSendersAreRefusedBeforeTheServerSeesThem) {
  writeFile(data_.file("blist_email.dat"), "*@spam.example\n");
  writeFile(data_.file("blist_ip.dat"), "192.0.2.0/24\n");
  writeFile(data_.file("wlist_email.dat"), "boss@example.org\n");
  configure("PORT_SMTP_REJECT_ON_MAIL_FROM YES\n");
  run("MAIL FROM:<deals@spam.example>\r\nRCPT TO:<a@b>\r\nMAIL FROM:<me@example.org>\r\n",
      "250 ok\r\n");
  EXPECT_EQ(toClient(), "501 5.7.1 Your email address has been locally blacklisted; you have no "
                        "permission to send.\r\n503 5.5.1 Incorrect command sequence\r\n250 "
                        "ok\r\n");
  EXPECT_EQ(toServer(), "MAIL FROM:<me@example.org>\r\n");
  EXPECT_EQ(session_->record.messagesSpam, 1);

  // By the client's address, unless the sender is white-listed.
  configure("PORT_SMTP_REJECT_ON_ORIGINATING_IP YES\n");
  run("MAIL FROM:<me@example.org>\r\nMAIL FROM:<boss@example.org>\r\n", "250 ok\r\n", false);
  EXPECT_EQ(toClient(), "501 5.7.1 Your I.P. address has been locally blacklisted; you have no "
                        "permission to send.\r\n250 ok\r\n");
  EXPECT_EQ(toServer(), "MAIL FROM:<boss@example.org>\r\n");
  // A local client's address is not held against it.
  run("MAIL FROM:<me@example.org>\r\n", "250 ok\r\n", true);
  EXPECT_EQ(toClient(), "250 ok\r\n");
}

TEST_F(DialogueTest, FilteredSpamIsTaggedAndDeliveredNotRefused) {
  writeFile(data_.file("blist_email.dat"), "*@spam.example\n");
  configure("PORT_SMTP_USE_FILTERING YES\n", "TAG_SUBJECT TRUE\n");
  run(kEnvelope + "DATA\r\nFrom: deals@spam.example\r\nSubject: offer\r\n\r\nbuy\r\n.\r\n",
      kAccepting);
  EXPECT_EQ(toServer(), kEnvelope + "DATA\r\nFrom: deals@spam.example\r\nSubject: **SPAM** "
                                    "offer\r\nX-Kestrelmail: SPAM BLIST EMAIL\r\n"
                                    "X-Blist-Pattern: *@spam.example\r\n\r\nbuy\r\n.\r\n");
  EXPECT_EQ(toClient(), kAccepting);
  EXPECT_EQ(session_->record.messagesSpam, 1);
  EXPECT_EQ(session_->record.messagesFiltered, 1);
}

TEST_F(DialogueTest, AuthIsRelayedWithItsChallengesAndMayLoseTheServerName) {
  const std::string user = base64Encode("alice@pop.example.com");
  const std::string shortUser = base64Encode("alice");
  const std::string password = base64Encode("secret");
  const std::string plain = base64Encode(std::string("\0alice@pop.example.com\0secret", 29));
  const std::string shortPlain = base64Encode(std::string("\0alice\0secret", 13));
  struct Case {
    const char* what;
    bool removeServerName;
    std::string client;
    std::string server;
    std::string toClient;
    std::string toServer;
    bool authenticated;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"LOGIN as given", false, "AUTH LOGIN\r\n" + user + "\r\n" + password + "\r\n",
            "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n",
            "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n",
            "AUTH LOGIN\r\n" + user + "\r\n" + password + "\r\n", true},
           {"LOGIN shortened", true, "AUTH LOGIN\r\n" + user + "\r\n" + password + "\r\n",
            "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n",
            "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n",
            "AUTH LOGIN\r\n" + shortUser + "\r\n" + password + "\r\n", true},
           {"PLAIN shortened", true, "AUTH PLAIN " + plain + "\r\n", "235 ok\r\n", "235 ok\r\n",
            "AUTH PLAIN " + shortPlain + "\r\n", true},
           {"PLAIN after a challenge", true, "AUTH PLAIN\r\n" + plain + "\r\n",
            "334 \r\n235 ok\r\n", "334 \r\n235 ok\r\n", "AUTH PLAIN\r\n" + shortPlain + "\r\n",
            true},
           {"PLAIN refused short, taken as given", true, "AUTH PLAIN " + plain + "\r\n",
            "535 no\r\n235 ok\r\n", "235 ok\r\n",
            "AUTH PLAIN " + shortPlain + "\r\nAUTH PLAIN " + plain + "\r\n", true},
           {"LOGIN refused both ways", true, "AUTH LOGIN\r\n" + user + "\r\n" + password + "\r\n",
            "334 a\r\n334 b\r\n535 no\r\n334 a\r\n334 b\r\n535 still no\r\n",
            "334 a\r\n334 b\r\n535 still no\r\n",
            "AUTH LOGIN\r\n" + shortUser + "\r\n" + password + "\r\nAUTH LOGIN\r\n" + user +
                "\r\n" + password + "\r\n",
            false},
           {"CRAM-MD5 untouched", true, "AUTH CRAM-MD5\r\nYWxpY2VAeCBkaWdlc3Q=\r\n",
            "334 PDEyMzQ+\r\n235 ok\r\n", "334 PDEyMzQ+\r\n235 ok\r\n",
            "AUTH CRAM-MD5\r\nYWxpY2VAeCBkaWdlc3Q=\r\n", true},
           {"cancelled", true, "AUTH LOGIN\r\n*\r\n", "334 VXNlcm5hbWU6\r\n501 cancelled\r\n",
            "334 VXNlcm5hbWU6\r\n501 cancelled\r\n", "AUTH LOGIN\r\n*\r\n", false}}) {
    configure(c.removeServerName ? "PORT_SMTP_REMOVE_SERVERNAME_FROM_USERNAME YES\n" : "");
    run(c.client, c.server);
    EXPECT_EQ(toClient(), c.toClient) << c.what;
    EXPECT_EQ(toServer(), c.toServer) << c.what;
    EXPECT_EQ(session_->authenticated, c.authenticated) << c.what;
  }
}

TEST_F(DialogueTest, AfterTurnTheFormerServerSendsAndTheFormerClientServes) {
  configure("");
  // The client's side: TURN, then its greeting and its answer to the server's QUIT.
  // The server's side: its answer to TURN, then the commands it sends.
  run("TURN\r\n220 client ready\r\n221 bye\r\n", "250 OK, turning\r\nQUIT\r\n");
  EXPECT_EQ(toClient(), "250 OK, turning\r\nQUIT\r\n");
  EXPECT_EQ(toServer(), "TURN\r\n220 client ready\r\n221 bye\r\n");
  // ATRN answers challenges as AUTH does before the roles change.
  run("ATRN example.org\r\nanswer\r\n220 client ready\r\n", "334 challenge\r\n250 ok\r\n");
  EXPECT_EQ(toClient(), "334 challenge\r\n250 ok\r\n");
  EXPECT_EQ(toServer(), "ATRN example.org\r\nanswer\r\n220 client ready\r\n");
  EXPECT_EQ(session_->client, &session_->serverConnection);
  run("TURN\r\n", "502 not implemented\r\n");
  EXPECT_EQ(toClient(), "502 not implemented\r\n");
  EXPECT_EQ(session_->client, &session_->clientConnection);
}

// --- Whole sessions on their thread -----------------------------------------------

TEST(SmtpSessionStart, AnUnreachableServerIsToldOnceAndCanBeMuted) {
  test::DataDirScope data;
  test::NotifierScope notices;
  notices.notifier().tick = true; // "do not show again"
  writeFile(data.file("dnsbl.dat"), "");
  int closedPort = test::freeLoopbackPort();
  data.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\nPORT 2525\nPORT_TYPE "
            "SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME 127.0.0.1:" +
            std::to_string(closedPort) + "\n");
  auto session = [&] {
    test::LoopbackPair pair = test::connectedPair();
    auto start = std::make_unique<SessionStart>();
    start->portConfig = AcquireConfig()->ports[0];
    start->clientSocket = pair.ours;
    start->clientAddress = kLoopbackAddress;
    EXPECT_TRUE(startSessionThread(std::move(start)));
    std::string told = pair.peer.receiveAll();
    for (int i = 0; i < 1000 && runningSessionCount() > 0; ++i) {
      sleepMs(10);
    }
    return told;
  };
  EXPECT_EQ(session(), "421 4.4.1 Unable to connect to SMTP server (error 10061)\r\n");
  ASSERT_EQ(notices.notifier().count(), 1u);
  EXPECT_NE(notices.notifier().notices()[0].text.find("127.0.0.1"), std::string::npos);
  // The tick went into the file and the next snapshot, not into the one in use.
  EXPECT_TRUE(AcquireConfig()->ports[0].smtp.muteConnectionErrors);
  EXPECT_NE(test::readFile(data.file("config.dat")).find("PORT_SMTP_MUTE_CONNECTION_ERRORS YES"),
            std::string::npos);
  EXPECT_EQ(session(), "421 4.4.1 Unable to connect to SMTP server (error 10061)\r\n");
  EXPECT_EQ(notices.notifier().count(), 1u);
}

} // namespace
} // namespace km
