#include "wizard/terminal_wizard.h"

#include <istream>
#include <ostream>

#include "platform/text.h"
#include "wizard/wizard_flow.h"

namespace km {

namespace {

constexpr const char* kIntroText =
    "Kestrelmail filters the mail your mail programs fetch and send. This wizard\n"
    "points the POP3 accounts of your mail programs at Kestrelmail, gives each one a\n"
    "local SMTP port, chooses a set of DNS blacklists, fills the white list from your\n"
    "address books, and starts Kestrelmail. Run \"fledgling /restore\" to undo the\n"
    "changes to your mail programs.\n";

enum class Step { Next, Back, Cancel };

// Reads one answer line; nothing at the end of the input.
std::optional<std::string> ask(std::istream& in, std::ostream& out, std::string_view prompt) {
  out << prompt << std::flush;
  std::string line;
  if (!std::getline(in, line)) {
    out << "\n";
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

void heading(std::ostream& out, int page, std::string_view title) {
  out << "\n== Fledgling, step " << page << " of 5: " << title << " ==\n\n";
}

std::string padded(std::string text, size_t width) {
  if (text.size() > width) {
    text = text.substr(0, width - 1) + "~";
  }
  text.resize(width, ' ');
  return text;
}

// Applies a tick-list answer: numbers toggle, "a" ticks all, "n" none. False for
// an answer that is not one of these.
bool toggleTicks(std::string_view answer, std::vector<bool>& ticks) {
  std::string words(answer);
  for (char& c : words) {
    c = c == ',' ? ' ' : c;
  }
  std::vector<bool> changed = ticks;
  size_t pos = 0;
  bool any = false;
  while (pos < words.size()) {
    size_t end = words.find(' ', pos);
    end = end == std::string::npos ? words.size() : end;
    std::string word = words.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) {
      continue;
    }
    any = true;
    if (equalsIgnoreCase(word, "a")) {
      changed.assign(changed.size(), true);
    } else if (equalsIgnoreCase(word, "n")) {
      changed.assign(changed.size(), false);
    } else if (word.find_first_not_of("0123456789") == std::string::npos && word.size() < 9 &&
               readInt(word) >= 1 && static_cast<size_t>(readInt(word)) <= changed.size()) {
      size_t index = static_cast<size_t>(readInt(word)) - 1;
      changed[index] = !changed[index];
    } else {
      return false;
    }
  }
  if (any) {
    ticks = changed;
  }
  return true;
}

// Shows a numbered tick list until the user goes on, back or away.
Step tickListPage(std::istream& in, std::ostream& out, const std::vector<std::string>& rows,
                  const std::string& header, std::vector<bool>& ticks) {
  for (;;) {
    if (rows.empty()) {
      out << "  (none found)\n";
    } else {
      out << "   #  Use  " << header << "\n";
      for (size_t i = 0; i < rows.size(); ++i) {
        std::string number = std::to_string(i + 1);
        out << std::string(4 - std::min<size_t>(4, number.size()), ' ') << number << "  "
            << (ticks[i] ? "[x]" : "[ ]") << "  " << rows[i] << "\n";
      }
    }
    std::optional<std::string> answer =
        ask(in, out,
            rows.empty() ? "\nEnter: next   b: back   q: cancel\n> "
                         : "\nNumbers tick or untick (\"1 3\"), a: all, n: none,\n"
                           "Enter: next   b: back   q: cancel\n> ");
    if (!answer || equalsIgnoreCase(*answer, "q")) {
      return Step::Cancel;
    }
    if (answer->empty()) {
      return Step::Next;
    }
    if (equalsIgnoreCase(*answer, "b")) {
      return Step::Back;
    }
    if (!toggleTicks(*answer, ticks)) {
      out << "Please type list numbers, a, n, b, q, or just Enter.\n";
    }
    out << "\n";
  }
}

void printReport(std::ostream& out, const PageReport& report) {
  for (const std::string& line : report.lines) {
    out << "  " << line << "\n";
  }
}

// The running-client check. Interactive: ask until none runs or the user gives
// up. Otherwise: say which run and fail.
bool clientsClosed(const WizardState& state, bool interactive, std::istream& in,
                   std::ostream& out) {
  for (;;) {
    std::vector<std::string> running = runningMailers(state.mailers);
    if (running.empty()) {
      return true;
    }
    out << "\nThese mail programs are running and must be closed first:\n";
    out << "  Mailer\n";
    for (const std::string& name : running) {
      out << "  " << name << "\n";
    }
    if (!interactive) {
      return false;
    }
    std::optional<std::string> answer =
        ask(in, out, "Close them, then press Enter to check again (q: cancel)\n> ");
    if (!answer || equalsIgnoreCase(*answer, "q")) {
      return false;
    }
  }
}

std::vector<std::string> accountRows(const WizardState& state) {
  std::vector<std::string> rows;
  for (const MailAccount* account : state.listed) {
    rows.push_back(padded(account->owner->displayName(), 16) + " " +
                   padded(account->accountName, 18) + " " + padded(account->userName, 16) + " " +
                   padded(account->pop3Server, 20) + " " + account->smtpServer);
  }
  return rows;
}

std::vector<bool> startingTicks(const WizardState& state) {
  std::vector<bool> ticks;
  for (const MailAccount* account : state.listed) {
    ticks.push_back(account->selected);
  }
  return ticks;
}

const char* levelName(ProtectionLevel level) {
  return level == ProtectionLevel::Safe     ? "Safe"
         : level == ProtectionLevel::Medium ? "Medium"
                                            : "Aggressive";
}

} // namespace

std::optional<std::vector<bool>> parseAccountChoice(std::string_view value, size_t count) {
  if (equalsIgnoreCase(value, "all")) {
    return std::vector<bool>(count, true);
  }
  if (equalsIgnoreCase(value, "none")) {
    return std::vector<bool>(count, false);
  }
  std::vector<bool> ticks(count, false);
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    comma = comma == std::string_view::npos ? value.size() : comma;
    std::string_view number = value.substr(pos, comma - pos);
    if (number.empty() || number.size() > 8 ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    int32_t index = readInt(number);
    if (index < 1 || static_cast<size_t>(index) > count) {
      return std::nullopt;
    }
    ticks[static_cast<size_t>(index) - 1] = true;
    pos = comma + 1;
  }
  return ticks;
}

int runWizard(const WizardOptions& options, const MailerEnvironment& environment, std::istream& in,
              std::ostream& out) {
  WizardState state = makeWizardState(environment);
  const bool interactive = !options.assumeYes;
  bool problems = false;
  int result = kWizardDone;

  if (!interactive) {
    findAccounts(state);
    std::vector<bool> ticks = startingTicks(state);
    if (options.accounts) {
      std::optional<std::vector<bool>> chosen =
          parseAccountChoice(*options.accounts, state.listed.size());
      if (!chosen) {
        out << "--accounts takes all, none, or list numbers from 1 to " << state.listed.size()
            << " separated by commas.\n";
        return kWizardBadUsage;
      }
      ticks = *chosen;
    }
    if (!clientsClosed(state, false, in, out)) {
      return kWizardCancelled;
    }
    PageReport accounts = applyAccountChoice(state, ticks);
    printReport(out, accounts);
    PageReport level = applyProtectionLevel(options.level);
    problems = accounts.problems || level.problems;
    std::vector<std::string> entries = collectAddresses(state);
    PageReport whitelist = writeWhitelist(entries, std::vector<bool>(entries.size(), true));
    printReport(out, whitelist);
    problems = problems || whitelist.problems;
  } else {
    int page = 1;
    ProtectionLevel level = options.level;
    std::vector<bool> accountTicks;
    std::vector<std::string> entries;
    std::vector<bool> entryTicks;
    bool accountsListed = false;
    bool addressesListed = false;
    while (page >= 1 && page <= 5) {
      if (page == 1) {
        heading(out, 1, "Welcome");
        out << kIntroText;
        std::optional<std::string> answer = ask(in, out, "\nEnter: next   q: cancel\n> ");
        if (!answer || equalsIgnoreCase(*answer, "q")) {
          page = 0;
        } else {
          page = 2;
        }
      } else if (page == 2) {
        heading(out, 2, "Mail accounts");
        if (!accountsListed) {
          findAccounts(state);
          accountTicks = startingTicks(state);
          accountsListed = true;
        }
        out << "Tick the accounts whose mail Kestrelmail should filter.\n\n";
        Step step = tickListPage(in, out, accountRows(state),
                                 padded("Mail client", 16) + " " + padded("Account", 18) + " " +
                                     padded("User name", 16) + " " + padded("POP3 server", 20) +
                                     " SMTP server",
                                 accountTicks);
        if (step == Step::Cancel) {
          page = 0;
        } else if (step == Step::Back) {
          page = 1;
        } else if (!clientsClosed(state, true, in, out)) {
          out << "\n";
        } else {
          PageReport report = applyAccountChoice(state, accountTicks);
          printReport(out, report);
          problems = problems || report.problems;
          accountsListed = false;
          page = 3;
        }
      } else if (page == 3) {
        heading(out, 3, "Protection level");
        const ProtectionLevel levels[] = {ProtectionLevel::Safe, ProtectionLevel::Medium,
                                          ProtectionLevel::Aggressive};
        for (int i = 0; i < 3; ++i) {
          out << "  " << i + 1 << ") " << (levels[i] == level ? "(*) " : "( ) ")
              << levelName(levels[i]) << "\n";
        }
        std::optional<std::string> answer =
            ask(in, out, "\n1-3: choose   Enter: next   b: back   q: cancel\n> ");
        if (!answer || equalsIgnoreCase(*answer, "q")) {
          page = 0;
        } else if (equalsIgnoreCase(*answer, "b")) {
          page = 2;
        } else if (*answer == "1" || *answer == "2" || *answer == "3") {
          level = levels[readInt(*answer) - 1];
        } else if (answer->empty()) {
          PageReport report = applyProtectionLevel(level);
          problems = problems || report.problems;
          page = 4;
        } else {
          out << "Please type 1, 2 or 3, b, q, or just Enter.\n";
        }
      } else if (page == 4) {
        heading(out, 4, "White list from your address books");
        if (!addressesListed) {
          entries = collectAddresses(state);
          entryTicks.assign(entries.size(), true);
          addressesListed = true;
        }
        out << "Mail from the ticked addresses is never treated as spam.\n\n";
        Step step = tickListPage(in, out, entries, "Emails", entryTicks);
        if (step == Step::Cancel) {
          page = 0;
        } else if (step == Step::Back) {
          addressesListed = false;
          page = 3;
        } else {
          PageReport report = writeWhitelist(entries, entryTicks);
          printReport(out, report);
          problems = problems || report.problems;
          page = 5;
        }
      } else {
        heading(out, 5, "Done");
        out << "Kestrelmail is set up.\n";
        ask(in, out, "\nEnter: finish\n> ");
        page = 6;
      }
    }
    if (page == 0) {
      result = kWizardCancelled;
    }
  }
  if (options.startMainProgram) {
    startMainProgramIfIdle(options.dataDirectory);
  }
  if (result == kWizardDone && problems) {
    result = kWizardDoneWithProblems;
  }
  return result;
}

int runRestore(const WizardOptions& options, const MailerEnvironment& environment, std::istream& in,
               std::ostream& out) {
  stopMainProgram();
  WizardState state = makeWizardState(environment);
  if (!clientsClosed(state, !options.assumeYes, in, out)) {
    return kWizardCancelled;
  }
  PageReport report = restoreAllAccounts(state);
  printReport(out, report);
  out << "The mail accounts are back as they were before the wizard changed them.\n";
  return report.problems ? kWizardDoneWithProblems : kWizardDone;
}

} // namespace km
