#include <gtest/gtest.h>

#include <ctime>

#include "config/data_dir.h"
#include "imap4/imap4.h"
#include "message/message.h"
#include "net/line_socket.h"
#include "net/loopback.h"
#include "support/test_support.h"

namespace km {
namespace {

ImapLine parse(std::string_view text, LineKind kind = LineKind::Response,
               LineSocket* socket = nullptr) {
  return parseImapLine(kind, text, socket, nullptr);
}

// A memory connection holding `input`, collecting what is written to it.
struct MemoryPeer {
  explicit MemoryPeer(std::string_view input = {}) {
    socket.useMemory();
    socket.unread(input.data(), input.size());
  }
  std::string written() const { return std::string(socket.memoryOutput()); }
  std::string rest() {
    std::string all;
    while (std::optional<std::string> line = socket.readLine(-1)) {
      all += *line;
    }
    return all;
  }
  LineSocket socket;
};

TEST(ImapLineParser, TokensOfEveryKindAreReadAndWrittenBackAsTheyCame) {
  struct Case {
    const char* text;
    const char* written; // when it differs from the text
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a001 LOGIN alice \"pass word\"\r\n", nullptr},
           {"* 1 FETCH (UID 7 FLAGS (\\Seen \\Recent))\r\n", nullptr},
           {"a2 FETCH 1 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n", nullptr},
           {"* OK [PERMANENTFLAGS (\\Seen \\*)] Flags permitted.\r\n", nullptr},
           {"a3 SELECT \"a \\\"quoted\\\" name\"\r\n", nullptr},
           {"a4 SELECT \"C:\\\\\" rest\r\n", nullptr},
           {"a5  NOOP   \r\n", "a5 NOOP\r\n"},
           {"* LIST () \"\" \"\"\r\n", nullptr},
           {"a6 LOGIN {5}\r\n", nullptr},         // no socket: an atom
           {"a7 APPEND box {12+}\r\n", nullptr},  // a non-synchronising literal is an atom
           {"* X ((a) b\r\n", "* X ((a) b)\r\n"}, // an unbalanced list ends with the line
           {"* X a)) b\r\n", nullptr},            // a stray ")" belongs to its atom
           {"* X \"unterminated\r\n", "* X \"unterminated\"\r\n"},
       }) {
    ImapLine line = parse(c.text);
    EXPECT_EQ(imapLineText(line), c.written ? c.written : c.text) << c.text;
  }
  ImapLine fetch = parse("* 12 FETCH (UID 7 FLAGS (\\Seen))\r\n");
  ASSERT_EQ(fetch.tokens.size(), 4u);
  EXPECT_TRUE(tokenIs(fetch.tokens, 2, "fetch"));
  ASSERT_TRUE(isListToken(fetch.tokens, 3));
  EXPECT_EQ(tokenText(fetch.tokens[3].list, 1), "7");
  EXPECT_TRUE(isListToken(fetch.tokens[3].list, 3));
  EXPECT_EQ(tokenText(fetch.tokens, 3), "") << "a list has no text";
  EXPECT_EQ(tokenText(fetch.tokens, 9), "");
  ImapLine quoted = parse("a SELECT \"a \\\"b\\\" c\" \"\"\r\n");
  EXPECT_EQ(quoted.tokens[2].type, TokenType::Quoted);
  EXPECT_EQ(tokenText(quoted.tokens, 2), "a \\\"b\\\" c") << "backslashes are kept";
  EXPECT_EQ(tokenText(quoted.tokens, 3), "");
  EXPECT_EQ(quoted.tokens.size(), 4u);
}

TEST(ImapLineParser, DeepParenthesesNeitherCrashNorNestWithoutEnd) {
  std::string text = "* X " + std::string(200000, '(') + "\r\n";
  ImapLine line = parse(text);
  size_t depth = 0;
  const ImapTokens* list = &line.tokens;
  while (!list->empty() && list->back().type == TokenType::List) {
    list = &list->back().list;
    ++depth;
  }
  EXPECT_EQ(depth, static_cast<size_t>(kDeepestImapList));
}

TEST(ImapLineParser, LiteralsAreReadFromTheConnectionAndTheLineGoesOnAfterThem) {
  // A client's literal is asked for with "+ Please continue".
  MemoryPeer client("secret\r\n");
  ImapLine login = parse("a1 LOGIN alice {6}\r\n", LineKind::Command, &client.socket);
  EXPECT_EQ(client.written(), "+ Please continue\r\n");
  ASSERT_TRUE(login.complete);
  ASSERT_EQ(login.tokens.size(), 4u);
  EXPECT_EQ(login.tokens[3].type, TokenType::Literal);
  EXPECT_EQ(login.tokens[3].text, "secret");
  MemoryPeer plus("12 bytes....\r\n");
  ImapLine append = parse("a7 APPEND box {12+}\r\n", LineKind::Command, &plus.socket);
  EXPECT_EQ(tokenText(append.tokens, 3), "{12+}") << "a non-synchronising literal is no literal";
  EXPECT_EQ(plus.written(), "");

  // A server's literals, inside a list, two on one answer; nothing is asked for.
  MemoryPeer server("From: a\r\n\r\n BODY[TEXT] {4}\r\nbody)\r\nnext\r\n");
  ImapLine fetch =
      parse("* 1 FETCH (UID 5 BODY[HEADER] {11}\r\n", LineKind::Response, &server.socket);
  EXPECT_EQ(server.written(), "");
  ASSERT_TRUE(fetch.complete);
  const ImapTokens& items = fetch.tokens[3].list;
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[3].text, "From: a\r\n\r\n");
  EXPECT_EQ(items[5].text, "body");
  EXPECT_EQ(imapLineText(fetch),
            "* 1 FETCH (UID 5 BODY[HEADER] {11}\r\nFrom: a\r\n\r\n BODY[TEXT] {4}\r\nbody)\r\n");
  EXPECT_EQ(server.rest(), "next\r\n");

  // A literal that ends early, and one longer than the client may send.
  MemoryPeer cut("abc");
  EXPECT_FALSE(parse("* 1 FETCH (BODY[] {10}\r\n", LineKind::Response, &cut.socket).complete);
  MemoryPeer greedy;
  greedy.socket.setLineLimit(100);
  EXPECT_FALSE(parse("a LOGIN {101}\r\n", LineKind::Command, &greedy.socket).complete);
  EXPECT_EQ(greedy.written(), "") << "no leave to send what will not be taken";
}

TEST(ImapLineWriter, ACommandLiteralWaitsForTheServersLeaveAndKeepsWhatItSaidMeanwhile) {
  test::LoopbackPair pair = test::connectedPair();
  LineSocket server;
  server.attach(pair.ours);
  ImapLine append = parse("A1 APPEND box", LineKind::Command);
  appendToken(append.tokens, TokenType::String, "line one\r\nline two");
  ASSERT_TRUE(pair.peer.send("* 3 EXISTS\r\n+ go ahead\r\n"));
  EXPECT_EQ(writeImapLine(append, server, nullptr), WriteResult::Written);
  ASSERT_TRUE(server.flush());
  EXPECT_EQ(pair.peer.receive(40), "A1 APPEND box {18}\r\nline one\r\nline two\r\n");
  EXPECT_EQ(server.readLine(1), "* 3 EXISTS\r\n") << "pushed back for the session";

  // A refusal instead of "+": the literal is not sent, the answer stays readable.
  ImapLine again = parse("A2 APPEND box", LineKind::Command);
  appendToken(again.tokens, TokenType::String, "x\"y");
  ASSERT_TRUE(pair.peer.send("* OK noise\r\nA2 NO [OVERQUOTA] full\r\n"));
  EXPECT_EQ(writeImapLine(again, server, nullptr), WriteResult::Refused);
  server.flush();
  EXPECT_EQ(server.readLine(1), "* OK noise\r\n");
  EXPECT_EQ(server.readLine(1), "A2 NO [OVERQUOTA] full\r\n");
  server.close();
  EXPECT_EQ(pair.peer.receiveAll(), "A2 APPEND box {3}\r\n");
}

TEST(ImapTokens, StringsBecomeQuotedOrLiteralAndOwnTagsCount) {
  ImapTokens list;
  appendToken(list, TokenType::String, "INBOX.Sent Items");
  appendToken(list, TokenType::String, "with \"quote\"");
  appendToken(list, TokenType::String, "caf\xc3\xa9");
  appendToken(list, TokenType::List);
  insertToken(list, 0, TokenType::Atom, "first");
  EXPECT_EQ(list[1].type, TokenType::Quoted);
  EXPECT_EQ(list[2].type, TokenType::Literal);
  EXPECT_EQ(list[3].type, TokenType::Literal);
  EXPECT_TRUE(isListToken(list, 4));
  EXPECT_TRUE(tokenIs(list, 0, "FIRST"));
  EXPECT_FALSE(tokenIs(list, 4, ""));
  removeToken(list, 0);
  EXPECT_EQ(tokenText(list, 0), "INBOX.Sent Items");
  uint32_t counter = 41;
  EXPECT_EQ(imapLineText(newOwnCommand(counter)), "KRTL41\r\n");
  EXPECT_EQ(counter, 42u);
  EXPECT_EQ(firstWord("  a1\tOK done"), "a1");
  EXPECT_EQ(secondWord("  a1\tOK done"), "OK");
  EXPECT_EQ(secondWord("a1"), "");
}

TEST(Imap4Names, GenericUserNamesAndServers) {
  std::optional<GenericLogin> login = splitGenericLogin("alice@example.com@imap.example.org:993");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->user, "alice@example.com");
  EXPECT_EQ(login->server, "imap.example.org:993");
  EXPECT_EQ(splitGenericLogin("bob%imap.example.org")->user, "bob");
  EXPECT_FALSE(splitGenericLogin("carol"));
  EXPECT_EQ(parseImap4Server("imap.example.org").port, 143);
  EXPECT_EQ(parseImap4Server("imap.example.org:993").port, 993);
  Imap4Server v6 = parseImap4Server("[2001:db8::1]:993");
  EXPECT_EQ(v6.host, "2001:db8::1");
  EXPECT_EQ(v6.port, 993);
}

TEST(Imap4Capabilities, TheClientIsNeverOfferedWhatTheProxyCannotRelay) {
  EXPECT_EQ(reduceBracketCapability(
                "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] Dovecot ready.\r\n"),
            "* OK [CAPABILITY IMAP4rev1] Dovecot ready.\r\n");
  EXPECT_EQ(reduceBracketCapability("a1 OK [CAPABILITY IMAP4rev1 IDLE\r\n"),
            "a1 OK [CAPABILITY IMAP4rev1\r\n");
  EXPECT_EQ(withoutUnrelayableCapabilities(
                "* CAPABILITY IMAP4rev1 STARTTLS IDLE LITERAL+ COMPRESS=DEFLATE UIDPLUS\r\n"),
            "* CAPABILITY IMAP4rev1 IDLE UIDPLUS\r\n");
  EXPECT_EQ(withoutUnrelayableCapabilities("* CAPABILITY IMAP4rev1  IDLE\r\n"),
            "* CAPABILITY IMAP4rev1  IDLE\r\n");
}

MailboxState mailboxWithRecent(std::initializer_list<const char*> uids) {
  MailboxState mailbox;
  mailbox.name = "INBOX";
  for (const char* uid : uids) {
    mailbox.recentUids.add(uid);
  }
  return mailbox;
}

TEST(ClientFetch, FlagsShowRecentExactlyOnTheMessagesTheProxyPresentedAndTheUidItAddedGoes) {
  MailboxState mailbox = mailboxWithRecent({"7"});
  ImapLine answer = parse("* 1 FETCH (UID 7 FLAGS (\\Seen))\r\n");
  fixFetchFlags(answer, true, mailbox);
  EXPECT_EQ(imapLineText(answer), "* 1 FETCH (FLAGS (\\Seen \\Recent))\r\n");
  ImapLine other = parse("* 2 FETCH (FLAGS (\\RECENT \\Seen) UID 8)\r\n");
  fixFetchFlags(other, false, mailbox);
  EXPECT_EQ(imapLineText(other), "* 2 FETCH (FLAGS (\\Seen) UID 8)\r\n");
  ImapLine noUid = parse("* 3 FETCH (FLAGS (\\Recent))\r\n");
  fixFetchFlags(noUid, true, mailbox);
  EXPECT_EQ(imapLineText(noUid), "* 3 FETCH (FLAGS (\\Recent))\r\n") << "nothing to go by";

  MemoryPeer client;
  MemoryPeer server("* 1 FETCH (UID 7 FLAGS (\\Seen))\r\n"
                    "* 4 EXISTS\r\n"
                    "* 2 FETCH (UID 8 FLAGS (\\Recent) BODY[] {3}\r\nabc)\r\n"
                    "a1 OK done\r\n"
                    "later\r\n");
  ImapLine fetch = parse("a1 FETCH 1:* (FLAGS BODY[])\r\n", LineKind::Command);
  relayClientFetch(fetch, client.socket, server.socket, &mailbox);
  EXPECT_EQ(server.written(), "a1 FETCH 1:* (UID FLAGS BODY[])\r\n");
  EXPECT_EQ(client.written(), "* 1 FETCH (FLAGS (\\Seen \\Recent))\r\n"
                              "* 2 FETCH (FLAGS () BODY[] {3}\r\nabc)\r\n"
                              "a1 OK done\r\n");
  EXPECT_EQ(server.rest(), "* 4 EXISTS\r\nlater\r\n") << "other answers are relayed later";
}

TEST(ClientFetch, MacrosAreExpandedAndFetchesWithoutFlagsGoAsTheyAre) {
  MailboxState mailbox = mailboxWithRecent({});
  struct Case {
    const char* line;
    bool withMailbox;
    const char* sent;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a2 FETCH 2 FAST\r\n", true, "a2 FETCH 2 (UID FLAGS INTERNALDATE RFC822.SIZE)\r\n"},
           {"a3 UID FETCH 5 ALL\r\n", true,
            "a3 UID FETCH 5 (UID FLAGS INTERNALDATE RFC822.SIZE ENVELOPE)\r\n"},
           {"a4 FETCH 1 FULL\r\n", false,
            "a4 FETCH 1 (FLAGS INTERNALDATE RFC822.SIZE ENVELOPE BODY)\r\n"},
           {"a5 UID FETCH 1:* (BODY.PEEK[])\r\n", true, "a5 UID FETCH 1:* (BODY.PEEK[])\r\n"},
           {"a6 FETCH 1:*\r\n", true, "a6 FETCH 1:* ()\r\n"},
           {"a7 FETCH\r\n", true, "a7 FETCH\r\n"},
       }) {
    MemoryPeer client;
    MemoryPeer server(std::string(c.line).substr(0, 2) + " OK done\r\n");
    ImapLine fetch = parse(c.line, LineKind::Command);
    relayClientFetch(fetch, client.socket, server.socket, c.withMailbox ? &mailbox : nullptr);
    EXPECT_EQ(server.written(), c.sent) << c.line;
  }
}

TEST(ClientSearch, OldNewAndRecentMeanTheMessagesThisProxyPresentedAsRecent) {
  MailboxState recent = mailboxWithRecent({"7", "9"});
  MailboxState none = mailboxWithRecent({});
  struct Case {
    const char* line;
    const MailboxState* mailbox;
    const char* sent;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"a1 SEARCH NEW\r\n", &recent, "a1 SEARCH UNSEEN UID 7,9\r\n"},
           {"a2 UID SEARCH old FROM x\r\n", &recent, "a2 UID SEARCH NOT UID 7,9 FROM x\r\n"},
           {"a3 SEARCH RECENT\r\n", &none, "a3 SEARCH RECENT\r\n"},
           {"a4 SEARCH NEW\r\n", nullptr, "a4 SEARCH UNSEEN RECENT\r\n"},
       }) {
    MemoryPeer client;
    MemoryPeer server;
    EXPECT_TRUE(rewriteSearch(c.line, client.socket, server.socket, c.mailbox));
    EXPECT_EQ(server.written(), c.sent) << c.line;
  }
  MemoryPeer client("caf\xc3\xa9\r\n");
  MemoryPeer server;
  EXPECT_TRUE(rewriteSearch("a5 SEARCH CHARSET UTF-8 SUBJECT {5}\r\n", client.socket, server.socket,
                            &recent));
  EXPECT_EQ(client.written(), "+ Please continue\r\n");
  EXPECT_EQ(server.written(), "a5 SEARCH CHARSET UTF-8 SUBJECT {5}\r\ncaf\xc3\xa9\r\n");
}

// The state files, in a data directory of their own.
class StateFiles : public ::testing::Test {
protected:
  void SetUp() override {
    createDirectory(dataPath("imap4_state"));
    account_.userName = "alice";
    account_.serverName = "imap.example.org:993";
  }
  static std::string digestRecord(const Md5Digest& digest, uint32_t lastSeen) {
    std::string record(reinterpret_cast<const char*>(digest.data()), digest.size());
    for (int shift = 0; shift < 32; shift += 8) {
      record.push_back(static_cast<char>((lastSeen >> shift) & 0xff));
    }
    return record;
  }
  static uint32_t now() { return static_cast<uint32_t>(std::time(nullptr)); }

  test::DataDirScope data_;
  Imap4Account account_;
};

TEST_F(StateFiles, NamesAreMadeSafeAndKeptShortEnough) {
  for (const auto& [made, safe] : std::initializer_list<std::pair<const char*, const char*>>{
           {"alice@imap.example.org:993-INBOX-uids.dat",
            "alice@imap.example.orgG993-INBOX-uids.dat"},
           {"Sent Items", "SentGItems"},
           {"caf\xe9", "caf*"},          // bytes from 128 up give characters below 'A'
           {"..\xee..\xeex", ".._.._x"}, // never a folder separator
       }) {
    EXPECT_EQ(stateFileName(made), safe) << made;
  }
  EXPECT_EQ(uidFilePath(account_, "Junk Mail"),
            stateDirectory() + "alice@imap.example.orgG993-JunkGMail-uids.dat");
  std::string longPath = uidFilePath(account_, std::string(400, 'x'));
  EXPECT_EQ(longPath.size(), kLongestStatePath);
  EXPECT_EQ(headerDigestPath(account_),
            stateDirectory() + "alice@imap.example.orgG993-headers.dat");
}

TEST_F(StateFiles, UidFilesLoadAppendAndAreSharedBetweenSessions) {
  test::writeFile(uidFilePath(account_, "INBOX"), "1700000000\n17\n18\r\n");
  MailboxState& inbox = findMailbox(account_, "INBOX");
  EXPECT_EQ(inbox.lastPruneTime, 1700000000);
  EXPECT_EQ(inbox.filteredUids.items(), (std::vector<std::string>{"17", "18"}));
  EXPECT_EQ(&findMailbox(account_, "inbox"), &inbox) << "names are compared ignoring case";
  inbox.filteredUids.add("19");
  Imap4Account other;
  other.userName = account_.userName;
  other.serverName = account_.serverName;
  MailboxState& seenElsewhere = findMailbox(other, "INBOX");
  EXPECT_EQ(seenElsewhere.filteredUids.size(), 2u) << "not saved yet";
  findMailbox(account_, "INBOX");
  EXPECT_EQ(inbox.filteredUids.size(), 3u) << "unsaved UIDs are not dropped by a reload";
  saveUidFile(account_, inbox);
  EXPECT_EQ(test::readFile(uidFilePath(account_, "INBOX")), "1700000000\n17\n18\r\n19\n");
  findMailbox(other, "INBOX");
  EXPECT_TRUE(seenElsewhere.filteredUids.contains("19")) << "the next SELECT sees it";

  // A new file begins with the prune time; rewriting keeps only what is left.
  MailboxState& junk = findMailbox(account_, "Junk");
  junk.filteredUids.add("3");
  junk.filteredUids.add("4");
  saveUidFile(account_, junk);
  EXPECT_EQ(test::readFile(uidFilePath(account_, "Junk")),
            std::to_string(junk.lastPruneTime) + "\n3\n4\n");
  junk.filteredUids.clear();
  junk.filteredUids.add("4");
  junk.lastPruneTime = 1800000000;
  ASSERT_TRUE(rewriteUidFile(account_, junk));
  EXPECT_EQ(test::readFile(uidFilePath(account_, "Junk")), "1800000000\n4\n");
}

TEST_F(StateFiles, HeaderDigestsExpireAndSessionsMergeWhatTheyAdd) {
  std::vector<std::string> oldHeader = {"Subject: old\r\n"};
  std::vector<std::string> keptHeader = {"Subject: kept\r\n"};
  std::vector<std::string> futureHeader = {"Subject: future\r\n"};
  std::string path = headerDigestPath(account_);
  test::writeFile(path, digestRecord(headerDigest(oldHeader), now() - 29 * 86400) +
                            digestRecord(headerDigest(keptHeader), now() - 86400) +
                            digestRecord(headerDigest(futureHeader), now() + 86400) + "junk");
  EXPECT_EQ(loadHeaderDigests(path, account_), 1u);
  EXPECT_FALSE(headerSeenBefore(account_, oldHeader));
  EXPECT_TRUE(headerSeenBefore(account_, keptHeader));

  // Two sessions of the account, each remembering a message of its own.
  Imap4Account other;
  other.userName = account_.userName;
  other.serverName = account_.serverName;
  loadHeaderDigests(path, other);
  Message tagged;
  tagged.pristineHeaderLines = {"Subject: offer\r\n"};
  tagged.headerLines = {"Subject: **SPAM** offer\r\n", "X-Kestrelmail: SPAM\r\n"};
  rememberHeaders(account_, tagged);
  Message plain;
  plain.pristineHeaderLines = plain.headerLines = {"Subject: lunch\r\n"};
  rememberHeaders(other, plain);
  saveHeaderDigests(account_);
  saveHeaderDigests(other);
  Imap4Account fresh;
  EXPECT_EQ(loadHeaderDigests(path, fresh), 4u) << "kept, tagged, its original, and lunch";
  EXPECT_TRUE(headerSeenBefore(fresh, tagged.headerLines));
  EXPECT_TRUE(headerSeenBefore(fresh, tagged.pristineHeaderLines));
  EXPECT_TRUE(headerSeenBefore(fresh, plain.headerLines));
  EXPECT_EQ(test::readFile(path).size(), 4u * 20) << "the expired and future records are gone";
}

} // namespace
} // namespace km
