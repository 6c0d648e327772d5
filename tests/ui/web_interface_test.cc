#include <gtest/gtest.h>
#include <httplib.h>

#include "platform/files.h"
#include "platform/sockets.h"
#include "support/test_support.h"
#include "ui/web_interface.h"

namespace km {
namespace {

// A loopback port the test holds, so that the pages take a free one instead.
struct TakenPort {
  TakenPort() {
    int error = 0;
    if (bindSocket(socket.get(), {127, 0, 0, 1}, 0, error) &&
        listenOnSocket(socket.get(), 1, error)) {
      port = boundPort(socket.get());
    }
  }
  UniqueSocket socket{createTcpSocket()};
  int port = 0;
};

// The pages stop at once after they start: the server's loop must already run
// when start returns, or the stop is lost and shutdown waits forever.
TEST(WebInterface, StopsRightAfterStartingAndLeavesNothingBehind) {
  test::DataDirScope data;
  test::NotifierScope notices;
  TakenPort taken;
  ASSERT_NE(taken.port, 0);
  for (int round = 0; round < 20; ++round) {
    WebInterfaceStart start = startWebInterface(taken.port);
    ASSERT_TRUE(start.serving) << start.trouble;
    EXPECT_NE(start.port, taken.port);
    EXPECT_NE(start.trouble.find("instead"), std::string::npos) << start.trouble;
    EXPECT_EQ(webInterfaceAddress(), start.address);
    EXPECT_EQ(test::readFile(data.file("web_interface.txt")), start.address + "\n");
    stopWebInterface();
    EXPECT_EQ(webInterfaceAddress(), "");
    EXPECT_FALSE(fileExists(data.file("web_interface.txt")));
  }
}

// A served round trip, and the refusals that do not depend on the token.
TEST(WebInterface, AnswersOnlyToItsOwnHostName) {
  test::DataDirScope data;
  test::NotifierScope notices;
  TakenPort taken;
  WebInterfaceStart start = startWebInterface(taken.port);
  ASSERT_TRUE(start.serving) << start.trouble;
  httplib::Client client("127.0.0.1", start.port);
  std::string own = "127.0.0.1:" + std::to_string(start.port);
  struct Case {
    std::string host;
    std::string path;
    int status;
  } cases[] = {
      {own, "/api/status", 401},
      {"localhost:" + std::to_string(start.port), "/no-such-page", 404},
      {"attacker.example:" + std::to_string(start.port), "/", 403},
      {"127.0.0.1", "/", 403},
  };
  for (const Case& c : cases) {
    httplib::Result result = client.Get(c.path.c_str(), {{"Host", c.host}});
    ASSERT_TRUE(result) << c.host;
    EXPECT_EQ(result->status, c.status) << c.host << c.path;
  }
  stopWebInterface();
}

} // namespace
} // namespace km
