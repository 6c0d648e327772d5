// The built plug-in library loaded with dlopen and driven through its exports the
// way the plug-in host calls them, with host callbacks that record what the
// plug-in asks of the program.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <kestrelmail/plugin.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "links.h"

namespace linkscan {
namespace {

// What the plug-in asked of the program.
struct HostCheck {
  std::string host;
  std::vector<uint8_t> addresses;
  int32_t kind;
  Verdict evidence;
};
std::vector<std::string> checkedHosts;
std::vector<HostCheck> hostChecks;
std::vector<std::string> logged;

void checkHost(uint32_t, const char* host, int32_t gather, int32_t source, const char* sourceText) {
  checkedHosts.push_back(std::string(host) + " gather=" + std::to_string(gather) +
                         " source=" + std::to_string(source) + " " + sourceText);
}
void queueHostCheck(uint32_t, const char* host, const uint8_t* addresses, int32_t count,
                    int32_t kind, const Verdict* evidence) {
  hostChecks.push_back(
      {host, std::vector<uint8_t>(addresses, addresses + 4 * count), kind, *evidence});
}
void logText(uint32_t, int32_t level, const char* text) {
  logged.push_back(std::to_string(level) + " " + text);
}

KmCallbacksA callbacksA() {
  KmCallbacksA table{};
  table.checkHost = checkHost;
  table.queueHostCheck = queueHostCheck;
  return table;
}

KmCallbacksB callbacksB() {
  KmCallbacksB table{};
  table.logText = logText;
  return table;
}

class LinkscanPlugin : public ::testing::Test {
protected:
  LinkscanPlugin() : library_(dlopen(LINKSCAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "linkscan-XXXXXX").string();
    folder_ = std::string(mkdtemp(pattern.data())) + "/";
    checkedHosts.clear();
    hostChecks.clear();
    logged.clear();
  }
  ~LinkscanPlugin() override {
    if (data_ != nullptr) {
      find<KmReleaseConfig>("releaseConfig")(data_);
    }
    if (library_ != nullptr) {
      dlclose(library_);
    }
    std::filesystem::remove_all(folder_);
  }

  template <typename F> F find(const char* name) {
    return reinterpret_cast<F>(dlsym(library_, name));
  }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(folder_ + name, std::ios::binary) << text;
  }

  std::string read(const std::string& name) {
    std::ifstream in(folder_ + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void load() {
    ASSERT_NE(library_, nullptr) << dlerror();
    data_ = find<KmLoadConfig>("loadConfig")(folder_.c_str());
    ASSERT_NE(data_, nullptr);
    KmSessionInfo session{};
    session.callbacks = &tableB_;
    find<KmSessionEvent>("sessionStart")(&session, data_);
  }

  // Runs the body stage as the host does: asks first, then hands the body over
  // in a temporary file. Whether the plug-in wanted the body.
  bool filter(const std::string& body, Verdict& verdict,
              const std::vector<std::string>& headers = {"Subject: hello\r\n"}) {
    std::vector<const char*> lines;
    for (const std::string& header : headers) {
      lines.push_back(header.c_str());
    }
    auto count = static_cast<int32_t>(lines.size());
    if (find<KmRequireFromHeaders>("requireBodyFiltering")(lines.data(), count, 7, &verdict,
                                                           data_) == 0) {
      return false;
    }
    FILE* file = std::tmpfile();
    std::fwrite(body.data(), 1, body.size(), file);
    std::fflush(file);
    std::rewind(file);
    find<KmFilterOnMessageBody>("filterOnMessageBody")(lines.data(), count, fileno(file), 7,
                                                       &verdict, data_, &tableA_);
    std::fclose(file);
    return true;
  }

  void* library_;
  std::string folder_;
  KmPluginData data_ = nullptr;
  KmCallbacksA tableA_ = callbacksA();
  KmCallbacksB tableB_ = callbacksB();
};

TEST_F(LinkscanPlugin, ItsFirstLoadWritesTheShippedFilesAndItsNameIsWhatTheWelcomeWindowSeeks) {
  load();
  EXPECT_EQ(read(kSettingsFileName), defaultSettingsText());
  EXPECT_EQ(read(kDomainListFileName), defaultDomainListText());
  EXPECT_STREQ(find<KmGetPluginText>("getPluginName")(), "Link scanner");
  EXPECT_TRUE(std::string(LINKSCAN_PLUGIN_PATH).ends_with("/plugins/linkscan/linkscan.so"));
  EXPECT_EQ(find<KmCheckKestrelmailVersion>("checkKestrelmailVersion")("1.53"), 1);
  EXPECT_EQ(find<KmCheckKestrelmailVersion>("checkKestrelmailVersion")("2.0"), 0);
  auto minBytes = find<KmMinBodyBytesRequired>("minBodyBytesRequired");
  EXPECT_EQ(minBytes(KM_PHASE_BODY_FILTERING, nullptr, 0, 7, nullptr, data_), 256 * 1024);
  EXPECT_EQ(minBytes(KM_PHASE_FETCH_START, nullptr, 0, 7, nullptr, data_), 0);
}

TEST_F(LinkscanPlugin, EachLinkHostIsCheckedOnceAsALinkAndNeverGathered) {
  load();
  Verdict verdict{};
  ASSERT_TRUE(filter("Go to http://www.offer.example.com/a or http://www.offer.example.com/b, "
                     "http://192.0.2.7/ and www.w3.org\r\n",
                     verdict));
  EXPECT_EQ(checkedHosts, (std::vector<std::string>{"www.offer.example.com gather=0 source=4 LINK",
                                                    "192.0.2.7 gather=0 source=4 LINK"}));
  EXPECT_TRUE(hostChecks.empty()); // no domain lists shipped
  EXPECT_EQ(logged,
            (std::vector<std::string>{"3 linkscan: links to www.offer.example.com 192.0.2.7"}));
  EXPECT_EQ(verdict.isSpam, 0); // the DNS blacklists decide, not the plug-in
}

TEST_F(LinkscanPlugin, DomainsAreLookedUpInTheDomainListsWithTheListsEvidence) {
  write(kDomainListFileName, "LIST DBLX\nZONE dbl.example.net\nRESULT_CODE 127.0.1.2\n"
                             "RESULT_CODE 127.0.1.4\nLIST ANY\nZONE any.example.org\n");
  write(kSettingsFileName, "CHECK_LINK_ADDRESSES NO\n");
  load();
  Verdict verdict{};
  ASSERT_TRUE(filter("http://a.shop.example.co.uk/ http://b.shop.example.co.uk/ "
                     "http://192.0.2.7/\r\n",
                     verdict));
  EXPECT_TRUE(checkedHosts.empty());
  ASSERT_EQ(hostChecks.size(), 2u);
  EXPECT_EQ(hostChecks[0].host, "example.co.uk.dbl.example.net");
  EXPECT_EQ(hostChecks[0].addresses, (std::vector<uint8_t>{127, 0, 1, 2, 127, 0, 1, 4}));
  EXPECT_EQ(hostChecks[0].kind, KM_HOST_CHECK_SPAM);
  EXPECT_EQ(hostChecks[0].evidence.source, KM_SOURCE_OTHER);
  EXPECT_STREQ(hostChecks[0].evidence.sourceText, "LINK");
  EXPECT_EQ(hostChecks[0].evidence.reason, KM_REASON_OTHER);
  EXPECT_STREQ(hostChecks[0].evidence.pattern.text, "DBLX");
  EXPECT_EQ(hostChecks[1].host, "example.co.uk.any.example.org");
  EXPECT_TRUE(hostChecks[1].addresses.empty());
}

TEST_F(LinkscanPlugin, AtMostTheConfiguredNumberOfHostsIsChecked) {
  write(kSettingsFileName, "MAX_HOSTS_PER_MESSAGE 2\n");
  load();
  Verdict verdict{};
  ASSERT_TRUE(
      filter("http://one.example.com http://two.example.com http://three.example.com", verdict));
  EXPECT_EQ(checkedHosts.size(), 2u);
  EXPECT_EQ(logged.back(), "3 linkscan: links to more hosts than MAX_HOSTS_PER_MESSAGE (2); the "
                           "others are not checked");
}

TEST_F(LinkscanPlugin, ADecidedVerdictOrNothingToDoLeavesTheBodyAlone) {
  write(kSettingsFileName, "MAX_HOSTS_PER_MESSAGE 0\n");
  load();
  Verdict verdict{};
  EXPECT_FALSE(filter("http://one.example.com", verdict));
  find<KmReleaseConfig>("releaseConfig")(data_);
  write(kSettingsFileName, "MAX_HOSTS_PER_MESSAGE 5\n");
  load();
  for (int white : {0, 1}) {
    Verdict decided{};
    decided.isSpam = 1 - white;
    decided.isWhitelisted = white;
    EXPECT_FALSE(filter("http://one.example.com", decided));
  }
  EXPECT_TRUE(checkedHosts.empty());
}

TEST_F(LinkscanPlugin, MistakesInItsFilesAreLoggedOnceWithTheFirstMessage) {
  write(kSettingsFileName, "MAX_HOSTS_PER_MESSAGE lots\n");
  write(kDomainListFileName, "LIST X\n");
  load();
  Verdict verdict{};
  filter("no links", verdict);
  filter("no links", verdict);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "0 linkscan: linkscan.txt line 1: MAX_HOSTS_PER_MESSAGE takes a number "
                        "from 0 to 100",
                        "0 linkscan: domain_dnsbl.txt line 1: the list X has no ZONE and is "
                        "left out"}));
}

} // namespace
} // namespace linkscan
