#include "app/command_line.h"

#include "config/config.h"
#include "platform/text.h"
#include "platform/version.h"

namespace km {

std::vector<std::string> findOption(std::string_view commandLine, std::string_view name) {
  std::vector<std::string> values;
  if (name.empty()) {
    return values;
  }
  size_t pos = 0;
  while (pos + name.size() <= commandLine.size()) {
    bool startsWord = pos == 0 || commandLine[pos - 1] == ' ';
    size_t end = pos + name.size();
    bool endsWord = end == commandLine.size() || commandLine[end] == ' ';
    if (!startsWord || !endsWord || !equalsIgnoreCase(commandLine.substr(pos, name.size()), name)) {
      ++pos;
      continue;
    }
    size_t value = end;
    while (value < commandLine.size() && commandLine[value] == ' ') {
      ++value;
    }
    size_t valueEnd;
    if (value < commandLine.size() && commandLine[value] == '"') {
      ++value;
      valueEnd = commandLine.find('"', value);
      if (valueEnd == std::string_view::npos) {
        valueEnd = commandLine.size();
      }
      values.emplace_back(commandLine.substr(value, valueEnd - value));
      pos = valueEnd == commandLine.size() ? valueEnd : valueEnd + 1;
    } else {
      valueEnd = commandLine.find(' ', value);
      if (valueEnd == std::string_view::npos) {
        valueEnd = commandLine.size();
      }
      values.emplace_back(commandLine.substr(value, valueEnd - value));
      pos = valueEnd;
    }
  }
  return values;
}

std::string firstOptionValue(std::string_view commandLine, std::string_view name) {
  std::vector<std::string> values = findOption(commandLine, name);
  return values.empty() ? std::string() : values.front();
}

std::string usageText() {
  return "Usage: kestrelmail [option value]...\n"
         "A spam-filtering mail proxy: mail clients read and send mail through it.\n\n"
         "  -configdir DIR                           the data directory (default\n"
         "                                           ~/.config/Kestrelmail)\n"
         "  -trayicon none                           run without a tray icon\n"
         "  -allow_multiple_instances yes            run beside another copy\n"
         "  -suppress_multiple_instances_warning yes end silently when another copy runs\n"
         "  -stats                                   print the filtering statistics and end\n"
         "  --help                                   print this and end\n"
         "  --version                                print the version and end\n\n"
         "SIGTERM or SIGINT ends the program; SIGHUP rereads changed configuration files.\n";
}

std::string versionText() {
  return std::string("Kestrelmail ") + kProgramVersion + "\n";
}

std::string commandLineFromArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (!line.empty()) {
      line += ' ';
    }
    if (argument.find(' ') != std::string_view::npos || argument.empty()) {
      line += '"';
      line += argument;
      line += '"';
    } else {
      line += argument;
    }
  }
  return line;
}

} // namespace km
