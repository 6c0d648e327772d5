// Thunderbird: the profiles in profiles.ini, the POP3 accounts in each profile's
// prefs.js, and the address books abook*.sqlite.
#include <sqlite3.h>

#include "platform/files.h"
#include "platform/text.h"
#include "wizard/address_scan.h"
#include "wizard/ini_file.h"
#include "wizard/mailers_internal.h"
#include "wizard/prefs_js.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

// An account's place in prefs.js: the file, the server entry, the SMTP entry.
struct PrefsLocation {
  std::string path;
  std::string server;
  std::string smtp;
};

std::string joinLocation(const PrefsLocation& location) {
  return location.path + "|" + location.server + "|" + location.smtp;
}

std::optional<PrefsLocation> splitLocation(const std::string& text) {
  size_t second = text.rfind('|');
  size_t first =
      second == std::string::npos || second == 0 ? std::string::npos : text.rfind('|', second - 1);
  if (first == std::string::npos) {
    return std::nullopt;
  }
  return PrefsLocation{text.substr(0, first), text.substr(first + 1, second - first - 1),
                       text.substr(second + 1)};
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    comma = comma == std::string::npos ? text.size() : comma;
    std::string item = text.substr(pos, comma - pos);
    while (!item.empty() && item.front() == ' ') {
      item.erase(0, 1);
    }
    if (!item.empty()) {
      items.push_back(item);
    }
    pos = comma + 1;
  }
  return items;
}

// Thunderbird keeps a server name the user edited under "real..." and reads that
// one when it is there.
std::string effectivePref(const PrefsFile& prefs, const std::string& branch, const char* name,
                          const char* realName) {
  return prefValue(prefs, branch + realName) ? branch + realName : branch + name;
}

// Whether a running Thunderbird holds the profile: its lock link names "host:+pid".
bool profileInUse(const std::string& profile) {
  std::string text = readLinkTarget(profile + "/lock").value_or("");
  size_t plus = text.rfind(":+");
  if (plus == std::string::npos) {
    return false;
  }
  std::string pid = text.substr(plus + 2);
  return !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos &&
         directoryExists("/proc/" + pid);
}

class ThunderbirdMailer : public Mailer {
public:
  explicit ThunderbirdMailer(const MailerEnvironment& environment)
      : Mailer("thunderbird", "Thunderbird", environment) {}

  void FindAccount() override {
    for (const std::string& profile : profiles()) {
      std::string path = profile + "/prefs.js";
      std::optional<std::string> text = readWholeFile(path);
      if (!text) {
        continue;
      }
      PrefsFile prefs = parsePrefs(*text);
      for (const std::string& accountKey : accountKeys(prefs)) {
        std::string server =
            prefValue(prefs, "mail.account." + accountKey + ".server").value_or("");
        std::string branch = "mail.server." + server + ".";
        if (server.empty() || prefValue(prefs, branch + "type") != "pop3") {
          continue;
        }
        std::string smtp = smtpKey(prefs, accountKey);
        std::string smtpBranch = "mail.smtpserver." + smtp + ".";
        MailAccount account;
        account.location = joinLocation({path, server, smtp});
        account.accountName = prefValue(prefs, branch + "name").value_or("");
        account.pop3Server =
            prefValue(prefs, effectivePref(prefs, branch, "hostname", "realhostname")).value_or("");
        account.userName =
            prefValue(prefs, effectivePref(prefs, branch, "userName", "realuserName")).value_or("");
        account.smtpServer =
            smtp.empty() ? "" : prefValue(prefs, smtpBranch + "hostname").value_or("");
        std::optional<int64_t> port = prefNumber(prefs, smtpBranch + "port");
        account.smtpPortAbsent = !port || *port == 0;
        account.smtpPort = account.smtpPortAbsent
                               ? (prefNumber(prefs, smtpBranch + "try_ssl") == 3 ? 465 : 25)
                               : static_cast<int32_t>(*port);
        addFoundAccount(std::move(account));
      }
    }
  }

  bool SetAccount(const MailAccount& account, std::string& error) override {
    std::optional<PrefsLocation> location = splitLocation(account.location);
    if (!location) {
      error = "Unknown account location " + account.location;
      return false;
    }
    std::string profile = location->path.substr(0, location->path.rfind('/'));
    // A running Thunderbird writes prefs.js anew when it ends.
    if (profileInUse(profile)) {
      error = "Thunderbird is using the profile " + profile + "; close it first";
      return false;
    }
    std::optional<std::string> text = readWholeFile(location->path);
    if (!text) {
      error = "Cannot read " + location->path;
      return false;
    }
    PrefsFile prefs = parsePrefs(*text);
    std::string branch = "mail.server." + location->server + ".";
    std::string smtpBranch = "mail.smtpserver." + location->smtp + ".";
    if (!prefValue(prefs, branch + "type") || !prefValue(prefs, smtpBranch + "hostname")) {
      error = "prefs.js no longer holds the account " + account.accountName;
      return false;
    }
    setPrefString(prefs, effectivePref(prefs, branch, "hostname", "realhostname"),
                  account.pop3Server);
    setPrefString(prefs, effectivePref(prefs, branch, "userName", "realuserName"),
                  account.userName);
    setPrefString(prefs, smtpBranch + "hostname", account.smtpServer);
    if (account.smtpPortAbsent) {
      removePref(prefs, smtpBranch + "port");
    } else {
      setPrefNumber(prefs, smtpBranch + "port", account.smtpPort);
    }
    std::string changed = formatPrefs(prefs);
    if (changed != *text && !replaceFileContents(location->path, changed)) {
      error = writeErrorText(location->path);
      return false;
    }
    return true;
  }

  std::vector<std::string> GetAddressBookEmails() override {
    std::vector<std::string> found;
    for (const std::string& profile : profiles()) {
      for (const std::string& name : listDirectory(profile, "abook")) {
        if (name.ends_with(".sqlite")) {
          mergeAddresses(found, addressBookEmails(profile + "/" + name));
        }
      }
    }
    return found;
  }

private:
  std::string folder() const { return environment().home + ".thunderbird/"; }

  std::vector<std::string> profiles() const {
    std::vector<std::string> found;
    std::optional<std::string> text = readWholeFile(folder() + "profiles.ini");
    if (!text) {
      return found;
    }
    IniFile ini = parseIni(*text);
    for (const std::string& section : iniSections(ini)) {
      if (!startsWithIgnoreCase(section, "Profile")) {
        continue;
      }
      std::string path = iniValue(ini, section, "Path").value_or("");
      if (path.empty()) {
        continue;
      }
      if (iniValue(ini, section, "IsRelative").value_or("1") != "0") {
        path = folder() + path;
      }
      while (!path.empty() && path.back() == '/') {
        path.pop_back();
      }
      found.push_back(path);
    }
    return found;
  }

  // The accounts in the account manager's order, else in file order.
  static std::vector<std::string> accountKeys(const PrefsFile& prefs) {
    if (std::optional<std::string> list = prefValue(prefs, "mail.accountmanager.accounts")) {
      return splitList(*list);
    }
    std::vector<std::string> keys;
    for (const std::string& name : prefNames(prefs, "mail.account.")) {
      if (name.ends_with(".server")) {
        keys.push_back(name.substr(13, name.size() - 13 - 7));
      }
    }
    return keys;
  }

  // The SMTP entry of the account's first identity, else the default one.
  static std::string smtpKey(const PrefsFile& prefs, const std::string& accountKey) {
    std::vector<std::string> identities =
        splitList(prefValue(prefs, "mail.account." + accountKey + ".identities").value_or(""));
    if (!identities.empty()) {
      std::string key =
          prefValue(prefs, "mail.identity." + identities.front() + ".smtpServer").value_or("");
      if (!key.empty()) {
        return key;
      }
    }
    return prefValue(prefs, "mail.smtp.defaultserver").value_or("");
  }

  // The primary and second e-mail of every card.
  static std::vector<std::string> addressBookEmails(const std::string& path) {
    std::vector<std::string> found;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return found;
    }
    sqlite3_stmt* statement = nullptr;
    const char* query = "SELECT value FROM properties WHERE name IN ('PrimaryEmail', "
                        "'SecondEmail') ORDER BY rowid";
    if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* value = sqlite3_column_text(statement, 0);
        if (value != nullptr && *value != '\0') {
          mergeAddresses(found, {reinterpret_cast<const char*>(value)});
        }
      }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
  }
};

} // namespace

std::unique_ptr<Mailer> makeThunderbirdMailer(const MailerEnvironment& environment) {
  return std::make_unique<ThunderbirdMailer>(environment);
}

} // namespace km
