#include <sys/resource.h>

#include <algorithm>
#include <csignal>

#include "config/dnsbl_definitions.h"
#include "config_fixture.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {
namespace {

using test::ConfigTest;

const DnsblList* findList(const Config& config, std::string_view key) {
  for (const DnsblList& list : config.dnsblLists) {
    if (list.key == key) {
      return &list;
    }
  }
  return nullptr;
}

std::vector<std::string> enabledKeys(const Config& config) {
  std::vector<std::string> keys;
  for (int index : config.enabledDnsbl) {
    keys.push_back(config.dnsblLists[static_cast<size_t>(index)].key);
  }
  return keys;
}

TEST_F(ConfigTest, TheShippedDefinitionsLoadCleanlyAndCoverOlderKeys) {
  ConfigRef config = load("IS_FIRST_RUN YES\nDNSBL SPAMCOP SpamCop BL\n");
  EXPECT_EQ(notifier().count(), 0u);
  EXPECT_GE(config->dnsblLists.size(), 10u);
  EXPECT_FALSE(config->dnsblLastUpdated.empty());
  EXPECT_EQ(enabledKeys(*config), std::vector<std::string>{"SPAMCOP"});
  for (const DnsblList& list : config->dnsblLists) {
    EXPECT_FALSE(list.zone.empty()) << list.key;
    EXPECT_LE(list.key.size(), 7u);
    EXPECT_NE(list.name, "unnamed") << list.key;
    // So that "SPAM <name> 255.255.255.255" fits the 34 characters of a label.
    EXPECT_LE(list.name.size(), 13u) << list.name;
  }
  // Every scheme has lists, and subsumption points at earlier lists.
  EXPECT_TRUE(std::any_of(config->dnsblLists.begin(), config->dnsblLists.end(),
                          [](const DnsblList& l) { return l.inSafe; }));
  const DnsblList* sbl = findList(*config, "SBL");
  ASSERT_TRUE(sbl);
  ASSERT_EQ(sbl->subsumedBy.size(), 1u);
  EXPECT_EQ(config->dnsblLists[static_cast<size_t>(sbl->subsumedBy[0])].key, "ZEN");
  const DnsblList* portal = findList(*config, "iPortal");
  ASSERT_TRUE(portal);
  EXPECT_EQ(portal->type, DnsblType::ProviderIgnore);
  EXPECT_EQ(findList(*config, "CHI-KOR")->type, DnsblType::Country);
  // Keys of earlier versions find a list or a replacement.
  for (const char* key : {"SPAMCOP", "SBL", "CHI-KOR", "H-KONG", "TAIWAN", "iPortal"}) {
    EXPECT_TRUE(findList(*config, key)) << key;
  }
  for (const char* retired :
       {"SPCOP", "CBL", "DSBL", "ORDB", "PROXIES", "WIREHUB", "NJABL", "SPBAG"}) {
    EXPECT_TRUE(std::any_of(config->dnsblLists.begin(), config->dnsblLists.end(),
                            [&](const DnsblList& list) {
                              return std::find(list.replaces.begin(), list.replaces.end(),
                                               retired) != list.replaces.end();
                            }))
        << retired;
  }
}

TEST_F(ConfigTest, ARetiredListIsReportedAndItsReplacementOffered) {
  notifier().answerNext(NoticeAnswer::Ok);
  ConfigRef config = load("IS_FIRST_RUN YES\nDNSBL CBL Composite Blocking List\n");
  std::vector<Notice> shown = notices();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_NE(shown[0].text.find("Composite Blocking List"), std::string::npos);
  EXPECT_EQ(shown[1].buttons, NoticeButtons::OkCancel);
  EXPECT_NE(shown[1].text.find("Spamhaus XBL"), std::string::npos);
  EXPECT_EQ(enabledKeys(*config), std::vector<std::string>{"XBL"});
  std::string saved = read("config.dat");
  EXPECT_NE(saved.find("DNSBL XBL Spamhaus XBL\n"), std::string::npos);
  EXPECT_EQ(saved.find("DNSBL CBL"), std::string::npos);
}

TEST_F(ConfigTest, AReplacementDeclinedLeavesTheListOffAndRepeatedKeysStay) {
  ConfigRef config = load("IS_FIRST_RUN YES\nDNSBL NJABL NJABL\n");
  EXPECT_TRUE(config->enabledDnsbl.empty()) << "the headless answer declines offers";
  // Already enabled: no offer.
  size_t before = notifier().count();
  load("IS_FIRST_RUN YES\nDNSBL XBL x\nDNSBL PROXIES Open proxies\n");
  EXPECT_EQ(notifier().count(), before + 1);
  // The same list twice is queried twice.
  config = load("IS_FIRST_RUN YES\nDNSBL SPAMCOP a\nDNSBL spamcop b\n");
  EXPECT_EQ(enabledKeys(*config), (std::vector<std::string>{"SPAMCOP", "SPAMCOP"}));
}

TEST_F(ConfigTest, DefinitionKeysAreForgivingAboutCaseAndSpelling) {
  write("dnsbl.dat", "REVISION 99999999\n"
                     "NAME Before any list\n"
                     "  ILIST   FIRST  \n"
                     "iNAME First List\n"
                     "ZONE = first.example\n"
                     "type country\n"
                     "RESULT_CODE 127.0.0.2\n"
                     "RESULT_CODE 127.0.0.999\n"
                     "ENABLED_IN_SCHEME medium\n"
                     "ENABLED_IN_SCHEME sideways\n"
                     "COMMENT anything at all\n"
                     "LIST SECOND\n"
                     "ZONE second.example\n"
                     "SUBSUMED_BY first\n"
                     "REPLACES OLDER\n");
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  ASSERT_EQ(config->dnsblLists.size(), 2u);
  const DnsblList& first = config->dnsblLists[0];
  EXPECT_EQ(first.key, "FIRST");
  EXPECT_EQ(first.name, "First List");
  EXPECT_EQ(first.zone, "first.example");
  EXPECT_EQ(first.type, DnsblType::Country);
  EXPECT_EQ(first.resultCodes, (std::vector<Ipv4Address>{{127, 0, 0, 2}}));
  EXPECT_TRUE(first.inMedium);
  EXPECT_FALSE(first.inSafe);
  const DnsblList& second = config->dnsblLists[1];
  EXPECT_EQ(second.name, "unnamed");
  EXPECT_EQ(second.subsumedBy, std::vector<int>{0});
  EXPECT_EQ(second.replaces, std::vector<std::string>{"OLDER"});
  EXPECT_EQ(notifier().count(), 0u);
}

TEST_F(ConfigTest, BadDefinitionsAreSkippedWithAMessage) {
  write("dnsbl.dat", "REVISION 99999999\n"
                     "LIST TOOLONGKEY\n"
                     "ZONE ignored.example\n"
                     "LIST EARLY\n"
                     "SUBSUMED_BY LATE\n"
                     "LIST LATE\n"
                     "LIST early\n"
                     "ZONE duplicate.example\n");
  write("extra_dnsbl.txt", "LIST LATE\nZONE mine.example\nLIST MINE\nZONE mine.example\n"
                           "SUBSUMED_BY LATE\n");
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  ASSERT_EQ(config->dnsblLists.size(), 3u);
  EXPECT_EQ(config->dnsblLists[0].key, "EARLY");
  EXPECT_TRUE(config->dnsblLists[0].subsumedBy.empty()) << "LATE comes after EARLY";
  EXPECT_EQ(config->dnsblLists[1].key, "LATE");
  EXPECT_EQ(config->dnsblLists[1].zone, "") << "the extra file's LATE is a duplicate";
  EXPECT_EQ(config->dnsblLists[2].key, "MINE");
  EXPECT_EQ(config->dnsblLists[2].subsumedBy, std::vector<int>{1});

  std::vector<Notice> shown = notices();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_NE(shown[0].text.find("TOOLONGKEY"), std::string::npos);
  EXPECT_EQ(shown[1].title, "DNSBL.DAT parsing error");
  EXPECT_EQ(shown[1].text, "Unable to find list to subsume DNSBL list within");
  EXPECT_NE(shown[2].text.find("\"early\""), std::string::npos);
  EXPECT_NE(shown[3].text.find("\"LATE\""), std::string::npos);
}

TEST_F(ConfigTest, AStaleDefinitionFileGivesWayToTheShippedOne) {
  write("dnsbl.dat", "REVISION 3\nLIST OLDONE\nZONE old.example\n");
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  EXPECT_FALSE(fileExists(file("dnsbl.dat")));
  EXPECT_FALSE(findList(*config, "OLDONE"));
  EXPECT_TRUE(findList(*config, "SPAMCOP"));

  write("dnsbl.dat", "REVISION 999999999\nLIST NEWONE\nZONE new.example\n");
  config = load("IS_FIRST_RUN YES\n");
  EXPECT_TRUE(fileExists(file("dnsbl.dat")));
  EXPECT_TRUE(findList(*config, "NEWONE"));
  EXPECT_FALSE(findList(*config, "SPAMCOP"));
}

TEST_F(ConfigTest, HostileDefinitionFilesAreReadWithoutHarm) {
  std::string binary;
  for (int i = 0; i < 20000; ++i) {
    binary += static_cast<char>((i * 131) % 256);
  }
  write("dnsbl.dat", "REVISION 999999999\nLIST OK\n" + binary + "\nZONE ok.example\n" +
                         std::string(100000, 'Z') + "\nLIST\nLIST  \nRESULT_CODE\n");
  ConfigRef config = load("IS_FIRST_RUN YES\n");
  const DnsblList* ok = findList(*config, "OK");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->zone, "ok.example");
  write("dnsbl.dat", "");
  EXPECT_TRUE(load("IS_FIRST_RUN YES\n"));
}

TEST_F(ConfigTest, NewDefinitionsAreStoredForTheNextLoad) {
  load("IS_FIRST_RUN YES\n");
  ASSERT_TRUE(
      storeDnsblDefinitions("2027-01-01", "REVISION 999999999\nLIST FRESH\nZONE f.example\n"));
  EXPECT_EQ(read("dnsbl.dat"),
            "LAST_UPDATED 2027-01-01\n\nREVISION 999999999\nLIST FRESH\nZONE f.example\n");
  ASSERT_TRUE(loadConfigFile());
  ConfigRef config = AcquireConfig();
  EXPECT_EQ(config->dnsblLastUpdated, "2027-01-01");
  EXPECT_TRUE(findList(*config, "FRESH"));
}

TEST_F(ConfigTest, DefinitionsThatCannotBeStoredLeaveTheOldFileWhole) {
  load("IS_FIRST_RUN YES\n");
  write("dnsbl.dat", "LAST_UPDATED 2026-01-01\n\nREVISION 999999999\nLIST KEPT\n");
  // The disk fills up half-way through the new file.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool stored = storeDnsblDefinitions("2027-01-01", "LIST FRESH\n" + std::string(10000, '#'));
  ::setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_FALSE(stored);
  EXPECT_EQ(read("dnsbl.dat"), "LAST_UPDATED 2026-01-01\n\nREVISION 999999999\nLIST KEPT\n");
  EXPECT_EQ(notifier().count(), 1u);
}

TEST_F(ConfigTest, EditingOwnDefinitionsStartsFromTheTemplate) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ASSERT_TRUE(editExtraDnsblDefinitions());
  EXPECT_EQ(read("extra_dnsbl.txt"),
            test::readFile(std::string(KESTREL_BUILD_DIR) + "/default_extra_dnsbl.dat"));
  ASSERT_EQ(notifier().count(), 1u);
  EXPECT_NE(notices()[0].text.find(file("extra_dnsbl.txt")), std::string::npos);
  // The user's own edits are never replaced by the template.
  write("extra_dnsbl.txt", "LIST MINE\n");
  EXPECT_TRUE(editExtraDnsblDefinitions());
  EXPECT_EQ(read("extra_dnsbl.txt"), "LIST MINE\n");
  EXPECT_TRUE(showExtraDnsblInstructions());
}

} // namespace
} // namespace km
