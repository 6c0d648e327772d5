// The command line of the main program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace km {

// The values of every occurrence of an option, in order; empty when the option does
// not occur. The option must start the line or follow a space, equal the name
// (ignoring case) and be followed by a space or the end. Its value starts after the
// spaces that follow: a double-quoted value runs to the next quote (or the end),
// any other to the next space (or the end). Scanning goes on after the value.
std::vector<std::string> findOption(std::string_view commandLine, std::string_view name);

// The first value of an option, or empty.
std::string firstOptionValue(std::string_view commandLine, std::string_view name);

// What --help and --version print.
std::string usageText();
std::string versionText();

// One command line from the program's arguments; an argument holding a space is
// put in double quotes, so it reads back as one value.
std::string commandLineFromArguments(int argc, const char* const* argv);

} // namespace km
