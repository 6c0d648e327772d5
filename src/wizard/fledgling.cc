#include "config/config.h"
#include "config/data_dir.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "wizard/wizard.h"

namespace km {

std::optional<ProtectionLevel> parseProtectionLevel(std::string_view word) {
  if (equalsIgnoreCase(word, "safe")) {
    return ProtectionLevel::Safe;
  }
  if (equalsIgnoreCase(word, "medium")) {
    return ProtectionLevel::Medium;
  }
  if (equalsIgnoreCase(word, "aggressive")) {
    return ProtectionLevel::Aggressive;
  }
  return std::nullopt;
}

int runFledgling(const WizardOptions& options, std::istream& in, std::ostream& out) {
  // The main program's string table gives the comment lines of the first-run
  // files the wizard may have to write; without it they are placeholders.
  loadLanguageTable(executableDirectory() + "kestrelmail.lang");
  chooseDataDirectory(options.dataDirectory);
  // What the configuration files' readers have to say reaches the user as the
  // main program's would; the wizard ends nothing on their trouble.
  setConfigHandlers({notifyForReply, nullptr});
  MailerEnvironment environment = defaultMailerEnvironment();
  return options.restore ? runRestore(options, environment, in, out)
                         : runWizard(options, environment, in, out);
}

} // namespace km
