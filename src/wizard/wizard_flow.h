// The wizard's pages as operations, apart from how they are shown: finding the
// accounts, redirecting the ticked ones and writing their SMTP ports, the DNSBL
// lines of a protection level, the white list from the address books, starting
// and stopping the main program, and putting everything back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "wizard/config_seeding.h"
#include "wizard/mailer.h"

namespace km {

struct WizardState {
  MailerEnvironment environment;
  MailerList mailers;
  // The accounts as the accounts page lists them, in list order.
  std::vector<MailAccount*> listed;
};

// What a page did: lines to show, and whether something went wrong.
struct PageReport {
  std::vector<std::string> lines;
  bool problems = false;
};

WizardState makeWizardState(const MailerEnvironment& environment);

// Accounts page, on showing: every client's accounts, listed in client order.
void findAccounts(WizardState& state);

// Accounts page, on "Next" (after the running-client check): puts every account
// back from the backup, then redirects the ticked ones (`ticked` runs parallel to
// `listed`) on SMTP ports from 1110 on, and writes their port blocks into
// config.dat in place of the earlier ones.
PageReport applyAccountChoice(WizardState& state, const std::vector<bool>& ticked);

// Protection-level page, on "Next": the level's DNSBL lines into config.dat.
PageReport applyProtectionLevel(ProtectionLevel level);

// Address-book page: the addresses of every client's address books, then the
// entries of wlist_email.dat, each once.
std::vector<std::string> collectAddresses(const WizardState& state);
// On "Next": the ticked entries become wlist_email.dat.
PageReport writeWhitelist(const std::vector<std::string>& entries, const std::vector<bool>& ticked);

// Starts the main program (with the data directory given to the wizard, if one
// was) unless it is running already. Failure is silent.
void startMainProgramIfIdle(const std::optional<std::string>& dataDirectoryOption);

// Restore mode, first step: ends the running main program of this user.
void stopMainProgram();
// Restore mode, after the running-client check: every account back as it was.
PageReport restoreAllAccounts(WizardState& state);

} // namespace km
