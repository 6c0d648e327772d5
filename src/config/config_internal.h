// Shared by the files of the configuration subsystem only.
#pragma once

#include "config/config.h"

namespace km {

// A snapshot being built or changed, before it is made current.
using MutableConfigRef = std::shared_ptr<Config>;

// A fresh snapshot with the values of a file that names no key, or a copy of
// `from`; freeing it gives the memory back to the system.
MutableConfigRef newConfigSnapshot();
MutableConfigRef copyConfigSnapshot(const Config& from);

// Makes the snapshot current; the previous one is released.
void makeConfigCurrent(ConfigRef config);

// The notices and questions of this layer and its trouble, through the handlers
// the application installed (config.h).
void tellUser(const std::string& title, const std::string& text, NoticeIcon icon);
// True for Yes or Ok; without a handler, the headless answer.
bool askUser(const std::string& title, const std::string& text, NoticeIcon icon,
             NoticeButtons buttons, bool headlessYes);
void reportTrouble(ConfigTrouble trouble);

// Remembers the modification time of the config.dat this program wrote, so that
// its own writes do not count as changes for the hot reload.
void noteConfigFileWritten(int64_t modified);

void runConfigLoadedHandler();

// What reading the port keys of one load remembers.
struct PortLoadState {
  bool createDefaultImap4Port = true;
  int genericPort = -1;              // the generic port of the older single-port format
  bool muteConnectionErrors = false; // the older format's mute setting
  bool converted = false;            // older port keys were seen
};

// A PORT line: a new port, POP3_GENERIC with the POP3 defaults, that the keys
// after it describe.
void applyPortLine(Config& config, std::string_view value);

// Applies a key of the most recent port (PORT_...) or a key of the older
// single-port format; false when the key is neither.
bool applyPortKey(Config& config, PortLoadState& state, std::string_view key,
                  std::string_view value);

// Keeps the listen ports and the body-filtering sizes of the ports within their
// ranges (1 to 65535; at most 65536 K).
void keepPortNumbersInRange(std::vector<PortConfig>& ports);

// Reads each port's access list and, for SMTP ports, its two permission files.
void readPortFiles(Config& config);

// Appends the port blocks in their written form.
void appendPortBlocks(std::string& out, const Config& config);

} // namespace km
