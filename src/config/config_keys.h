// The global keys of config.dat, one table row per key that both the loader and
// the writer use (config_keys.cc). Shared by the files of the configuration
// subsystem only.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config_internal.h"

namespace km {

// What one load remembers beside the snapshot it builds.
struct LoadState {
  explicit LoadState(Config& snapshot) : config(snapshot) {}
  Config& config;
  std::string language = "English";
  bool converted = false; // older keys seen, newer version accepted: rewrite
  bool rewrite = false;   // an unknown DNSBL key or another language: rewrite
  bool quitRequested = false;
  PortLoadState ports;
  std::vector<std::pair<std::string, std::string>> unknownDnsbl; // key, name
  std::string trayPluginName;
  // The lines as read, by number, to tell the user which of them a rewrite drops
  // or changes; and the file as it was, for its backup.
  std::vector<std::pair<int, std::string>> lines;
  std::string fileText;
  bool firstRunFile = false; // the program wrote the file just now
};

// Applies a key that has a row in the table (the global keys, PORT and the older
// keys that stay in config.dat's settings); false for any other key.
bool applyConfigKey(LoadState& load, std::string_view key, std::string_view value);

// Appends every written key in its fixed order: the text of config.dat.
void appendConfigKeys(std::string& out, const Config& config);

// The index of the DNSBL list with that key (ignoring case), or -1.
int findDnsblList(const Config& config, std::string_view key);

} // namespace km
