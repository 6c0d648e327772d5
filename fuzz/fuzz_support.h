// Shared set-up of the fuzzers: a private data directory and a silent notifier.
#pragma once

#include <string>
#include <string_view>

namespace km::fuzz {

// Chooses a fresh data directory under the temporary folder, loads the string
// table and silences the notifier. Returns the directory.
const std::string& prepareFuzzing();

// Removes every file of the data directory (what one input wrote must not change
// what the next one reads).
void clearDataDirectory();

void writeDataFile(const std::string& name, std::string_view bytes);

} // namespace km::fuzz
