// Accounts through the Mailer family's rules (redirection, the backup file and its
// index rule, restore), on a client whose store is a table in memory; and the
// platform pieces the wizard stands on: whole-file replacement and processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "support/test_support.h"
#include "wizard/backup_file.h"
#include "wizard/mailer.h"
#include "wizard/wizard_flow.h"

namespace km {
namespace {

struct StoredAccount {
  std::string name, pop, smtp, user;
  int32_t port = 25;
  bool portAbsent = false;
};

// A client whose accounts are a table; SetAccount can be made to fail.
class TableMailer : public Mailer {
public:
  explicit TableMailer(const MailerEnvironment& environment)
      : Mailer("table.exe", "Table", environment) {}

  void FindAccount() override {
    for (const auto& [location, stored] : store) {
      MailAccount account;
      account.location = location;
      account.accountName = stored.name;
      account.pop3Server = stored.pop;
      account.smtpServer = stored.smtp;
      account.userName = stored.user;
      account.smtpPort = stored.port;
      account.smtpPortAbsent = stored.portAbsent;
      addFoundAccount(account);
    }
  }
  bool SetAccount(const MailAccount& account, std::string& error) override {
    if (refuse) {
      error = "refused";
      return false;
    }
    StoredAccount& stored = store.at(account.location);
    stored.pop = account.pop3Server;
    stored.smtp = account.smtpServer;
    stored.user = account.userName;
    stored.port = account.smtpPort;
    stored.portAbsent = account.smtpPortAbsent;
    return true;
  }
  std::vector<std::string> GetAddressBookEmails() override { return {}; }

  std::map<std::string, StoredAccount> store;
  bool refuse = false;
};

bool operator==(const StoredAccount& a, const StoredAccount& b) {
  return a.name == b.name && a.pop == b.pop && a.smtp == b.smtp && a.user == b.user &&
         a.port == b.port && a.portAbsent == b.portAbsent;
}

class MailerRulesTest : public ::testing::Test {
protected:
  MailerRulesTest() {
    environment_.backupFile = dir_.file("accounts_backup.ini");
    auto owned = std::make_unique<TableMailer>(environment_);
    mailer_ = owned.get();
    mailers_.push_back(std::move(owned));
    mailer_->store["key1"] = {"Work", "pop.example", "smtp.example", "U", 25, false};
    mailer_->store["key2"] = {"Home", "pop.home", "smtp.home", "V", 587, false};
    mailer_->store["key3"] = {"Bare", "pop.bare", "smtp.bare", "W", 25, true};
  }

  // One wizard run: every account back from the backup, then all redirected.
  std::vector<std::string> runWizard() {
    enumerateAccounts(mailers_);
    std::vector<std::string> problems;
    restoreAccounts(*mailer_, problems);
    std::vector<std::string> servers;
    int32_t port = 1110;
    for (const MailAccount& account : std::vector<MailAccount>(mailer_->accounts)) {
      RedirectResult result = redirectAccount(account, port++);
      servers.push_back(result.previousSmtpServer);
    }
    return servers;
  }

  test::TempDir dir_;
  MailerEnvironment environment_;
  MailerList mailers_;
  TableMailer* mailer_ = nullptr;
};

TEST_F(MailerRulesTest, RedirectPointsTheAccountAtTheProxy) {
  const auto original = mailer_->store;
  EXPECT_EQ(runWizard(), (std::vector<std::string>{"smtp.example", "smtp.home:587", "smtp.bare"}));
  const StoredAccount& work = mailer_->store["key1"];
  EXPECT_EQ(work.user, "U@pop.example");
  EXPECT_EQ(work.pop, "localhost");
  EXPECT_EQ(work.smtp, "localhost");
  EXPECT_EQ(work.port, 1110);
  EXPECT_FALSE(mailer_->store["key3"].portAbsent);

  // A second run lists the accounts as they were and leaves the same backup.
  std::string backup = test::readFile(environment_.backupFile);
  auto redirected = mailer_->store;
  enumerateAccounts(mailers_);
  ASSERT_EQ(mailer_->accounts.size(), 3u);
  EXPECT_EQ(mailer_->accounts[0].userName, "U");
  EXPECT_EQ(mailer_->accounts[0].pop3Server, "pop.example");
  EXPECT_TRUE(mailer_->accounts[2].smtpPortAbsent);
  runWizard();
  EXPECT_EQ(test::readFile(environment_.backupFile), backup);
  EXPECT_EQ(mailer_->store, redirected);

  // Restoring after two runs gives the settings from before the first.
  std::vector<std::string> problems;
  restoreAccounts(*mailer_, problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(mailer_->store, original);
}

TEST_F(MailerRulesTest, AccountsWithAnEmptyNameOrBothServersLocalAreLeftAlone) {
  mailer_->store["key4"] = {"", "pop.x", "smtp.x", "X", 25, false};
  mailer_->store["key5"] = {"No user", "pop.x", "smtp.x", "", 25, false};
  mailer_->store["key6"] = {"Local", "localhost", "localhost", "Y", 25, false};
  enumerateAccounts(mailers_);
  ASSERT_EQ(mailer_->accounts.size(), 4u);
  EXPECT_EQ(mailer_->accounts[3].accountName, "Local");
  RedirectResult local = redirectAccount(mailer_->accounts[3], 1110);
  EXPECT_FALSE(local.redirected);
  EXPECT_TRUE(local.error.empty());
  EXPECT_FALSE(fileExists(environment_.backupFile));
}

TEST_F(MailerRulesTest, BackupIndexesFollowNameAndLocation) {
  enumerateAccounts(mailers_);
  MailAccount work = mailer_->accounts[0];
  std::string error;
  ASSERT_TRUE(writeBackupAccount(environment_.backupFile, work, error));
  ASSERT_TRUE(writeBackupAccount(environment_.backupFile, mailer_->accounts[1], error));
  work.pop3Server = "pop.changed";
  ASSERT_TRUE(writeBackupAccount(environment_.backupFile, work, error)); // same index
  MailAccount twin = work;
  twin.location = "elsewhere"; // same name, another account: its own entry
  ASSERT_TRUE(writeBackupAccount(environment_.backupFile, twin, error));
  IniFile backup = readBackupFile(environment_.backupFile);
  EXPECT_EQ(iniValue(backup, "Table", "pop_0"), "pop.changed");
  EXPECT_EQ(iniValue(backup, "Table", "name_1"), "Home");
  EXPECT_EQ(iniValue(backup, "Table", "path_2"), "elsewhere");
  EXPECT_FALSE(backupHasEntry(backup, "Table", 3));
}

TEST_F(MailerRulesTest, AnIncompleteBackupEntryIsReportedAndNotWritten) {
  runWizard();
  std::string text = test::readFile(environment_.backupFile);
  size_t cut = text.find("smtpport_1");
  test::writeFile(environment_.backupFile,
                  text.substr(0, cut) + text.substr(text.find('\n', cut) + 1));
  auto redirected = mailer_->store;
  std::vector<std::string> problems;
  restoreAccounts(*mailer_, problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("account 1 of Table is incomplete"), std::string::npos);
  EXPECT_EQ(mailer_->store["key2"], redirected["key2"]);
  EXPECT_EQ(mailer_->store["key1"].pop, "pop.example");

  // A store that refuses is reported too, and the others still go back.
  mailer_->refuse = true;
  problems.clear();
  restoreAccounts(*mailer_, problems);
  EXPECT_EQ(problems.size(), 3u);
}

TEST(WhitelistPageTest, MergesTheFileAndWritesTheTickedEntries) {
  test::DataDirScope data;
  WizardState state; // no mail client
  EXPECT_TRUE(collectAddresses(state).empty());
  writeWhitelist({}, {});
  EXPECT_EQ(test::readFile(data.file("wlist_email.dat")), "");

  test::writeFile(data.file("wlist_email.dat"), "a@x.example\r\n\r\nb@y.example\nA@X.example\n");
  std::vector<std::string> entries = collectAddresses(state);
  EXPECT_EQ(entries, (std::vector<std::string>{"a@x.example", "b@y.example"}));
  writeWhitelist(entries, {false, true});
  EXPECT_EQ(test::readFile(data.file("wlist_email.dat")), "b@y.example\r\n");
}

TEST(ReplaceFileTest, KeepsPermissionsAndRefusesReadOnlyFiles) {
  test::TempDir dir;
  std::string path = dir.file("store");
  test::writeFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(path.c_str(), dir.file("link").c_str()), 0);
  ASSERT_TRUE(replaceFileContents(dir.file("link"), "new"));
  EXPECT_EQ(test::readFile(path), "new");
  EXPECT_EQ(readLinkTarget(dir.file("link")), path);
  struct stat info {};
  ::stat(path.c_str(), &info);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  errno = 0;
  EXPECT_FALSE(replaceFileContents(path, "newer"));
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(test::readFile(path), "new");
  EXPECT_FALSE(replaceFileContents(dir.file("missing/store"), "x"));
  EXPECT_EQ(listDirectory(dir.path(), "").size(), 2u); // no temporary file left
}

pid_t startWithName(const std::vector<std::string>& argv, const char* program) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(program, args.data());
    ::_exit(127);
  }
  return pid;
}

bool listed(pid_t pid, const std::string& name) {
  for (const ProcessEntry& process : listProcesses()) {
    if (process.pid == pid && process.executableName == name) {
      return true;
    }
  }
  return false;
}

TEST(ProcessTest, ListsProgramsByTheNameTheirCommandLineGives) {
  // A loader's program: cat waits for a writer on a pipe named like a program.
  test::TempDir dir;
  std::string program = dir.file("prog.exe");
  ASSERT_EQ(::mkfifo(program.c_str(), 0600), 0);
  pid_t client = startWithName({"C:\\Mail\\Fake-Client.EXE", "30"}, "/bin/sleep");
  pid_t loader = startWithName({"/usr/bin/wine64", program}, "/bin/cat");
  // The name shows once the child has executed the program.
  for (int i = 0; i < 500 && !(listed(client, "Fake-Client.EXE") && listed(loader, "prog.exe"));
       ++i) {
    sleepMs(10);
  }
  EXPECT_TRUE(listed(client, "Fake-Client.EXE"));
  EXPECT_TRUE(listed(loader, "prog.exe"));
  EXPECT_TRUE(endProcess(client, 5000));
  EXPECT_TRUE(endProcess(loader, 5000));
}

TEST(ProcessTest, EndsAProcessThatIgnoresTheRequestAndStartsDetachedPrograms) {
  test::TempDir dir;
  std::string ready = dir.file("ready");
  pid_t stubborn =
      startWithName({"sh", "-c", "trap '' TERM; touch " + ready + "; exec sleep 30"}, "/bin/sh");
  for (int i = 0; i < 500 && !fileExists(ready); ++i) {
    sleepMs(10);
  }
  EXPECT_TRUE(endProcess(stubborn, 100));
  int status = 0;
  EXPECT_EQ(::waitpid(stubborn, &status, WNOHANG), -1); // reaped by endProcess already
  EXPECT_FALSE(endProcess(-1, 10));

  std::string marker = dir.file("started");
  EXPECT_TRUE(startDetachedProgram("/bin/sh", {"-c", "touch " + marker}));
  for (int i = 0; i < 500 && !fileExists(marker); ++i) {
    sleepMs(10);
  }
  EXPECT_TRUE(fileExists(marker));
  EXPECT_FALSE(startDetachedProgram(dir.file("no-such-program"), {}));
}

} // namespace
} // namespace km
