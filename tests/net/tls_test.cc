// Upstream TLS against real TLS servers on loopback: "openssl s_server" for implicit
// TLS and a small Python server (the system's OpenSSL underneath) for STLS, both
// with a certificate from a test CA made here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "loopback.h"
#include "net/line_socket.h"
#include "net/upstream_tls.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

int run(const std::string& command) {
  return std::system(command.c_str());
}

bool waitForFileText(const std::string& path, const std::string& text) {
  for (int i = 0; i < 200; ++i) {
    if (readFile(path).find(text) != std::string::npos) {
      return true;
    }
    sleepMs(50);
  }
  return false;
}

class TlsTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    sharedDir = new TempDir;
    const std::string d = sharedDir->path();
    writeFile(d + "ext.cnf", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    ASSERT_EQ(run("cd " + d + " && openssl req -x509 " + ec +
                  "-keyout ca.key -out ca.pem -subj '/CN=Kestrelmail Test CA' -days 2 "
                  ">/dev/null 2>&1"),
              0);
    ASSERT_EQ(run("cd " + d + " && openssl req " + ec +
                  "-keyout server.key -out server.csr -subj '/CN=localhost' >/dev/null 2>&1"),
              0);
    ASSERT_EQ(run("cd " + d +
                  " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key "
                  "-CAcreateserial -out server.pem -days 2 -extfile ext.cnf >/dev/null 2>&1"),
              0);

    implicitPort = test::freeLoopbackPort();
    run("exec openssl s_server -accept 127.0.0.1:" + std::to_string(implicitPort) + " -cert " + d +
        "server.pem -key " + d + "server.key -rev >" + d + "s_server.log 2>&1 & echo $! >" + d +
        "s_server.pid");
    ASSERT_TRUE(waitForFileText(d + "s_server.log", "ACCEPT")) << readFile(d + "s_server.log");

    const std::string script = std::string(KESTREL_SOURCE_DIR) + "/tests/net/starttls_peer.py";
    for (const std::string mode : {"plain", "inject"}) {
      run("exec /usr/bin/python3 " + script + " " + d + mode + ".port " + d + "server.pem " + d +
          "server.key " + mode + " >" + d + mode + ".log 2>&1 & echo $! >" + d + mode + ".pid");
    }
    for (const std::string mode : {"plain", "inject"}) {
      for (int i = 0; i < 200 && !fileExists(d + mode + ".port"); ++i) {
        sleepMs(50);
      }
    }
    starttlsPort = std::atoi(readFile(d + "plain.port").c_str());
    injectPort = std::atoi(readFile(d + "inject.port").c_str());
    ASSERT_GT(starttlsPort, 0) << readFile(d + "plain.log");
    ASSERT_GT(injectPort, 0) << readFile(d + "inject.log");
  }

  static void TearDownTestSuite() {
    const std::string d = sharedDir->path();
    for (const char* name : {"s_server", "plain", "inject"}) {
      run("kill $(cat " + d + name + ".pid) 2>/dev/null");
    }
    delete sharedDir;
    sharedDir = nullptr;
  }

  static std::string caFile() { return sharedDir->file("ca.pem"); }

  // A plain connection to a loopback port, wrapped.
  void connect(LineSocket& ls, int port, const std::string& host = "127.0.0.1") {
    int error = 0;
    SocketHandle sock = connectTcp(host, port, 10000, error).release();
    ASSERT_NE(sock, kInvalidSocket) << error;
    ls.attach(sock);
  }

  TlsClientOptions trusting(const std::string& name) {
    TlsClientOptions options;
    options.serverName = name;
    options.caFile = caFile();
    return options;
  }

  // Starts STLS on the Python server's connection.
  void upgrade(LineSocket& ls, int port) {
    connect(ls, port);
    ASSERT_EQ(ls.readLine(10), "+OK ready\r\n");
    ASSERT_TRUE(ls.sendString("STLS\r\n"));
    ASSERT_EQ(ls.readLine(10), "+OK begin TLS\r\n");
  }

  static std::string text(const BlockReader& br) { return std::string(br.run()); }

  static TempDir* sharedDir;
  static int implicitPort;
  static int starttlsPort;
  static int injectPort;
};

TempDir* TlsTest::sharedDir = nullptr;
int TlsTest::implicitPort = 0;
int TlsTest::starttlsPort = 0;
int TlsTest::injectPort = 0;

TEST_F(TlsTest, ImplicitTlsWithATrustedCertificateCarriesLinesForANameOrAnAddress) {
  LineSocket ls;
  // "localhost" resolves to ::1 as well, where nothing listens: the next address
  // is tried.
  connect(ls, implicitPort, "localhost");
  std::string failure;
  ASSERT_TRUE(ls.startTls(trusting("localhost"), 10000, failure)) << failure;
  ASSERT_TRUE(ls.sendString("hello world\n"));
  BlockReader br(ls, 1000, "\n", 10000);
  std::string reply;
  while (!br.terminatorFound() && br.read()) {
    reply += text(br);
  }
  EXPECT_EQ(reply, "dlrow olleh\n");
  ls.close(); // the server serves one connection at a time

  LineSocket literal;
  connect(literal, implicitPort);
  EXPECT_TRUE(literal.startTls(trusting("127.0.0.1"), 10000, failure)) << failure;
}

TEST_F(TlsTest, AWrongHostNameIsRefusedWithAClearError) {
  LineSocket ls;
  connect(ls, implicitPort);
  std::string failure;
  EXPECT_FALSE(ls.startTls(trusting("mail.example.org"), 10000, failure));
  EXPECT_NE(failure.find("hostname mismatch"), std::string::npos) << failure;
  EXPECT_EQ(ls.state(), SocketState::Error);
  EXPECT_FALSE(ls.sendString("anything\r\n")) << "nothing goes out after a refusal";
}

// Trust comes from the configured CA file or the system store; TLS_VERIFY NO takes
// any certificate for any name.
TEST_F(TlsTest, AnUntrustedCertificateIsRefusedUnlessTheConfigurationSaysOtherwise) {
  auto handshake = [&](const TlsClientOptions& options, std::string& failure) {
    LineSocket ls;
    connect(ls, implicitPort);
    bool secured = ls.startTls(options, 10000, failure);
    ls.close();
    return secured;
  };
  std::string failure;
  Config config;
  PortConfig port;
  EXPECT_FALSE(handshake(tlsOptionsFor(config, port, "localhost"), failure));
  EXPECT_NE(failure.find("certificate verify failed"), std::string::npos) << failure;
  TlsClientOptions missing = trusting("localhost");
  missing.caFile = sharedDir->file("no-such-ca.pem");
  EXPECT_FALSE(handshake(missing, failure));
  EXPECT_NE(failure.find("no-such-ca.pem"), std::string::npos) << failure;
  config.tlsCaFile = caFile();
  EXPECT_TRUE(handshake(tlsOptionsFor(config, port, "localhost"), failure)) << failure;
  config.tlsCaFile.clear();
  config.tlsVerify = false;
  EXPECT_TRUE(handshake(tlsOptionsFor(config, port, "elsewhere.example"), failure)) << failure;
  // A port's own settings win over the global ones, either way.
  port.tlsVerify = true;
  EXPECT_FALSE(handshake(tlsOptionsFor(config, port, "localhost"), failure));
  port.tlsCaFile = caFile();
  EXPECT_TRUE(handshake(tlsOptionsFor(config, port, "localhost"), failure)) << failure;
  config.tlsVerify = true;
  port.tlsCaFile.clear();
  port.tlsVerify = false;
  EXPECT_TRUE(handshake(tlsOptionsFor(config, port, "elsewhere.example"), failure)) << failure;
}

TEST(UpstreamSecurity, AutoMeansImplicitTlsOnTheTlsPortsOnly) {
  for (int port : {995, 993, 465}) {
    EXPECT_EQ(upstreamSecurity(UpstreamTls::Auto, port), UpstreamSecurity::Implicit) << port;
  }
  EXPECT_EQ(upstreamSecurity(UpstreamTls::Auto, 110), UpstreamSecurity::Plain);
  EXPECT_EQ(upstreamSecurity(UpstreamTls::Auto, 587), UpstreamSecurity::Plain);
  EXPECT_EQ(upstreamSecurity(UpstreamTls::StartTls, 995), UpstreamSecurity::StartTls);
  EXPECT_EQ(upstreamSecurity(UpstreamTls::None, 993), UpstreamSecurity::Plain);
  EXPECT_EQ(upstreamSecurity(UpstreamTls::Implicit, 110), UpstreamSecurity::Implicit);
}

TEST_F(TlsTest, StlsUpgradesInPlaceAndWaitsSeeBytesThatTlsAlreadyHolds) {
  LineSocket ls;
  upgrade(ls, starttlsPort);
  std::string failure;
  ASSERT_TRUE(ls.startTls(trusting("localhost"), 10000, failure)) << failure;
  ASSERT_TRUE(ls.writeString("NOOP\r\n"));
  ASSERT_TRUE(ls.flush());
  EXPECT_EQ(ls.readLine(10), "echo: NOOP\r\n");
  ASSERT_TRUE(ls.sendString("BURST 1000000\r\n"));
  std::optional<std::string> line = ls.readLine(10);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 1000002u) << "a megabyte line over TLS comes whole";

  ASSERT_TRUE(ls.sendString("BURST 5000\r\n"));
  // The 5,002 bytes come in one TLS record; a read of 100 leaves the rest inside
  // OpenSSL and none on the socket.
  BlockReader first(ls, 100, "", 10000);
  ASSERT_TRUE(first.read());
  std::string gathered = text(first);
  BlockReader rest(ls, 100, "", 0); // no time to wait: only held bytes can come
  while (gathered.size() < 5002 && rest.read() && !rest.run().empty()) {
    gathered += text(rest);
  }
  EXPECT_EQ(gathered, std::string(5000, 'x') + "\r\n");

  ASSERT_TRUE(ls.sendString("QUIT\r\n"));
  EXPECT_EQ(ls.readLine(10), std::nullopt);
  EXPECT_EQ(ls.state(), SocketState::Closed);
}

TEST_F(TlsTest, PlainBytesAfterTheStlsReplyRefuseTheUpgrade) {
  LineSocket ls;
  upgrade(ls, injectPort);
  // The injected line came in the reply's packet; should it lag behind, wait for it.
  if (!ls.hasBufferedInput()) {
    int byte = ls.readChar(10);
    ASSERT_GE(byte, 0);
    char first = static_cast<char>(byte);
    ls.unread(&first, 1);
  }
  std::string failure;
  EXPECT_FALSE(ls.startTls(trusting("localhost"), 10000, failure));
  EXPECT_NE(failure.find("before the secure connection"), std::string::npos) << failure;
  EXPECT_NE(ls.state(), SocketState::Open);
}

} // namespace
} // namespace km
