#include "wizard/mailer.h"

#include <optional>

#include "config/data_dir.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/user_dirs.h"
#include "wizard/backup_file.h"
#include "wizard/mailers_internal.h"

namespace km {

namespace {

std::string asFolder(std::string path) {
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  return path;
}

} // namespace

MailerEnvironment defaultMailerEnvironment() {
  MailerEnvironment environment;
  environment.home = asFolder(environmentValue("HOME").value_or("."));
  environment.winePrefix =
      asFolder(environmentValue("WINEPREFIX").value_or(environment.home + ".wine"));
  environment.backupFile = dataPath("accounts_backup.ini");
  return environment;
}

void Mailer::addFoundAccount(MailAccount account) {
  if (account.accountName.empty() || account.userName.empty() || account.smtpServer.empty() ||
      account.pop3Server.empty()) {
    return;
  }
  account.owner = this;
  accounts.push_back(std::move(account));
}

MailerList buildMailerList(const MailerEnvironment& environment) {
  MailerList mailers;
  mailers.push_back(makeTheBatMailer(environment));
  mailers.push_back(makeOutlookExpressMailer(environment));
  mailers.push_back(makeIncredimailMailer(environment));
  mailers.push_back(makeEudoraMailer(environment));
  mailers.push_back(makeOutlook2000Mailer(environment));
  mailers.push_back(makeOutlookXpMailer(environment));
  mailers.push_back(makeThunderbirdMailer(environment));
  mailers.push_back(makeClawsMailer(environment));
  return mailers;
}

void enumerateAccounts(MailerList& mailers) {
  for (const std::unique_ptr<Mailer>& mailer : mailers) {
    mailer->accounts.clear();
    mailer->FindAccount();
    IniFile backup = readBackupFile(mailer->environment().backupFile);
    const std::string& section = mailer->displayName();
    for (MailAccount& account : mailer->accounts) {
      for (int i = 0;; ++i) {
        std::string index = std::to_string(i);
        std::optional<std::string> user = iniValue(backup, section, "user_" + index);
        if (!user) {
          break;
        }
        std::string pop = iniValue(backup, section, "pop_" + index).value_or("");
        if (account.userName != *user + "@" + pop) {
          continue;
        }
        if (std::optional<MailAccount> before = backupAccount(backup, *mailer, i)) {
          before->selected = account.selected;
          account = *before;
          break;
        }
      }
    }
  }
}

RedirectResult redirectAccount(const MailAccount& account, int32_t localPort) {
  RedirectResult result;
  result.previousSmtpServer = account.smtpServer;
  if (account.smtpPort != 25) {
    result.previousSmtpServer += ":" + std::to_string(account.smtpPort);
  }
  if (account.pop3Server == "localhost" && account.smtpServer == "localhost") {
    return result;
  }
  Mailer& owner = *account.owner;
  if (!writeBackupAccount(owner.environment().backupFile, account, result.error)) {
    return result;
  }
  MailAccount changed = account;
  changed.smtpPort = localPort;
  changed.smtpPortAbsent = false;
  changed.userName = account.userName + "@" + account.pop3Server;
  changed.pop3Server = "localhost";
  changed.smtpServer = "localhost";
  result.redirected = owner.SetAccount(changed, result.error);
  return result;
}

void restoreAccounts(Mailer& mailer, std::vector<std::string>& problems) {
  if (mailer.displayName().empty()) {
    return;
  }
  IniFile backup = readBackupFile(mailer.environment().backupFile);
  for (int i = 0; backupHasEntry(backup, mailer.displayName(), i); ++i) {
    std::optional<MailAccount> account = backupAccount(backup, mailer, i);
    if (!account) {
      problems.push_back("The backup of account " + std::to_string(i) + " of " +
                         mailer.displayName() + " is incomplete; that account was left as it is.");
      continue;
    }
    std::string error;
    if (!mailer.SetAccount(*account, error)) {
      problems.push_back(mailer.displayName() + ", account \"" + account->accountName +
                         "\": " + error);
    }
  }
}

std::vector<std::string> runningMailers(const MailerList& mailers) {
  std::vector<ProcessEntry> processes = listProcesses();
  auto running = [&](std::string_view executable) {
    for (const ProcessEntry& process : processes) {
      if (equalsIgnoreCase(process.executableName, executable)) {
        return true;
      }
    }
    return false;
  };
  std::vector<std::string> names;
  bool registryInUse = false;
  for (const std::unique_ptr<Mailer>& mailer : mailers) {
    if (running(mailer->executable())) {
      names.push_back(mailer->displayName());
    }
    registryInUse = registryInUse || (mailer->usesWineRegistry() &&
                                      fileExists(mailer->environment().winePrefix + "user.reg") &&
                                      running("wineserver"));
  }
  // Wine's server keeps the registry in memory and writes it back when it ends,
  // which would undo every change made to user.reg meanwhile.
  if (registryInUse) {
    names.push_back("Wine (wineserver)");
  }
  return names;
}

} // namespace km
