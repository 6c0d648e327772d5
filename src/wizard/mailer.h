// The mail clients the wizard knows: their accounts, the redirection of an account
// to the proxy, and putting it back from the backup file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace km {

// Where the clients' stores and the wizard's own files are.
struct MailerEnvironment {
  std::string home;       // the user's home folder, ending in "/"
  std::string winePrefix; // the Wine prefix, ending in "/"
  std::string backupFile; // accounts_backup.ini
};

// $HOME, $WINEPREFIX (else ~/.wine) and the backup file in the data directory.
MailerEnvironment defaultMailerEnvironment();

class Mailer;

// One POP3 account of one client.
struct MailAccount {
  std::string pop3Server;
  std::string smtpServer;
  std::string userName;
  std::string accountName;
  // Where the client keeps the account: a registry key, or a file (with the ids
  // of the account's entries after "|" for clients that keep several in one file).
  std::string location;
  int32_t smtpPort = 25;
  // The store names no SMTP port (the client's default is in use); putting the
  // account back removes the port again.
  bool smtpPortAbsent = false;
  bool selected = true;
  Mailer* owner = nullptr;
  // Eudora: the INI section of the personality.
  std::string extra;
};

class Mailer {
public:
  Mailer(std::string executable, std::string displayName, const MailerEnvironment& environment)
      : executable_(std::move(executable)), displayName_(std::move(displayName)),
        environment_(environment) {}
  virtual ~Mailer() = default;
  Mailer(const Mailer&) = delete;
  Mailer& operator=(const Mailer&) = delete;

  // Writes the POP3 server, SMTP server, SMTP port and user name of the account into
  // the client's store. False, with the reason in `error`, when it could not; the
  // store is then unchanged.
  virtual bool SetAccount(const MailAccount& account, std::string& error) = 0;
  // The e-mail addresses in the client's address books.
  virtual std::vector<std::string> GetAddressBookEmails() = 0;
  // Reads the client's accounts into `accounts` (a client whose store cannot be
  // read has none).
  virtual void FindAccount() = 0;
  // Whether the client keeps its settings in the Wine registry.
  virtual bool usesWineRegistry() const { return false; }

  const std::string& executable() const { return executable_; }
  const std::string& displayName() const { return displayName_; }
  const MailerEnvironment& environment() const { return environment_; }

  std::vector<MailAccount> accounts;

protected:
  // Lists an account unless one of its names is empty.
  void addFoundAccount(MailAccount account);

private:
  std::string executable_;
  std::string displayName_;
  MailerEnvironment environment_;
};

using MailerList = std::vector<std::unique_ptr<Mailer>>;

// The supported clients, in list order: The Bat, Outlook Express, Incredimail,
// Eudora, Outlook 2000, Outlook XP, then Thunderbird and Claws Mail.
MailerList buildMailerList(const MailerEnvironment& environment);

// Asks every client for its accounts; an account that the wizard redirected earlier
// is listed with the settings it had before (from the backup file).
void enumerateAccounts(MailerList& mailers);

struct RedirectResult {
  bool redirected = false; // false: nothing changed (both servers "localhost", or a failure)
  std::string error;       // why it failed; empty when it did not
  // The server the account sent mail through: "host", or "host:port" when the
  // port is not 25.
  std::string previousSmtpServer;
};

// Backs the account up and points it at the proxy: the SMTP port becomes the local
// port, the user name "user@pop3server", both servers "localhost".
RedirectResult redirectAccount(const MailAccount& account, int32_t localPort);

// Puts every account of the client listed in the backup file back as it was.
// Problems (an incomplete backup entry, a store that cannot be written) are
// added to `problems`; the other accounts are restored all the same.
void restoreAccounts(Mailer& mailer, std::vector<std::string>& problems);

// The display names of the clients that are running now (a loader process that
// holds the Wine registry counts for the clients that keep their settings there).
std::vector<std::string> runningMailers(const MailerList& mailers);

} // namespace km
