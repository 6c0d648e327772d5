#include "app/command_line.h"

#include "platform/text.h"

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
