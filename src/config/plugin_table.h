// The plug-in host's table: the plug-in libraries installed in plugins/<folder>/,
// loading and unloading them, their exports and their configuration folders; and
// what each configuration snapshot keeps for the plug-ins it enables (the data the
// plug-in's loadConfig gave it, a use of the library, its capability words).
//
// A library is loaded while someone uses it: every session for its own duration,
// and each snapshot from its first session until it is released. A library that
// cannot be loaded, or that refuses this host's interface version, is disabled for
// the rest of the run and never called again.
//
// State: the table only grows. The table, the use counts, loading and unloading,
// and the per-snapshot plug-in state are guarded by the configuration lock. Every
// function here may be called from any thread.
#pragma once

#include <kestrelmail/plugin.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace km {

// --- Discovery ---

// Where installed plug-ins are looked for, in this order: "plugins/" beside the
// program, then the installed place under the program's prefix
// ("../lib/kestrelmail/plugins/" from its folder). Only folders that exist.
std::vector<std::string> pluginFolders();

// Start-up, before the configuration is loaded: every "*.so" file in a sub-folder
// of a plug-in folder is a plug-in named after its file name cut at the last ".".
// Folders whose names start with "." are skipped; sub-folders are searched in
// name order, and a name already in the table (ignoring case) is not added again.
// Nothing is loaded yet.
void DiscoverPlugins();
// The same for one plug-in folder.
void discoverPluginsIn(const std::string& folder);

// --- The table ---

// Names of the installed plug-ins, in table order; an index is a position here.
std::vector<std::string> installedPluginNames();
// Index of the installed plug-in of that name (ignoring case), or -1.
int findInstalledPlugin(std::string_view name);
// The file name (without extension) of an installed plug-in; empty for a bad index.
std::string installedPluginName(int installedIndex);
// The library's path; empty for a plug-in of this program's own functions.
std::string installedPluginPath(int installedIndex);

// Finds an export of an in-process plug-in by its exact name, or null.
using PluginExportFinder = std::function<void*(const char* name)>;

// Adds a plug-in made of functions of this program (tests) unless one of that name
// (ignoring case) is there; returns its index either way. It counts as loaded.
int addInstalledPlugin(std::string name, PluginExportFinder finder);

// Marks a plug-in as disabled: every call site skips it from then on.
void disablePlugin(int installedIndex);
bool pluginDisabled(int installedIndex);
// Whether its library is loaded now, and how many users keep it loaded.
bool pluginLoaded(int installedIndex);
int pluginUseCount(int installedIndex);

// Takes a use of a plug-in: loads its library when it is not loaded; at the first
// load, a library that exports checkKestrelmailVersion and answers 0 to
// KM_HOST_INTERFACE_VERSION, or one that cannot be loaded, is disabled (and the
// user told). The use counts either way; true when the plug-in can be called.
bool UsePlugin(int installedIndex);
// Gives a use back; at none left the library is unloaded unless the current
// configuration enables the plug-in.
void UnusePlugin(int installedIndex);

// The export of that name, or failing that and when the name does not begin with
// "_", the same name with a leading "_"; null when the plug-in is disabled, its
// library is not loaded or it lacks the export.
void* FindExport(int installedIndex, std::string_view name);

// The plug-in's configuration folder in the data directory: "plugins/", its name
// and "/". The plug-in's own tools (kestrelmail-train) find it the same way.
std::string pluginConfigFolder(std::string_view name);

// The plug-in's data for a new snapshot: with a loadConfig export, makes sure its
// configuration folder exists (a failure is reported as a system error with the
// path, and gives null) and calls loadConfig with the folder's path; else null.
KmPluginData LoadPluginConfig(int installedIndex);
// Hands the data back through releaseConfig, if exported.
void ReleasePluginConfig(int installedIndex, KmPluginData data);

// The plug-in's getPluginName text, or "(Unnamed plugin)". The library is loaded
// for the question when nobody uses it.
std::string PluginDisplayName(std::string_view name);
// The number its getPluginVersion text starts with; 0 without that export, -1
// when no plug-in has that name.
double PluginVersion(std::string_view name);
// Whether the offered version is newer than the installed plug-in's: numerically
// greater, or equal with a text that sorts after the plug-in's (ignoring case).
// False when no plug-in has that name.
bool PluginOlderThan(std::string_view name, std::string_view offeredVersion);

// Program end, after the configuration was released: unloads every library.
void unloadPlugins();

// Marks the calling thread as inside a plug-in function for its lifetime, so that a
// crash there is reported with the plug-in's name (platform/thread_records.h).
class PluginCallScope {
public:
  PluginCallScope(int installedIndex, std::string_view function);
  ~PluginCallScope();
  PluginCallScope(const PluginCallScope&) = delete;
  PluginCallScope& operator=(const PluginCallScope&) = delete;

private:
  std::string plugin_;
  std::string function_;
};

// --- Per snapshot ---

// What one snapshot keeps for one enabled plug-in: the plug-in's data from its
// loadConfig, the snapshot's use of the library, and the plug-in's capability
// words. Copies of a snapshot (updateConfig) share it; when the last one goes, the
// data is handed back (releaseConfig) and the use given up.
class PluginSnapshotState {
public:
  explicit PluginSnapshotState(int installedIndex) : installedIndex_(installedIndex) {}
  ~PluginSnapshotState();
  PluginSnapshotState(const PluginSnapshotState&) = delete;
  PluginSnapshotState& operator=(const PluginSnapshotState&) = delete;

  // Under the configuration lock: takes the snapshot's use of the library and, the
  // first time, loads the plug-in's data and asks for its capability words.
  void prepare();
  bool prepared() const { return prepared_.load(std::memory_order_acquire); }
  // The plug-in's data (null until prepared).
  KmPluginData data() const { return data_; }
  uint32_t capabilityWord(size_t word) const {
    return word < capabilities_.size() ? capabilities_[word].load(std::memory_order_relaxed) : 0;
  }
  // A snapshot built by hand (tests) with data of its own choosing.
  void presetData(KmPluginData data);

private:
  int installedIndex_;
  std::atomic<bool> prepared_{false};
  bool holdsUse_ = false;
  bool dataLoaded_ = false;
  KmPluginData data_ = nullptr;
  std::array<std::atomic<uint32_t>, 5> capabilities_{};
};

// An entry of a snapshot's enabled list for an installed plug-in.
EnabledPlugin enabledPlugin(int installedIndex);

// The data of an enabled plug-in for its snapshot, loaded first when needed.
KmPluginData pluginDataOf(const EnabledPlugin& plugin);

// Readies every enabled plug-in of the snapshot: its use of the library, its data
// and its capability words. Run when a session starts.
void PreparePlugins(const Config& config);

// The union of one of the five capability words over the snapshot's prepared
// plug-ins; a plug-in without getPluginCapabilities counts as 3, 3, 0, 0, 0.
uint32_t pluginCapabilityWord(const Config& config, size_t word);

// A session's own uses of the plug-ins its snapshot enables, for the session's
// duration; taking them also prepares the snapshot.
class PluginUses {
public:
  PluginUses() = default;
  explicit PluginUses(const Config& config);
  ~PluginUses() { release(); }
  PluginUses(PluginUses&& other) noexcept : used_(std::move(other.used_)) { other.used_.clear(); }
  PluginUses& operator=(PluginUses&& other) noexcept;
  PluginUses(const PluginUses&) = delete;
  PluginUses& operator=(const PluginUses&) = delete;
  void release();

private:
  std::vector<int> used_;
};

} // namespace km
