// fledgling: the setup wizard.
//
//   fledgling                      the wizard, in the terminal
//   fledgling /restore             put the mail accounts back as they were
//   fledgling --yes [--level safe|medium|aggressive] [--accounts all|none|N,...]
//                                  the wizard without questions
//   -configdir DIR                 the data directory, as for kestrelmail
//   --no-start                     do not start kestrelmail afterwards
#include <iostream>

#include "wizard/wizard.h"

namespace {

void printUsage(std::ostream& out) {
  out << "usage: fledgling [/restore] [--yes] [--level safe|medium|aggressive]\n"
         "                 [--accounts all|none|N,...] [--no-start] [-configdir DIR]\n";
}

} // namespace

int main(int argc, char** argv) {
  km::WizardOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 < argc) {
        return std::string(argv[++i]);
      }
      return std::nullopt;
    };
    if (argument == "/restore" || argument == "--restore") {
      options.restore = true;
    } else if (argument == "--yes" || argument == "-y") {
      options.assumeYes = true;
    } else if (argument == "--no-start") {
      options.startMainProgram = false;
    } else if (argument == "--level") {
      std::optional<std::string> level = value();
      std::optional<km::ProtectionLevel> parsed =
          level ? km::parseProtectionLevel(*level) : std::nullopt;
      if (!parsed) {
        printUsage(std::cerr);
        return km::kWizardBadUsage;
      }
      options.level = *parsed;
    } else if (argument == "--accounts") {
      options.accounts = value();
      if (!options.accounts) {
        printUsage(std::cerr);
        return km::kWizardBadUsage;
      }
    } else if (argument == "-configdir" || argument == "--configdir") {
      options.dataDirectory = value();
      if (!options.dataDirectory) {
        printUsage(std::cerr);
        return km::kWizardBadUsage;
      }
    } else if (argument == "--help" || argument == "-h") {
      printUsage(std::cout);
      return km::kWizardDone;
    } else {
      printUsage(std::cerr);
      return km::kWizardBadUsage;
    }
  }
  return km::runFledgling(options, std::cin, std::cout);
}
