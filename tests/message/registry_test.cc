#include <gtest/gtest.h>

#include "message/message_fixture.h"
#include "net/thread_records.h"

namespace km::test {
namespace {

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
    int32_t type;
    bool retr;
    int64_t expected;
  };
  for (Case c : {Case{POP3_GENERIC, true, 64 * 1024}, Case{POP3_SPECIFIC, false, 4 * 1024},
                 Case{IMAP4_GENERIC, false, 10 * 1024}, Case{SMTP_SPECIFIC, true, 20 * 1024}}) {
    MessageFixture fixture(c.type);
    fixture.port.imap4.bodyK = 10;
    fixture.port.smtp.bodyK = 20;
    fixture.fetch.isRetr = c.retr;
    MessagePtr message = fixture.create();
    EXPECT_EQ(fixture.fetch.bodyFilterLimit, c.expected) << c.type;
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
    MessageFixture pop3(POP3_SPECIFIC);
    firstHandle = pop3.session.info.sessionHandle;
    EXPECT_EQ(currentThreadRecord()->sessionHandle, static_cast<int32_t>(firstHandle));
    MessageFixture smtp(SMTP_SPECIFIC);
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
