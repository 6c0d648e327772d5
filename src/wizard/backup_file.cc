#include "wizard/backup_file.h"

#include "platform/files.h"
#include "platform/text.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

std::string keyOf(const char* base, int index) {
  return std::string(base) + "_" + std::to_string(index);
}

} // namespace

IniFile readBackupFile(const std::string& path) {
  std::optional<std::string> text = readWholeFile(path);
  return parseIni(text ? *text : std::string());
}

bool backupHasEntry(const IniFile& backup, const std::string& client, int index) {
  return iniValue(backup, client, keyOf("name", index)).has_value();
}

std::optional<MailAccount> backupAccount(const IniFile& backup, Mailer& owner, int index) {
  const std::string& section = owner.displayName();
  MailAccount account;
  account.owner = &owner;
  struct Field {
    const char* key;
    std::string* target;
  };
  std::string port;
  const Field fields[] = {
      {"name", &account.accountName}, {"pop", &account.pop3Server}, {"smtp", &account.smtpServer},
      {"user", &account.userName},    {"path", &account.location},  {"smtpport", &port},
  };
  for (const Field& field : fields) {
    std::optional<std::string> value = iniValue(backup, section, keyOf(field.key, index));
    if (!value || value->empty()) {
      return std::nullopt;
    }
    *field.target = *value;
  }
  if (port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  account.smtpPort = readInt(port);
  account.smtpPortAbsent = iniValue(backup, section, keyOf("smtpportabsent", index)) == "1";
  account.extra = iniValue(backup, section, keyOf("eudoraPersonality", index)).value_or("");
  return account;
}

bool writeBackupAccount(const std::string& path, const MailAccount& account, std::string& error) {
  IniFile backup = readBackupFile(path);
  const std::string& section = account.owner->displayName();
  int index = 0;
  for (int i = 0;; ++i) {
    std::optional<std::string> name = iniValue(backup, section, keyOf("name", i));
    if (!name) {
      index = i;
      break;
    }
    if (*name == account.accountName &&
        iniValue(backup, section, keyOf("path", i)) == account.location) {
      index = i;
      break;
    }
  }
  setIniValue(backup, section, keyOf("name", index), account.accountName);
  setIniValue(backup, section, keyOf("pop", index), account.pop3Server);
  setIniValue(backup, section, keyOf("smtp", index), account.smtpServer);
  setIniValue(backup, section, keyOf("user", index), account.userName);
  setIniValue(backup, section, keyOf("path", index), account.location);
  setIniValue(backup, section, keyOf("smtpport", index), std::to_string(account.smtpPort));
  if (account.smtpPortAbsent) {
    setIniValue(backup, section, keyOf("smtpportabsent", index), "1");
  } else {
    removeIniValue(backup, section, keyOf("smtpportabsent", index));
  }
  if (!account.extra.empty()) {
    setIniValue(backup, section, keyOf("eudoraPersonality", index), account.extra);
  }
  if (!replaceFileContents(path, formatIni(backup))) {
    error = writeErrorText(path);
    return false;
  }
  return true;
}

} // namespace km
