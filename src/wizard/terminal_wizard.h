// The wizard in a terminal: each page a step with a prompt, lists as numbered tick
// lists. Plain lines in and out, so it works over SSH and from scripts alike; the
// non-interactive mode takes every choice from the command line instead.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "wizard/config_seeding.h"
#include "wizard/mailer.h"

namespace km {

struct WizardOptions {
  bool restore = false;
  // Non-interactive: no questions, the choices below.
  bool assumeYes = false;
  ProtectionLevel level = ProtectionLevel::Medium;
  // "all", "none", or list numbers such as "1,3"; nothing: as the list starts.
  std::optional<std::string> accounts;
  bool startMainProgram = true;
  std::optional<std::string> dataDirectory;
};

// Exit codes of the wizard.
inline constexpr int kWizardDone = 0;
inline constexpr int kWizardCancelled = 1;
inline constexpr int kWizardBadUsage = 2;
inline constexpr int kWizardDoneWithProblems = 3;

int runWizard(const WizardOptions& options, const MailerEnvironment& environment, std::istream& in,
              std::ostream& out);
int runRestore(const WizardOptions& options, const MailerEnvironment& environment, std::istream& in,
               std::ostream& out);

// The tick list an --accounts value gives for `count` listed accounts; nothing
// when the value does not parse or names a number outside the list.
std::optional<std::vector<bool>> parseAccountChoice(std::string_view value, size_t count);

} // namespace km
