// The options as the pages change them: named settings, port definitions, the
// enabled DNSBL lists and the list files. Every change is made on the current
// configuration (updateConfig: a copy edited, made current and written whole to
// config.dat) and followed by a reload, so that listeners, lists and the tray
// follow it at once.
//
// A change names the revision of the configuration it was made on (a digest of
// config.dat's text, or of the list file's); when another change came first, it is
// refused as Conflict and nothing is written. Changes are checked whole before
// anything is written, so a refused change leaves everything as it was.
//
// State: none of its own; every change runs under the configuration lock. Any
// thread but the main thread (a reload may ask the user).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config.h"

namespace km {

enum class ChangeStatus { Done, Conflict, Invalid, NotSaved };

struct ChangeOutcome {
  ChangeStatus status = ChangeStatus::Done;
  std::string message; // what the page tells the user when it is not Done
};

// The revision of a configuration: changes made on another one are refused. It
// covers the ids of the port definitions too, which every load numbers anew, so
// that an id read from one snapshot never names another port in the next.
std::string configRevision(const Config& config);
std::string currentConfigRevision();

// --- Named settings: the global keys of config.dat the options offer ---

enum class SettingKind { Flag, Number, Text, Choice };

struct SettingInfo {
  std::string name;    // the config.dat key
  std::string section; // "general", "tagging", "logging", "dnsbl", "updates"
  SettingKind kind = SettingKind::Flag;
  int32_t lowest = 0; // numbers
  int32_t highest = 0;
  std::vector<std::string> choices; // choices, as config.dat writes them
};

const std::vector<SettingInfo>& settingInfos();

// A setting's value as text: "YES"/"NO" for flags, decimal numbers, the choice's
// word; nothing for an unknown name.
std::optional<std::string> settingValue(const Config& config, std::string_view name);

// Sets the named settings (values as settingValue gives them). An unknown name,
// a number out of range or an unknown choice refuses the whole change.
ChangeOutcome changeSettings(const std::string& revision,
                             const std::vector<std::pair<std::string, std::string>>& values);

// --- Port definitions ---

struct PortChange {
  enum class Action { Add, Edit, Remove };
  Action action = Action::Add;
  uint32_t id = 0; // the port edited or removed
  int32_t listenPort = 0;
  PortType type = PortType::Pop3Generic;
  // The port's keys as its block in config.dat names them (PORT_TYPE and the
  // server name included or not: `type` and the PORT_..._SERVERNAME key count).
  PortKeyValues keys;
};

// Adds, edits or removes a port definition. A listen port outside 1 to 65535, a
// specific port without a server name, a port number another definition uses
// (unless port sharing is on) or that another program listens on is refused with
// a message that says so. The id of an added port in the configuration the change
// loaded goes to `madeId`.
ChangeOutcome changePort(const std::string& revision, const PortChange& change,
                         uint32_t* madeId = nullptr);

// The words of the port types as config.dat writes them, and back.
std::string portTypeWord(PortType type);
std::optional<PortType> portTypeFromWord(std::string_view word);

// --- DNSBL lists ---

// Enables exactly the lists with these keys (ignoring case), in this order. An
// unknown key refuses the change.
ChangeOutcome changeEnabledDnsbl(const std::string& revision, const std::vector<std::string>& keys);

// --- Plug-ins ---

struct PluginInfo {
  std::string name;        // the library's file name, as ENABLED_PLUGIN names it
  std::string displayName; // the plug-in's own name
  double version = 0;
  bool enabled = false;
  bool failed = false; // refused the host's version or could not be loaded
};

// The installed plug-ins: the enabled ones first, in their order, then the others.
std::vector<PluginInfo> pluginInfos(const Config& config);

// Enables exactly the installed plug-ins with these names (ignoring case), in this
// order; a plug-in that stays enabled keeps its entry. An unknown name refuses the
// change.
ChangeOutcome changeEnabledPlugins(const std::string& revision,
                                   const std::vector<std::string>& names);

// --- List files ---

// The list files the options edit as text: the white and black lists, the global
// allow list and the never-auto-whitelist list.
const std::vector<std::string>& editableListFiles();

struct ListFileText {
  std::string text;     // empty when the file does not exist
  std::string revision; // digest of the text
};

// Nothing for a name that is not an editable list file, or a file that cannot be
// read.
std::optional<ListFileText> readEditableList(std::string_view name);

// Replaces the whole file when it is still at `revision`; in the IP lists every
// line that holds an entry must be an address, range or netblock (the first bad
// line is named). The configuration is reloaded afterwards.
ChangeOutcome writeEditableList(std::string_view name, const std::string& text,
                                const std::string& revision);

} // namespace km
