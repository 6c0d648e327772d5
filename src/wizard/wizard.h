// The setup wizard `fledgling`: it points the POP3 accounts of the user's mail
// clients at the proxy, writes a local SMTP port for each into config.dat, adds
// the DNSBL lines of a protection level, fills the white list from the address
// books and starts the main program; "/restore" puts the accounts back.
//
//   terminal_wizard.h  the pages in a terminal, and the non-interactive mode
//   wizard_flow.h      what each page does, apart from how it is shown
//   config_seeding.h   SMTP port blocks, permission files, DNSBL lines
//   mailer.h           the Mailer family: accounts, redirection, restore, running check
//   backup_file.h      accounts_backup.ini
//   address_scan.h     addresses found in address-book files
//   wine_registry.h    Wine's user.reg, read and written as Wine writes it
//   wine_prefix.h      the Wine prefix: its registry file and Windows paths
//   ini_file.h         INI files (Eudora.ini, profiles.ini, accountrc, the backup)
//   prefs_js.h         Thunderbird's prefs.js
//
// The wizard shares no memory with the main program: it reads and writes the same
// data directory and starts or stops the program as a process.
#pragma once

#include <iosfwd>
#include <optional>
#include <string_view>

#include "wizard/terminal_wizard.h"

namespace km {

// "safe", "medium" or "aggressive" (ignoring case).
std::optional<ProtectionLevel> parseProtectionLevel(std::string_view word);

// The whole program after its command line: picks the data directory, then runs
// the wizard or the restore. Returns the exit code.
int runFledgling(const WizardOptions& options, std::istream& in, std::ostream& out);

} // namespace km
