// The update library as any program would use it: loaded at run time and called
// through the record of include/kestrelmail/updates.h.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <kestrelmail/updates.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::HttpAnswer;
using test::LoopbackHttpServer;

constexpr const char* kDefinitions = "# published definitions\n"
                                     "LAST_UPDATED 2026-12-20\n"
                                     "REVISION 20261220\n"
                                     "\n"
                                     "LIST NEWLIST\n"
                                     "NAME New list\n"
                                     "ZONE new.example\n";

// What the library did through the callbacks; one check at a time.
struct Observed {
  std::vector<std::string> log;
  std::vector<std::pair<std::string, std::string>> stored;
  int32_t storeAnswer = 1;
  bool shuttingDown = false;
};
Observed observed;

int32_t store(const char* date, const char* text) {
  observed.stored.emplace_back(date, text);
  return observed.storeAnswer;
}
void logLine(const char* text) {
  observed.log.emplace_back(text);
}
int32_t shuttingDown() {
  return observed.shuttingDown ? 1 : 0;
}

class UpdateLibraryTest : public ::testing::Test {
protected:
  UpdateLibraryTest() {
    observed = Observed{};
    library_ = ::dlopen(KESTREL_UPDATES_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library_, nullptr) << ::dlerror();
    check_ = reinterpret_cast<KmCheckForUpdates>(::dlsym(library_, "checkForUpdates"));
    request_.programVersion = "1.53";
    request_.dnsblCheckOn = 1;
    request_.dnsblInterval = 14;
    request_.programCheckOn = 0;
    request_.storeDnsblDefinitions = store;
    request_.shuttingDown = shuttingDown;
    request_.logLine = logLine;
    request_.tlsVerify = 1;
    request_.timeoutSeconds = 5;
    setCurrentDate("2026-12-06");
  }
  ~UpdateLibraryTest() override {
    if (library_ != nullptr) {
      ::dlclose(library_);
    }
  }

  void setCurrentDate(const std::string& date) {
    std::memset(request_.dnsblDate, 0, sizeof request_.dnsblDate);
    std::memcpy(request_.dnsblDate, date.data(), date.size());
  }

  // Runs a check of the source; true when the library counted it as done (it then
  // wrote the time of the check).
  bool checkFrom(const std::string& source) {
    source_ = source;
    request_.dnsblSource = source_.c_str();
    request_.dnsblLastCheck = 0;
    check_(&request_);
    return request_.dnsblLastCheck != 0;
  }

  std::string lastLog() const { return observed.log.empty() ? "" : observed.log.back(); }

  void* library_ = nullptr;
  KmCheckForUpdates check_ = nullptr;
  KmUpdateCheckRequest request_{};
  std::string source_;
  test::TempDir dir_;
};

TEST_F(UpdateLibraryTest, NewerDefinitionsFromAFileAreStoredWithoutTheirDateLine) {
  test::writeFile(dir_.file("offered.dat"), kDefinitions);
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  ASSERT_TRUE(checkFrom(dir_.file("offered.dat")));
  EXPECT_GE(int64_t{request_.dnsblLastCheck}, before);
  ASSERT_EQ(observed.stored.size(), 1u);
  EXPECT_EQ(observed.stored[0].first, "2026-12-20");
  EXPECT_EQ(observed.stored[0].second, "# published definitions\n"
                                       "REVISION 20261220\n"
                                       "\n"
                                       "LIST NEWLIST\n"
                                       "NAME New list\n"
                                       "ZONE new.example\n");
  EXPECT_NE(lastLog().find("2026-12-20"), std::string::npos) << lastLog();

  // file:// names a file too; a current set without a date takes any dated one.
  setCurrentDate("");
  EXPECT_TRUE(checkFrom("file://" + dir_.file("offered.dat")));
  EXPECT_EQ(observed.stored.size(), 2u);
}

TEST_F(UpdateLibraryTest, OnlyALaterDateReplacesTheDefinitionsInUse) {
  test::writeFile(dir_.file("offered.dat"), kDefinitions);
  for (const char* current : {"2026-12-20", "2027-01-01"}) {
    setCurrentDate(current);
    EXPECT_TRUE(checkFrom(dir_.file("offered.dat"))) << "an up-to-date check is a done check";
    EXPECT_TRUE(observed.stored.empty()) << current;
    EXPECT_NE(lastLog().find("not newer"), std::string::npos) << lastLog();
  }
  setCurrentDate("2026-12-19");
  EXPECT_TRUE(checkFrom(dir_.file("offered.dat")));
  EXPECT_EQ(observed.stored.size(), 1u);
}

TEST_F(UpdateLibraryTest, BrokenOrUnreachableSourcesEndWithALogLineAndKeepTheDefinitions) {
  const std::vector<std::pair<std::string, std::string>> broken = {
      {"LAST_UPDATED 20.12.2026\nLIST A\nZONE a.example\n", "is not a date"},
      {"LAST_UPDATED 2026-13-01\nLIST A\nZONE a.example\n", "is not a date"},
      {"REVISION x17\nLAST_UPDATED 2026-12-20\nLIST A\n", "is not a number"},
      {"LIST A\nZONE a.example\n", "no LAST_UPDATED"},
      {"LAST_UPDATED 2026-12-20\n# nothing else\n", "no list"},
      {std::string("LAST_UPDATED 2026-12-20\nLIST A\n") + std::string("\0\1\2", 3),
       "not a text file"},
  };
  for (const auto& [text, reason] : broken) {
    test::writeFile(dir_.file("broken.dat"), text);
    EXPECT_FALSE(checkFrom(dir_.file("broken.dat")));
    EXPECT_NE(lastLog().find(reason), std::string::npos) << lastLog();
    EXPECT_NE(lastLog().find("the definitions in use stay"), std::string::npos);
  }
  EXPECT_FALSE(checkFrom(dir_.file("missing.dat")));
  EXPECT_NE(lastLog().find("No such file"), std::string::npos) << lastLog();
  EXPECT_FALSE(checkFrom("http://127.0.0.1:" + std::to_string(test::closedLoopbackPort()) + "/x"));
  EXPECT_NE(lastLog().find("could not be fetched"), std::string::npos) << lastLog();

  test::writeFile(dir_.file("offered.dat"), kDefinitions);
  observed.storeAnswer = 0;
  EXPECT_FALSE(checkFrom(dir_.file("offered.dat")));
  EXPECT_NE(lastLog().find("could not be stored"), std::string::npos) << lastLog();
}

TEST_F(UpdateLibraryTest, DefinitionsComeOverHttpAndFailedAnswersStoreNothing) {
  LoopbackHttpServer server([](const std::string& path) {
    if (path == "/default_dnsbl.dat") {
      return HttpAnswer{200, kDefinitions, "", true, 0, 0};
    }
    return HttpAnswer{404, "not here", "", true, 0, 0};
  });
  ASSERT_TRUE(checkFrom(server.url("/default_dnsbl.dat")));
  ASSERT_EQ(observed.stored.size(), 1u);
  EXPECT_EQ(observed.stored[0].first, "2026-12-20");

  EXPECT_FALSE(checkFrom(server.url("/nothing.dat")));
  EXPECT_NE(lastLog().find("404"), std::string::npos) << lastLog();
  EXPECT_EQ(observed.stored.size(), 1u);
}

TEST_F(UpdateLibraryTest, SlowAndHugeAnswersAreCutOff) {
  LoopbackHttpServer server([](const std::string& path) {
    if (path == "/slow") {
      return HttpAnswer{200, kDefinitions, "", true, 5000, 0};
    }
    // A gigabyte, announced or not: sent until the client hangs up.
    HttpAnswer huge{200, "LAST_UPDATED 2026-12-20\n", std::string(65536, '#'), false, 0, 0};
    if (path == "/announced") {
      huge.claimedLength = uint64_t{1} << 30;
    }
    return huge;
  });
  request_.timeoutSeconds = 1;
  EXPECT_FALSE(checkFrom(server.url("/slow")));
  EXPECT_NE(lastLog().find("timed out"), std::string::npos) << lastLog();
  request_.timeoutSeconds = 30;
  EXPECT_FALSE(checkFrom(server.url("/endless")));
  EXPECT_NE(lastLog().find("larger than 4096 KB"), std::string::npos) << lastLog();
  EXPECT_FALSE(checkFrom(server.url("/announced")));
  EXPECT_NE(lastLog().find("larger than 4096 KB"), std::string::npos) << lastLog();
  EXPECT_TRUE(observed.stored.empty());
}

TEST_F(UpdateLibraryTest, AFetchEndsWhenTheProgramShutsDown) {
  LoopbackHttpServer server(
      [](const std::string&) { return HttpAnswer{200, "", std::string(1024, '#'), false, 0, 0}; });
  observed.shuttingDown = true;
  EXPECT_FALSE(checkFrom(server.url("/endless")));
  EXPECT_NE(lastLog().find("shutting down"), std::string::npos) << lastLog();
}

TEST_F(UpdateLibraryTest, HttpsChecksTheServersCertificate) {
  // openssl's web server sends its files as they are, status line included.
  test::writeFile(dir_.file("default_dnsbl.dat"),
                  std::string("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n") +
                      kDefinitions);
  test::OpensslHttpsServer server(dir_.path());
  ASSERT_TRUE(server.running());
  EXPECT_FALSE(checkFrom(server.url("/default_dnsbl.dat")));
  EXPECT_NE(lastLog().find("certificate"), std::string::npos) << lastLog();
  EXPECT_TRUE(observed.stored.empty());

  std::string trusted = server.certificatePath();
  request_.tlsCaFile = trusted.c_str();
  EXPECT_TRUE(checkFrom(server.url("/default_dnsbl.dat"))) << lastLog();
  EXPECT_EQ(observed.stored.size(), 1u);
}

TEST_F(UpdateLibraryTest, ChecksRunOnlyWhenDueUnlessForced) {
  test::writeFile(dir_.file("offered.dat"), kDefinitions);
  source_ = dir_.file("offered.dat");
  request_.dnsblSource = source_.c_str();
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  request_.dnsblLastCheck = now - 86400;
  request_.programCheckOn = 1;
  request_.programInterval = 14;
  request_.programLastCheck = now - 15 * 86400;
  check_(&request_);
  EXPECT_TRUE(observed.stored.empty()) << "checked a day ago, every 14 days";
  EXPECT_GE(request_.programLastCheck, now) << "program versions are answered by saying so";
  EXPECT_EQ(request_.dnsblLastCheck, now - 86400);

  request_.forced = 1;
  request_.dnsblCheckOn = 0;
  check_(&request_);
  EXPECT_EQ(observed.stored.size(), 1u);
}

} // namespace
} // namespace km
