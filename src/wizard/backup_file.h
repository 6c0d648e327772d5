// accounts_backup.ini: the settings accounts had before the wizard redirected them,
// one section per client, account i under "name_i", "pop_i", "smtp_i" and so on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wizard/ini_file.h"
#include "wizard/mailer.h"

namespace km {

// Reads the backup file (empty when it does not exist).
IniFile readBackupFile(const std::string& path);

// Entry i of the client's section, or nothing when a value is missing or empty
// (a file cut short, or edited by hand).
std::optional<MailAccount> backupAccount(const IniFile& backup, Mailer& owner, int index);

// Whether "name_i" exists in the client's section.
bool backupHasEntry(const IniFile& backup, const std::string& client, int index);

// The account's settings as backup entry: the first index whose name and location
// are the account's, else the first free one. The whole file is replaced at once.
bool writeBackupAccount(const std::string& path, const MailAccount& account, std::string& error);

} // namespace km
