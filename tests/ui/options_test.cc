#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config/config.h"
#include "config/plugin_table.h"
#include "platform/sockets.h"
#include "support/test_support.h"
#include "ui/options.h"
#include "ui/plugin_pages.h"
#include "ui/welcome.h"

namespace km {
namespace {

class Options : public ::testing::Test {
protected:
  void SetUp() override {
    data_.load("IS_FIRST_RUN NO\nCREATE_DEFAULT_IMAP4_PORT NO\n"
               "PORT 46110\nPORT_TYPE POP3_GENERIC\n\n");
  }
  std::string configText() const { return test::readFile(data_.file("config.dat")); }

  test::DataDirScope data_;
  test::NotifierScope notices_;
};

TEST_F(Options, ASettingChangeIsWrittenWholeAndReloaded) {
  // A new key is written only while it differs from its default.
  EXPECT_EQ(configText().find("WEB_INTERFACE_PORT"), std::string::npos);
  ChangeOutcome outcome = changeSettings(currentConfigRevision(), {{"TAG_SUBJECT", "YES"},
                                                                   {"SUBJECT_TAG_STRING", "[junk]"},
                                                                   {"LOGGING_LEVEL", "verbose"},
                                                                   {"WEB_INTERFACE_PORT", "0"}});
  ASSERT_EQ(outcome.status, ChangeStatus::Done) << outcome.message;
  ConfigRef config = AcquireConfig();
  EXPECT_TRUE(config->tagSubject);
  EXPECT_EQ(config->subjectTagString, "[junk]");
  EXPECT_EQ(config->loggingLevel, LogLevel::Verbose);
  EXPECT_EQ(config->webInterfacePort, 0);
  std::string text = configText();
  EXPECT_NE(text.find("SUBJECT_TAG_STRING [junk]\n"), std::string::npos);
  EXPECT_NE(text.find("LOGGING_LEVEL VERBOSE\n"), std::string::npos);
  EXPECT_NE(text.find("WEB_INTERFACE_PORT 0\n"), std::string::npos);
  EXPECT_EQ(settingValue(*config, "TAG_SUBJECT"), "YES");
}

TEST_F(Options, ARefusedChangeLeavesEverythingAsItWas) {
  const std::string before = configText();
  const std::string revision = currentConfigRevision();
  const std::vector<std::pair<std::string, std::string>> refusedChanges[] = {
      {{"TAG_SUBJECT", "YES"}, {"FILTERING_STATS_DAYS", "366"}},
      {{"TAG_SUBJECT", "YES"}, {"NO_SUCH_KEY", "1"}},
      {{"LOGGING_LEVEL", "LOUD"}},
      {{"MAX_SESSIONS", "-1"}},
      {{"MAX_SESSIONS", "12abc"}},
      {{"ALWAYS_CONFIRM_EXIT", "maybe"}},
      {{"SUBJECT_TAG_STRING", "two\nlines"}},
  };
  for (const auto& values : refusedChanges) {
    EXPECT_EQ(changeSettings(revision, values).status, ChangeStatus::Invalid) << values[0].first;
  }
  EXPECT_EQ(changeSettings("stale", {{"TAG_SUBJECT", "YES"}}).status, ChangeStatus::Conflict);
  EXPECT_EQ(configText(), before);
  EXPECT_FALSE(AcquireConfig()->tagSubject);
}

TEST_F(Options, OfTwoChangesMadeOnTheSameRevisionOnlyTheFirstIsWritten) {
  const std::string revision = currentConfigRevision();
  std::atomic<int> done{0};
  std::atomic<int> conflicts{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&, i] {
      ChangeOutcome outcome =
          changeSettings(revision, {{"FILTERING_STATS_DAYS", std::to_string(10 + i)}});
      (outcome.status == ChangeStatus::Done ? done : conflicts)++;
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  EXPECT_EQ(done, 1);
  EXPECT_EQ(conflicts, 3);
}

TEST_F(Options, PortsAreAddedEditedAndRemoved) {
  PortChange add;
  add.type = PortType::SmtpSpecific;
  add.listenPort = 46125;
  add.keys = {{"PORT_SMTP_SERVERNAME", "smtp.example.com:587"},
              {"PORT_SMTP_ADD_RECEIVIED_HEADER", "YES"},
              {"PORT_SMTP_LOCAL_EMAIL_LEAFNAME", ""}};
  // Every load numbers the ports anew: a revision read before a renumbering is
  // refused, and the id handed back is the new port's in the reloaded snapshot.
  std::string before = currentConfigRevision();
  updateConfigWithoutSaving([](Config& changed) { changed.ports[0].id = 7; });
  uint32_t id = 0;
  EXPECT_EQ(changePort(before, add, &id).status, ChangeStatus::Conflict);
  ASSERT_EQ(changePort(currentConfigRevision(), add, &id).status, ChangeStatus::Done);
  ConfigRef config = AcquireConfig();
  ASSERT_EQ(config->ports.size(), 2u);
  const PortConfig& smtp = config->ports[1];
  EXPECT_EQ(smtp.id, id);
  EXPECT_NE(config->ports[0].id, id);
  EXPECT_EQ(smtp.serverName, "smtp.example.com:587");
  EXPECT_TRUE(smtp.smtp.addReceivedHeader);
  // A file name left empty is made as loading makes one.
  EXPECT_EQ(smtp.smtp.localEmailFile, "port46125_permissions_email.txt");
  EXPECT_NE(configText().find("PORT 46125\nPORT_TYPE SMTP_SPECIFIC\nPORT_SMTP_SERVERNAME "
                              "smtp.example.com:587\n"),
            std::string::npos);

  PortChange edit = add;
  edit.action = PortChange::Action::Edit;
  edit.id = id;
  edit.keys = portKeyValues(smtp);
  edit.keys.emplace_back("PORT_SMTP_ADD_RECEIVIED_HEADER", "NO");
  ASSERT_EQ(changePort(currentConfigRevision(), edit).status, ChangeStatus::Done);
  config = AcquireConfig();
  EXPECT_EQ(config->ports[1].listenPort, 46125);
  EXPECT_FALSE(config->ports[1].smtp.addReceivedHeader);

  PortChange remove;
  remove.action = PortChange::Action::Remove;
  remove.id = config->ports[1].id;
  ASSERT_EQ(changePort(currentConfigRevision(), remove).status, ChangeStatus::Done);
  config = AcquireConfig();
  EXPECT_EQ(config->ports.size(), 1u);
  remove.id = config->ports[0].id + 1000; // named by no port
  EXPECT_EQ(changePort(currentConfigRevision(), remove).status, ChangeStatus::Invalid);
}

TEST_F(Options, APortNumberInUseOrMalformedIsRefusedWithAMessage) {
  // Another program listens on a port.
  UniqueSocket other(createTcpSocket());
  int error = 0;
  ASSERT_TRUE(bindSocket(other.get(), kLoopbackAddress, 0, error));
  ASSERT_TRUE(listenOnSocket(other.get(), 1, error));
  int taken = boundPort(other.get());

  struct Case {
    PortType type;
    int32_t listenPort;
    std::string server;
    std::string says;
  };
  const Case cases[] = {
      {PortType::Pop3Generic, taken, "", std::to_string(taken)},
      {PortType::Pop3Generic, 46110, "", "POP3_GENERIC"}, // the configured port
      {PortType::Pop3Generic, 0, "", "65535"},
      {PortType::Pop3Generic, 70000, "", "65535"},
      {PortType::SmtpSpecific, 46126, "", "server"},
      {PortType::Imap4Specific, 46127, "two words", "server"},
  };
  const std::string before = configText();
  for (const Case& c : cases) {
    PortChange add;
    add.type = c.type;
    add.listenPort = c.listenPort;
    add.keys = {{"PORT_SERVERNAME", c.server}};
    ChangeOutcome outcome = changePort(currentConfigRevision(), add);
    EXPECT_EQ(outcome.status, ChangeStatus::Invalid) << c.listenPort;
    EXPECT_NE(outcome.message.find(c.says), std::string::npos) << outcome.message;
  }
  EXPECT_EQ(configText(), before);
}

TEST_F(Options, EnabledDnsblListsFollowTheGivenKeysInOrder) {
  ConfigRef config = AcquireConfig();
  ASSERT_GE(config->dnsblLists.size(), 3u);
  std::string first = config->dnsblLists[2].key;
  std::string second = config->dnsblLists[0].key;
  ASSERT_EQ(changeEnabledDnsbl(currentConfigRevision(), {first, second}).status,
            ChangeStatus::Done);
  EXPECT_EQ(AcquireConfig()->enabledDnsbl, (std::vector<int>{2, 0}));
  EXPECT_EQ(changeEnabledDnsbl(currentConfigRevision(), {first, "NO-SUCH-LIST"}).status,
            ChangeStatus::Invalid);
  EXPECT_EQ(AcquireConfig()->enabledDnsbl, (std::vector<int>{2, 0}));
}

TEST_F(Options, PluginsAreEnabledInTheGivenOrder) {
  // Two installed plug-ins without exports: their libraries are not needed here.
  addInstalledPlugin("optalpha", [](const char*) -> void* { return nullptr; });
  addInstalledPlugin("optbeta", [](const char*) -> void* { return nullptr; });
  ASSERT_EQ(changeEnabledPlugins(currentConfigRevision(), {"OPTBETA", "optalpha"}).status,
            ChangeStatus::Done);
  std::string text = configText();
  size_t beta = text.find("ENABLED_PLUGIN optbeta");
  ASSERT_NE(beta, std::string::npos);
  EXPECT_GT(text.find("ENABLED_PLUGIN optalpha"), beta);
  std::vector<PluginInfo> infos = pluginInfos(*AcquireConfig());
  ASSERT_GE(infos.size(), 2u);
  EXPECT_EQ(infos[0].name, "optbeta");
  EXPECT_TRUE(infos[0].enabled && infos[1].enabled);

  EXPECT_EQ(changeEnabledPlugins(currentConfigRevision(), {"optalpha", "nosuchplugin"}).status,
            ChangeStatus::Invalid);
  ASSERT_EQ(changeEnabledPlugins(currentConfigRevision(), {"optalpha"}).status, ChangeStatus::Done);
  EXPECT_EQ(configText().find("ENABLED_PLUGIN optbeta"), std::string::npos);
  infos = pluginInfos(*AcquireConfig());
  EXPECT_EQ(infos[0].name, "optalpha");
  EXPECT_FALSE(std::find_if(infos.begin(), infos.end(), [](const PluginInfo& info) {
                 return info.name == "optbeta";
               })->enabled);
}

// A page longer than the host's first buffer, so that it asks twice.
const std::string& longPage() {
  static const std::string page = "<h2>Rules</h2>" + std::string(40000, 'x');
  return page;
}

int32_t renderLongPage(KmPluginData, char* html, int32_t size) {
  const std::string& page = longPage();
  if (static_cast<size_t>(size) > page.size()) {
    std::copy(page.begin(), page.end(), html);
    html[page.size()] = '\0';
  }
  return static_cast<int32_t>(page.size());
}

TEST_F(Options, APluginWithAPageRendersItWhateverItsLength) {
  addInstalledPlugin("pagedplugin", [](const char* name) -> void* {
    return std::string_view(name) == "renderPluginPage" ? reinterpret_cast<void*>(&renderLongPage)
                                                        : nullptr;
  });
  addInstalledPlugin("pagelessplugin", [](const char*) -> void* { return nullptr; });
  ASSERT_EQ(changeEnabledPlugins(currentConfigRevision(), {"pagelessplugin", "pagedplugin"}).status,
            ChangeStatus::Done);
  ConfigRef config = AcquireConfig();
  std::vector<PluginPage> pages = pluginPages(*config);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].name, "pagedplugin");
  EXPECT_EQ(pages[0].position, 1u);
  EXPECT_EQ(renderPluginPage(*config, 1), longPage());
  EXPECT_FALSE(renderPluginPage(*config, 0));
  EXPECT_FALSE(renderPluginPage(*config, 2));
}

TEST_F(Options, ListFilesAreReplacedWholeAndIpListsMustHoldNetblocks) {
  std::optional<ListFileText> list = readEditableList("blist_ip.dat");
  ASSERT_TRUE(list);
  ChangeOutcome bad = writeEditableList(
      "blist_ip.dat", "192.0.2.1\r\n# a comment\r\n\r\nnot-an-address\r\n", list->revision);
  EXPECT_EQ(bad.status, ChangeStatus::Invalid);
  EXPECT_NE(bad.message.find("4"), std::string::npos);
  EXPECT_NE(bad.message.find("not-an-address"), std::string::npos);
  EXPECT_EQ(test::readFile(data_.file("blist_ip.dat")), list->text);

  const std::string good = "192.0.2.1 # relay\r\n198.51.100.0/24\r\n";
  ASSERT_EQ(writeEditableList("blist_ip.dat", good, list->revision).status, ChangeStatus::Done);
  EXPECT_EQ(test::readFile(data_.file("blist_ip.dat")), good);
  EXPECT_EQ(AcquireConfig()->blacklistIp.size(), 2u);
  // The old revision is stale now.
  EXPECT_EQ(writeEditableList("blist_ip.dat", "", list->revision).status, ChangeStatus::Conflict);
  EXPECT_FALSE(readEditableList("../config.dat"));
  EXPECT_EQ(writeEditableList("config.dat", "", "").status, ChangeStatus::Invalid);
}

TEST_F(Options, WelcomeFinishAddsTheCountryListsOnceAndOnlyInstalledPlugins) {
  WelcomeExtras aggressive = prepareWelcomeExtras(DnsblScheme::Aggressive);
  EXPECT_TRUE(aggressive.countryLists);
  // Neither plug-in is installed here: neither is offered nor ticked.
  EXPECT_FALSE(aggressive.patternPluginInstalled || aggressive.patternPlugin);
  EXPECT_FALSE(aggressive.linkPluginInstalled || aggressive.linkPlugin);
  EXPECT_FALSE(prepareWelcomeExtras(DnsblScheme::Safe).countryLists);

  chooseWelcomeScheme(DnsblScheme::Aggressive);
  WelcomeExtras chosen = aggressive;
  chosen.patternPlugin = true; // refused: not installed
  finishWelcome(chosen);
  ConfigRef config = AcquireConfig();
  std::vector<std::string> enabled;
  for (int index : config->enabledDnsbl) {
    enabled.push_back(config->dnsblLists[static_cast<size_t>(index)].key);
  }
  for (const char* key : {"CHI-KOR", "H-KONG", "TAIWAN"}) {
    EXPECT_EQ(std::count(enabled.begin(), enabled.end(), key), 1) << key;
  }
  EXPECT_TRUE(config->enabledPlugins.empty());
  EXPECT_FALSE(welcomeState().open);
}

} // namespace
} // namespace km
