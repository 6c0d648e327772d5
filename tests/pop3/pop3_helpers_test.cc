#include <gtest/gtest.h>

#include "pop3/pop3.h"

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

} // namespace
} // namespace km
