// What the user has in the data directory survives every load and rewrite of the
// configuration: list files, unreadable files, hand edits the program does not
// understand, private modes and links.
#include <sys/stat.h>
#include <unistd.h>

#include "config_fixture.h"
#include "platform/files.h"
#include "platform/main_loop.h"

namespace km {
namespace {

using test::ConfigTest;

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(ConfigTest, AFirstStartWritesOnlyTheFilesThatAreNotThere) {
  write("wlist_ip.dat", "10.9.8.7\n");
  write("blist_email.dat", "pest@example.net\n");
  ASSERT_TRUE(loadConfigFile());
  EXPECT_EQ(read("wlist_ip.dat"), "10.9.8.7\n");
  EXPECT_EQ(read("blist_email.dat"), "pest@example.net\n");
  EXPECT_TRUE(AcquireConfig()->isFirstRun);
  EXPECT_EQ(notifier().count(), 0u);
}

// A config.dat that is there but cannot be read is reported as such and left alone;
// the program ends when it has no settings yet.
TEST_F(ConfigTest, AConfigurationNobodyCanReadIsNeverReplaced) {
  const std::string mine = "LOG_MAX_SIZE 77\nPORT 2110\n";
  write("config.dat", mine);
  ASSERT_EQ(::chmod(file("config.dat").c_str(), 0200), 0);
  // The owner may write the file but not read it; root reads anything, so the load
  // runs as an ordinary user.
  bool asRoot = ::geteuid() == 0;
  if (asRoot) {
    ASSERT_EQ(::chown(file("config.dat").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file("").c_str(), 0777), 0);
    ASSERT_EQ(::seteuid(65534), 0);
  }
  bool loaded = static_cast<bool>(loadConfigFile());
  if (asRoot) {
    ASSERT_EQ(::seteuid(0), 0);
  }
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(quitMessagePosted());
  EXPECT_EQ(read("config.dat"), mine);
  EXPECT_FALSE(fileExists(file("wlist_ip.dat"))) << "no first-run file is written either";
  ASSERT_EQ(notifier().count(), 1u);
  EXPECT_NE(notices()[0].text.find(file("config.dat")), std::string::npos) << notices()[0].text;
  EXPECT_NE(notices()[0].text.find("Permission denied"), std::string::npos) << notices()[0].text;
}

TEST_F(ConfigTest, LinesARewriteDropsOrChangesAreNamedAndTheFileIsKept) {
  const std::string handEdited = "CREATE_DEFAULT_IMAP4_PORT NO\n"
                                 "LOGGING_ENABLED YES\n"
                                 "LOGFILE " +
                                 file("log.txt") +
                                 "\n"
                                 "# my own note\n"
                                 "TAG_SUBJECT TRUE\n"
                                 "LOGG_LEVEL VERBOSE\n"
                                 "log_max_size 300\n"
                                 "PORT 21l0\n"
                                 "PORT_TYPE POP3_GENRIC\n";
  load(handEdited);
  EXPECT_EQ(read("config.dat.bak"), handEdited);
  std::string log = read("log.txt");
  for (const char* dropped : {"line 4 ", "# my own note", "line 6 ", "LOGG_LEVEL VERBOSE",
                              "line 8 ", "PORT 21l0", "line 9 ", "PORT_TYPE POP3_GENRIC"}) {
    EXPECT_NE(log.find(dropped), std::string::npos) << dropped << " in\n" << log;
  }
  for (const char* kept : {"line 1 ", "line 2 ", "line 3 ", "line 5 ", "line 7 "}) {
    EXPECT_EQ(log.find(kept), std::string::npos) << kept << " in\n" << log;
  }
  // The rewritten file drops nothing when it is read again, and the backup stays.
  ASSERT_TRUE(loadConfigFile());
  EXPECT_EQ(read("log.txt"), log);
  EXPECT_EQ(read("config.dat.bak"), handEdited);
  EXPECT_EQ(notifier().count(), 0u);
}

TEST_F(ConfigTest, AByteOrderMarkBeforeTheFirstLineIsSkipped) {
  ConfigRef config =
      load("\xEF\xBB\xBFPORT 2110\nPORT_TYPE POP3_SPECIFIC\nPORT_POP3_SERVERNAME pop.example\n"
           "CREATE_DEFAULT_IMAP4_PORT NO\n");
  ASSERT_EQ(config->ports.size(), 1u);
  EXPECT_EQ(config->ports[0].listenPort, 2110);
  EXPECT_EQ(config->ports[0].type, PortType::Pop3Specific);
  EXPECT_FALSE(fileExists(file("config.dat.bak"))) << "nothing was dropped";
}

// A file the user made private stays private, and one made read-only is still
// replaced by the program's own saves and stays read-only.
TEST_F(ConfigTest, ARewriteKeepsAPrivateOrReadOnlyModeAndWritesThroughALink) {
  for (unsigned mode : {0600u, 0444u}) {
    write("config.dat", "LOG_MAX_SIZE 42\n");
    ASSERT_EQ(::chmod(file("config.dat").c_str(), mode), 0);
    ASSERT_TRUE(loadConfigFile());
    ASSERT_TRUE(updateConfig([](Config& config) { config.logMaxSize = 44; }));
    EXPECT_NE(read("config.dat").find("VERSION 1\nKestrelmail"), std::string::npos) << mode;
    EXPECT_NE(read("config.dat").find("LOG_MAX_SIZE 44\n"), std::string::npos) << mode;
    EXPECT_EQ(modeOf(file("config.dat")), mode);
    ASSERT_EQ(::chmod(file("config.dat").c_str(), 0600), 0);
  }

  ASSERT_TRUE(createDirectory(file("elsewhere")));
  ASSERT_EQ(::rename(file("config.dat").c_str(), file("elsewhere/real.dat").c_str()), 0);
  ASSERT_EQ(::symlink("elsewhere/real.dat", file("config.dat").c_str()), 0);
  write("elsewhere/real.dat", "LOG_MAX_SIZE 43\n");
  ASSERT_TRUE(loadConfigFile());
  struct stat info {};
  ASSERT_EQ(::lstat(file("config.dat").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
  EXPECT_NE(read("elsewhere/real.dat").find("LOG_MAX_SIZE 43\n"), std::string::npos);
  EXPECT_NE(read("elsewhere/real.dat").find("VERSION 1\n"), std::string::npos);
  EXPECT_EQ(modeOf(file("elsewhere/real.dat")), 0600u);
}

} // namespace
} // namespace km
