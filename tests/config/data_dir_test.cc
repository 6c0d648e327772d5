#include <gtest/gtest.h>

#include <cstdlib>

#include "config/data_dir.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace km {
namespace {

class DataDirTest : public ::testing::Test {
protected:
  void SetUp() override { test::loadShippedLanguageTable(); }
  void TearDown() override {
    restore("XDG_CONFIG_HOME", xdg_);
    restore("HOME", home_);
  }
  static void restore(const char* name, const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  static std::optional<std::string> saved(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
  std::optional<std::string> xdg_ = saved("XDG_CONFIG_HOME");
  std::optional<std::string> home_ = saved("HOME");
  test::NotifierScope notices_;
  test::TempDir dir_;
};

TEST_F(DataDirTest, TheCommandLineFolderGetsOneSeparatorAndHoldsForTheRun) {
  chooseDataDirectory(dir_.path() + "data", true);
  EXPECT_EQ(dataPath("config.dat"), dir_.path() + "data/config.dat");
  chooseDataDirectory(dir_.path() + "data/", true);
  EXPECT_EQ(dataPath(""), dir_.path() + "data/");
  chooseDataDirectory(dir_.path() + "second");
  EXPECT_EQ(dataPath("x"), dir_.path() + "data/x") << "the first choice holds";
}

TEST_F(DataDirTest, DefaultIsTheUsersConfigurationFolderElseBesideTheProgram) {
  ::setenv("XDG_CONFIG_HOME", (dir_.path() + "xdg").c_str(), 1);
  chooseDataDirectory(std::nullopt, true);
  EXPECT_EQ(dataPath(""), dir_.path() + "xdg/Kestrelmail/");
  // The configuration folder itself is made when the account has none yet.
  EXPECT_TRUE(directoryExists(dir_.path() + "xdg"));

  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", (dir_.path() + "home").c_str(), 1);
  ASSERT_TRUE(createDirectory(dir_.path() + "home"));
  chooseDataDirectory(std::nullopt, true);
  EXPECT_EQ(dataPath(""), dir_.path() + "home/.config/Kestrelmail/");

  ::unsetenv("HOME");
  chooseDataDirectory(std::nullopt, true);
  EXPECT_EQ(dataPath(""), executableDirectory() + "config/");
}

TEST_F(DataDirTest, PrepareCreatesTheDirectoryAndItsFiveFolders) {
  chooseDataDirectory(dir_.path() + "data", true);
  ASSERT_TRUE(prepareDataDirectory());
  for (const char* folder :
       {"auto_wlist_from_logs", "auto_wlist_ip_logs", "plugins", "imap4_state", "activity-logs"}) {
    EXPECT_TRUE(directoryExists(dir_.path() + "data/" + folder)) << folder;
  }
  // A second start finds everything and changes nothing.
  test::writeFile(dir_.path() + "data/plugins/keep", "x");
  EXPECT_TRUE(prepareDataDirectory());
  EXPECT_TRUE(fileExists(dir_.path() + "data/plugins/keep"));
  EXPECT_EQ(notices_.notifier().count(), 0u);
}

TEST_F(DataDirTest, AFolderThatCannotBeMadeIsReportedWithItsPath) {
  chooseDataDirectory(dir_.path() + "missing/parent/data", true);
  EXPECT_FALSE(prepareDataDirectory());
  ASSERT_EQ(notices_.notifier().count(), 1u);
  Notice notice = notices_.notifier().notices()[0];
  EXPECT_NE(notice.text.find(dir_.path() + "missing/parent/data"), std::string::npos);
  EXPECT_EQ(notice.icon, NoticeIcon::Exclamation);

  // A file standing where a sub-folder belongs.
  chooseDataDirectory(dir_.path() + "data", true);
  ASSERT_TRUE(createDirectory(dir_.path() + "data"));
  test::writeFile(dir_.path() + "data/plugins", "not a folder");
  EXPECT_FALSE(prepareDataDirectory());
  EXPECT_NE(notices_.notifier().notices().back().text.find("plugins"), std::string::npos);
}

TEST_F(DataDirTest, FirstRunFilesAreWrittenByteForByte) {
  chooseDataDirectory(dir_.path(), true);
  ASSERT_TRUE(writeFirstRunFiles());
  EXPECT_EQ(test::readFile(dir_.file("config.dat")), "VERSION 1\n"
                                                     "IS_FIRST_RUN YES\n"
                                                     "ALWAYS_SHOW_POP3_APOP_WARNING YES\n"
                                                     "ALWAYS_SHOW_POP3_SASL_WARNING YES\n"
                                                     "DNSBL SPAMCOP SpamCop BL\n"
                                                     "TAG_SUBJECT TRUE\n"
                                                     "SUBJECT_TAG_STRING **SPAM**\n"
                                                     "X_Kestrelmail_IN_SUBJECT NO\n"
                                                     "Kestrelmail_UPDATES_CHECK YES\n"
                                                     "Kestrelmail_UPDATES_CHECK_INTERVAL 14\n"
                                                     "Kestrelmail_UPDATES_LAST_CHECK 0\n"
                                                     "DNSBL_UPDATES_CHECK YES\n"
                                                     "DNSBL_UPDATES_CHECK_INTERVAL 14\n"
                                                     "DNSBL_UPDATES_LAST_CHECK 0\n"
                                                     "SHOW_UPDATES_WINDOW NO\n"
                                                     "INFORM_ABOUT_NEW_BETAS NO\n"
                                                     "USE_AUTO_WLIST_FROM YES\n"
                                                     "AUTO_WLIST_FROM_NUM_MAILS 7\n"
                                                     "USE_AUTO_WLIST_IP YES\n"
                                                     "AUTO_WLIST_IP_NUM_MAILS 12\n"
                                                     "USE_AUTO_WLIST_LOGGING NO\n"
                                                     "MAX_DNSBL_THREADS 40\n"
                                                     "DNSBL_TIME_OUT 30\n"
                                                     "DNSBL_POSITIVE_CACHE_PERIOD 2,0\n"
                                                     "DNSBL_NEGATIVE_CACHE_PERIOD 3,0\n");
  EXPECT_EQ(test::readFile(dir_.file("blist_email.dat")),
            "# Black list of sender addresses: one address or pattern per line, \"*\" matches "
            "any run of characters.\nspammer@example.com\n");
  EXPECT_EQ(test::readFile(dir_.file("wlist_ip.dat")),
            "# White list of relay addresses: one address, range (a.b.c.d-e.f.g.h) or block "
            "(a.b.c.d/n) per line.\n127.0.0.0/8\n");

  // A configuration that cannot be created skips the list files.
  chooseDataDirectory(dir_.path() + "absent", true);
  EXPECT_FALSE(writeFirstRunFiles());
  EXPECT_FALSE(fileExists(dir_.path() + "absent/blist_email.dat"));
  ASSERT_GE(notices_.notifier().count(), 1u);
  EXPECT_EQ(notices_.notifier().notices()[0].icon, NoticeIcon::Stop);
}

} // namespace
} // namespace km
