// The clients that keep their accounts in the registry, one subkey per account:
// Outlook Express, Incredimail, Outlook 2000 and Outlook XP.
#include "platform/files.h"
#include "platform/text.h"
#include "wizard/address_scan.h"
#include "wizard/mailers_internal.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

enum class TextForm { String, Utf16Binary };
enum class PortForm { Dword, DecimalString };

struct RegistryLayout {
  const char* displayName;
  const char* executable;
  const char* accountsKey;
  // Incredimail: one subkey per identity, each with its accounts under "Accounts".
  bool perIdentity;
  const char* nameValue;
  const char* popValue;
  const char* smtpValue;
  const char* userValue;
  const char* portValue;
  TextForm textForm;
  PortForm portForm;
};

constexpr RegistryLayout kOutlookExpress = {
    "Outlook Express",
    "msimn.exe",
    "Software\\Microsoft\\Internet Account Manager\\Accounts",
    false,
    "Account Name",
    "POP3 Server",
    "SMTP Server",
    "POP3 User Name",
    "SMTP Port",
    TextForm::String,
    PortForm::Dword};
constexpr RegistryLayout kIncredimail = {"Incredimail",
                                         "IncMail.exe",
                                         "Software\\IncrediMail\\Identities",
                                         true,
                                         "AccountName",
                                         "PopServer",
                                         "SmtpServer",
                                         "PopAccount",
                                         "SmtpPort",
                                         TextForm::String,
                                         PortForm::Dword};
constexpr RegistryLayout kOutlook2000 = {
    "Outlook 2000",
    "OUTLOOK.EXE",
    "Software\\Microsoft\\Office\\Outlook\\OMI Account Manager\\Accounts",
    false,
    "Account Name",
    "POP3 Server",
    "SMTP Server",
    "POP3 User Name",
    "SMTP Port",
    TextForm::String,
    PortForm::DecimalString};
constexpr RegistryLayout kOutlookXp = {
    "Outlook XP",
    "OUTLOOK.EXE",
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging "
    "Subsystem\\Profiles\\Outlook\\9375CFF0413111d3B88A00104B2A6676",
    false,
    "Account Name",
    "POP3 Server",
    "SMTP Server",
    "POP3 User",
    "SMTP Port",
    TextForm::Utf16Binary,
    PortForm::Dword};

class RegistryMailer : public Mailer {
public:
  RegistryMailer(const RegistryLayout& layout, const MailerEnvironment& environment)
      : Mailer(layout.executable, layout.displayName, environment), layout_(layout) {}

  bool usesWineRegistry() const override { return true; }

  void FindAccount() override {
    std::optional<RegistryFile> registry = loadUserRegistry(environment().winePrefix);
    if (!registry) {
      return;
    }
    for (const std::string& key : accountKeys(*registry)) {
      MailAccount account;
      account.location = key;
      account.accountName = text(*registry, key, layout_.nameValue);
      account.pop3Server = text(*registry, key, layout_.popValue);
      account.smtpServer = text(*registry, key, layout_.smtpValue);
      account.userName = text(*registry, key, layout_.userValue);
      std::optional<RegistryData> port = registryValue(*registry, key, layout_.portValue);
      account.smtpPortAbsent = !port;
      if (port) {
        if (layout_.portForm == PortForm::Dword) {
          account.smtpPort = static_cast<int32_t>(registryNumber(*port).value_or(25));
        } else {
          account.smtpPort = readInt(registryText(*port).value_or("25"));
        }
      }
      addFoundAccount(std::move(account));
    }
  }

  bool SetAccount(const MailAccount& account, std::string& error) override {
    std::optional<RegistryFile> registry = loadUserRegistry(environment().winePrefix);
    if (!registry) {
      error = "Cannot read " + environment().winePrefix + "user.reg";
      return false;
    }
    const std::string& key = account.location;
    bool ok = setText(*registry, key, layout_.popValue, account.pop3Server) &&
              setText(*registry, key, layout_.smtpValue, account.smtpServer) &&
              setText(*registry, key, layout_.userValue, account.userName);
    if (ok && account.smtpPortAbsent) {
      removeRegistryValue(*registry, key, layout_.portValue);
    } else if (ok && layout_.portForm == PortForm::Dword) {
      ok = setRegistryValue(*registry, key, layout_.portValue,
                            registryDword(static_cast<uint32_t>(account.smtpPort)));
    } else if (ok) {
      ok = setText(*registry, key, layout_.portValue, std::to_string(account.smtpPort), true);
    }
    if (!ok) {
      error = "The registry key " + key + " no longer exists";
      return false;
    }
    return saveUserRegistry(environment().winePrefix, *registry, error);
  }

  std::vector<std::string> GetAddressBookEmails() override { return {}; }

private:
  std::vector<std::string> accountKeys(const RegistryFile& registry) const {
    std::vector<std::string> keys;
    std::string root = layout_.accountsKey;
    if (!layout_.perIdentity) {
      for (const std::string& name : registrySubkeys(registry, root)) {
        keys.push_back(root + "\\" + name);
      }
      return keys;
    }
    for (const std::string& identity : registrySubkeys(registry, root)) {
      std::string identityAccounts = root + "\\" + identity + "\\Accounts";
      for (const std::string& name : registrySubkeys(registry, identityAccounts)) {
        keys.push_back(identityAccounts + "\\" + name);
      }
    }
    return keys;
  }

  std::string text(const RegistryFile& registry, const std::string& key, const char* name) const {
    std::optional<RegistryData> data = registryValue(registry, key, name);
    if (!data) {
      return {};
    }
    if (layout_.textForm == TextForm::Utf16Binary && data->type != REG_BINARY) {
      return {};
    }
    return registryText(*data).value_or("");
  }

  // Strings keep the type they have (a plain or an expandable string); new ones
  // are written as expandable strings.
  bool setText(RegistryFile& registry, const std::string& key, const char* name,
               const std::string& value, bool forceString = false) const {
    if (layout_.textForm == TextForm::Utf16Binary && !forceString) {
      return setRegistryValue(registry, key, name, registryUtf16Binary(value));
    }
    uint32_t type = REG_EXPAND_SZ;
    if (std::optional<RegistryData> old = registryValue(registry, key, name);
        old && old->type == REG_SZ) {
      type = REG_SZ;
    }
    return setRegistryValue(registry, key, name, registryString(value, type));
  }

  const RegistryLayout& layout_;
};

// Incredimail's address books: one file per identity folder under its data folder.
class IncredimailMailer : public RegistryMailer {
public:
  explicit IncredimailMailer(const MailerEnvironment& environment)
      : RegistryMailer(kIncredimail, environment) {}

  std::vector<std::string> GetAddressBookEmails() override {
    std::optional<RegistryFile> registry = loadUserRegistry(environment().winePrefix);
    std::string identities = resolveIgnoringCase(
        shellFolder(environment().winePrefix, registry ? &*registry : nullptr, "Local AppData"),
        "IM/Identities");
    std::vector<std::string> found;
    for (const std::string& identity : listDirectory(identities, "")) {
      std::string book =
          resolveIgnoringCase(identities + "/" + identity, "AddressBook/AddressBook.imb");
      if (std::optional<std::string> bytes = readWholeFile(book)) {
        mergeAddresses(found, scanAddressesInBinary(*bytes));
      }
    }
    return found;
  }
};

} // namespace

std::unique_ptr<Mailer> makeOutlookExpressMailer(const MailerEnvironment& environment) {
  return std::make_unique<RegistryMailer>(kOutlookExpress, environment);
}
std::unique_ptr<Mailer> makeIncredimailMailer(const MailerEnvironment& environment) {
  return std::make_unique<IncredimailMailer>(environment);
}
std::unique_ptr<Mailer> makeOutlook2000Mailer(const MailerEnvironment& environment) {
  return std::make_unique<RegistryMailer>(kOutlook2000, environment);
}
std::unique_ptr<Mailer> makeOutlookXpMailer(const MailerEnvironment& environment) {
  return std::make_unique<RegistryMailer>(kOutlookXp, environment);
}

} // namespace km
