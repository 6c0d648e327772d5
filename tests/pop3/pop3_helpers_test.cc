#include <gtest/gtest.h>

#include "pop3/pop3.h"

namespace km {
namespace {

TEST(ApopDigest, IsTheDigestOfTheTimeStampAndThePassword) {
  // The example exchange of the POP3 standard.
  EXPECT_EQ(apopDigest("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n", "tanstaaf"),
            "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(ApopDigest, NeedsACompleteTimeStamp) {
  EXPECT_FALSE(apopDigest("+OK ready\r\n", "secret"));
  EXPECT_FALSE(apopDigest("+OK ready <1896.697@host\r\n", "secret"));
  EXPECT_TRUE(apopDigest("+OK <a> <b>\r\n", "secret"));
}

TEST(GenericUserLine, TheLastSeparatorNamesTheServer) {
  std::optional<GenericUserLine> split =
      splitGenericUserLine("USER alice@example.com@pop.example.net:2110\r\n");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->serverLine, "USER alice@example.com\r\n");
  EXPECT_EQ(split->serverSpecification, "pop.example.net:2110");

  split = splitGenericUserLine("USER bob%pop.example.org\r\n");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->serverLine, "USER bob\r\n");
  EXPECT_EQ(split->serverSpecification, "pop.example.org");

  split = splitGenericUserLine("USER carol/mail.example.org junk\x01more\r\n");
  ASSERT_TRUE(split);
  EXPECT_EQ(split->serverSpecification, "mail.example.org junk");
}

TEST(GenericUserLine, WithoutASeparatorThereIsNoServer) {
  EXPECT_FALSE(splitGenericUserLine("USER alice\r\n"));
  EXPECT_FALSE(splitGenericUserLine("@pop.example.org\r\n"));
}

TEST(UserName, IsTheTextAfterTheCommandWord) {
  EXPECT_EQ(userNameOf("USER   alice smith\r\n"), "alice smith");
  EXPECT_EQ(userNameOf("USER\r\n"), "");
}

TEST(ServerSpecification, NamesAHostAndAnOptionalPort) {
  Pop3Server server = parsePop3Server("pop.example.org");
  EXPECT_EQ(server.host, "pop.example.org");
  EXPECT_EQ(server.port, 110);
  server = parsePop3Server("192.0.2.7:1100");
  EXPECT_EQ(server.host, "192.0.2.7");
  EXPECT_EQ(server.port, 1100);
  server = parsePop3Server("[2001:db8::1]:995");
  EXPECT_EQ(server.host, "2001:db8::1");
  EXPECT_EQ(server.port, 995);
  EXPECT_EQ(parsePop3Server("host:pop3").port, 0) << "a port is read as a number";
}

} // namespace
} // namespace km
