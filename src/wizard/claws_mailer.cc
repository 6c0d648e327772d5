// Claws Mail: the POP3 accounts in accountrc and the addresses of its XML address
// books.
#include "platform/files.h"
#include "platform/text.h"
#include "wizard/address_scan.h"
#include "wizard/ini_file.h"
#include "wizard/mailers_internal.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

constexpr const char* kPop3Protocol = "0";

// The text of an XML attribute value with its entities undone.
std::string unescapeXml(std::string_view text) {
  struct Entity {
    std::string_view name;
    char c;
  };
  static constexpr Entity kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const Entity& entity : kEntities) {
      if (text.substr(i).starts_with(entity.name)) {
        out += entity.c;
        i += entity.name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      out += text[i++];
    }
  }
  return out;
}

class ClawsMailer : public Mailer {
public:
  explicit ClawsMailer(const MailerEnvironment& environment)
      : Mailer("claws-mail", "Claws Mail", environment) {}

  void FindAccount() override {
    std::string path = folder() + "accountrc";
    std::optional<std::string> text = readWholeFile(path);
    if (!text) {
      return;
    }
    IniFile ini = parseIni(*text);
    for (const std::string& section : iniSections(ini)) {
      if (!startsWithIgnoreCase(section, "Account:") ||
          iniValue(ini, section, "protocol") != kPop3Protocol) {
        continue;
      }
      MailAccount account;
      account.location = path + "|" + section;
      account.accountName = iniValue(ini, section, "account_name").value_or("");
      account.pop3Server = iniValue(ini, section, "receive_server").value_or("");
      account.smtpServer = iniValue(ini, section, "smtp_server").value_or("");
      account.userName = iniValue(ini, section, "user_id").value_or("");
      // Without set_smtpport the client uses its default port and ignores smtp_port.
      account.smtpPortAbsent = iniValue(ini, section, "set_smtpport") != "1";
      account.smtpPort =
          account.smtpPortAbsent ? 25 : readInt(iniValue(ini, section, "smtp_port").value_or("25"));
      addFoundAccount(std::move(account));
    }
  }

  bool SetAccount(const MailAccount& account, std::string& error) override {
    size_t bar = account.location.rfind('|');
    if (bar == std::string::npos) {
      error = "Unknown account location " + account.location;
      return false;
    }
    std::string path = account.location.substr(0, bar);
    std::string section = account.location.substr(bar + 1);
    std::optional<std::string> text = readWholeFile(path);
    if (!text) {
      error = "Cannot read " + path;
      return false;
    }
    IniFile ini = parseIni(*text);
    if (!iniValue(ini, section, "receive_server")) {
      error = "accountrc no longer holds the account " + account.accountName;
      return false;
    }
    setIniValue(ini, section, "receive_server", account.pop3Server);
    setIniValue(ini, section, "smtp_server", account.smtpServer);
    setIniValue(ini, section, "user_id", account.userName);
    setIniValue(ini, section, "set_smtpport", account.smtpPortAbsent ? "0" : "1");
    setIniValue(ini, section, "smtp_port", std::to_string(account.smtpPort));
    std::string changed = formatIni(ini);
    if (changed != *text && !replaceFileContents(path, changed)) {
      error = writeErrorText(path);
      return false;
    }
    return true;
  }

  // Every email="..." attribute of the address books (addrbook-*.xml, kept in the
  // addrbook folder by newer versions and beside accountrc by older ones).
  std::vector<std::string> GetAddressBookEmails() override {
    std::vector<std::string> found;
    for (const std::string& directory : {folder(), folder() + "addrbook/"}) {
      for (const std::string& name : listDirectory(directory, "addrbook-")) {
        if (!name.ends_with(".xml") || name == "addrbook--index.xml") {
          continue;
        }
        std::optional<std::string> text = readWholeFile(directory + name);
        if (!text) {
          continue;
        }
        for (size_t at = text->find("email=\""); at != std::string::npos;
             at = text->find("email=\"", at + 1)) {
          size_t start = at + 7;
          size_t end = text->find('"', start);
          if (end == std::string::npos) {
            break;
          }
          std::string address = unescapeXml(std::string_view(*text).substr(start, end - start));
          if (address.find('@') != std::string::npos) {
            mergeAddresses(found, {address});
          }
        }
      }
    }
    return found;
  }

private:
  std::string folder() const { return environment().home + ".claws-mail/"; }
};

} // namespace

std::unique_ptr<Mailer> makeClawsMailer(const MailerEnvironment& environment) {
  return std::make_unique<ClawsMailer>(environment);
}

} // namespace km
