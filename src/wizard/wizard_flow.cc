#include "wizard/wizard_flow.h"

#include <optional>

#include "config/config.h"
#include "config/data_dir.h"
#include "config/dnsbl_definitions.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/user_dirs.h"
#include "wizard/address_scan.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

constexpr int32_t kFirstSmtpPort = 1110;
constexpr int kCloseWaitMs = 5000;
// The names the main program runs under (the last two from its Windows days).
constexpr const char* kMainProgramNames[] = {"kestrelmail", "Kestrelmail.exe", "KESTRE~1.exe"};

// The configuration text. A missing file gets the main program's first-run files
// first, so that the wizard's lines join a complete configuration instead of
// standing alone (which the main program would read with every other setting at
// its bare default, subject tagging off among them).
std::string readConfigText() {
  std::string path = dataPath("config.dat");
  if (!fileExists(path)) {
    writeFirstRunFiles();
  }
  return readWholeFile(path).value_or("");
}

bool writeConfigText(const std::string& text, PageReport& report) {
  std::string path = dataPath("config.dat");
  if (readWholeFile(path) == text) {
    return true;
  }
  if (!replaceFileContents(path, text)) {
    report.lines.push_back(writeErrorText(path));
    report.problems = true;
    return false;
  }
  return true;
}

std::string findMainProgram() {
  std::string beside = executableDirectory() + "kestrelmail";
  if (fileExists(beside)) {
    return beside;
  }
  std::string folders = environmentValue("PATH").value_or("");
  for (size_t pos = 0; pos <= folders.size();) {
    size_t colon = folders.find(':', pos);
    colon = colon == std::string::npos ? folders.size() : colon;
    std::string candidate = folders.substr(pos, colon - pos) + "/kestrelmail";
    if (colon > pos && fileExists(candidate)) {
      return candidate;
    }
    pos = colon + 1;
  }
  return beside;
}

} // namespace

WizardState makeWizardState(const MailerEnvironment& environment) {
  WizardState state;
  state.environment = environment;
  state.mailers = buildMailerList(environment);
  return state;
}

void findAccounts(WizardState& state) {
  enumerateAccounts(state.mailers);
  state.listed.clear();
  for (const std::unique_ptr<Mailer>& mailer : state.mailers) {
    for (MailAccount& account : mailer->accounts) {
      state.listed.push_back(&account);
    }
  }
}

PageReport applyAccountChoice(WizardState& state, const std::vector<bool>& ticked) {
  PageReport report;
  prepareDataDirectory();
  std::vector<int32_t> reusable;
  std::string text = removeSmtpPortBlocks(readConfigText(), reusable);

  std::vector<std::string> problems;
  for (const std::unique_ptr<Mailer>& mailer : state.mailers) {
    restoreAccounts(*mailer, problems);
  }

  std::vector<int32_t> taken = configuredPorts(text);
  int32_t counter = kFirstSmtpPort;
  for (size_t i = 0; i < state.listed.size(); ++i) {
    if (i >= ticked.size() || !ticked[i]) {
      continue;
    }
    const MailAccount& account = *state.listed[i];
    int32_t port = nextFreeSmtpPort(counter, taken, reusable, text);
    RedirectResult result = redirectAccount(account, port);
    std::string label = account.owner->displayName() + ", " + account.accountName;
    if (!result.error.empty()) {
      problems.push_back(label + ": " + result.error);
      continue;
    }
    if (!result.redirected) {
      report.lines.push_back(label + ": already sends through localhost; left as it is.");
      continue;
    }
    text = smtpPortBlock(port, result.previousSmtpServer) + text;
    taken.push_back(port);
    counter = port + 1;
    report.lines.push_back(label + ": SMTP port " + std::to_string(port) + " for " +
                           result.previousSmtpServer + ".");
    std::string error;
    if (!writePermissionFiles(error)) {
      problems.push_back(error);
    }
  }
  writeConfigText(text, report);
  for (const std::string& problem : problems) {
    report.lines.push_back(problem);
  }
  report.problems = report.problems || !problems.empty();
  return report;
}

PageReport applyProtectionLevel(ProtectionLevel level) {
  PageReport report;
  Config definitions;
  loadDnsblDefinitions(definitions);
  std::vector<std::string> wizardLines;
  for (ProtectionLevel each :
       {ProtectionLevel::Safe, ProtectionLevel::Medium, ProtectionLevel::Aggressive}) {
    for (const std::string& line : dnsblLinesForLevel(each, definitions.dnsblLists)) {
      wizardLines.push_back(line);
    }
  }
  std::vector<std::string> lines = dnsblLinesForLevel(level, definitions.dnsblLists);
  writeConfigText(insertDnsblLines(readConfigText(), lines, wizardLines), report);
  for (const std::string& line : lines) {
    report.lines.push_back(line.substr(6));
  }
  return report;
}

std::vector<std::string> collectAddresses(const WizardState& state) {
  std::vector<std::string> entries;
  for (const std::unique_ptr<Mailer>& mailer : state.mailers) {
    mergeAddresses(entries, mailer->GetAddressBookEmails());
  }
  // Entries are lines; an empty line is skipped rather than ending the list, so
  // that nothing after it is lost when the file is written back.
  std::string text = readWholeFile(dataPath("wlist_email.dat")).value_or("");
  std::vector<std::string> existing;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end;
    std::string entry = text.substr(pos, end - pos);
    if (!entry.empty() && entry.back() == '\r') {
      entry.pop_back();
    }
    if (!entry.empty()) {
      existing.push_back(entry);
    }
    pos = end + 1;
  }
  mergeAddresses(entries, existing);
  return entries;
}

PageReport writeWhitelist(const std::vector<std::string>& entries,
                          const std::vector<bool>& ticked) {
  PageReport report;
  std::string text;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i < ticked.size() && ticked[i]) {
      text += entries[i] + "\r\n";
    }
  }
  prepareDataDirectory();
  std::string path = dataPath("wlist_email.dat");
  if (!replaceFileContents(path, text)) {
    report.lines.push_back(writeErrorText(path));
    report.problems = true;
  }
  return report;
}

void startMainProgramIfIdle(const std::optional<std::string>& dataDirectoryOption) {
  if (isInstanceLockHeld(kInstanceLockName)) {
    return;
  }
  std::vector<std::string> arguments;
  if (dataDirectoryOption) {
    arguments = {"-configdir", *dataDirectoryOption};
  }
  startDetachedProgram(findMainProgram(), arguments);
}

// Only the instance that holds this user's instance lock is ended: another user's
// (or another session's) program of the same name is none of this wizard's business.
void stopMainProgram() {
  std::string lockPath = canonicalPath(instanceLockPath(kInstanceLockName));
  for (const ProcessEntry& process : listProcesses()) {
    for (const char* name : kMainProgramNames) {
      if (equalsIgnoreCase(process.executableName, name) &&
          processHasFileOpen(process.pid, lockPath)) {
        endProcess(process.pid, kCloseWaitMs);
        break;
      }
    }
  }
}

PageReport restoreAllAccounts(WizardState& state) {
  PageReport report;
  findAccounts(state);
  for (const std::unique_ptr<Mailer>& mailer : state.mailers) {
    restoreAccounts(*mailer, report.lines);
  }
  report.problems = !report.lines.empty();
  return report;
}

} // namespace km
