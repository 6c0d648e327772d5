#include "config/plugin_table.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <optional>

#include "config/config_internal.h"
#include "diag/activity_log.h"
#include "diag/error_report.h"
#include "platform/data_path.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/thread_records.h"

namespace km {

namespace {

constexpr std::string_view kLibrarySuffix = ".so";
constexpr const char* kUnnamedPlugin = "(Unnamed plugin)";
// The installed place, from the program's own folder (bin/).
constexpr const char* kInstalledPluginFolder = "../lib/kestrelmail/plugins/";
// Capability words of a plug-in that does not say.
constexpr std::array<uint32_t, 5> kDefaultCapabilities = {3, 3, 0, 0, 0};

struct InstalledPlugin {
  std::string name;
  std::string path;          // empty for a plug-in of this program's functions
  PluginExportFinder finder; // the exports of such a plug-in
  DynamicLibrary library;
  bool disabled = false;
  bool versionChecked = false; // at the first load
  int useCount = 0;
  // Read once from the plug-in, which does not change while the program runs.
  std::optional<std::string> displayName;
  std::optional<std::string> versionText;
};

// The process-wide table; it only grows, under the configuration lock. Entries
// never move (their libraries stay where they were loaded).
std::deque<InstalledPlugin>& pluginTable() {
  static std::deque<InstalledPlugin> table;
  return table;
}

InstalledPlugin* installedPlugin(int index) {
  auto& table = pluginTable();
  return index >= 0 && static_cast<size_t>(index) < table.size()
             ? &table[static_cast<size_t>(index)]
             : nullptr;
}

bool isLoaded(const InstalledPlugin& plugin) {
  return plugin.finder ? true : plugin.library.loaded();
}

void* exactExport(const InstalledPlugin& plugin, const std::string& name) {
  return plugin.finder ? plugin.finder(name.c_str()) : plugin.library.symbol(name.c_str());
}

// The export, or the same name with a leading "_" (older build tools decorate C
// names that way).
void* lookUpExport(const InstalledPlugin& plugin, std::string_view name) {
  std::string exact(name);
  if (void* found = exactExport(plugin, exact)) {
    return found;
  }
  if (!exact.empty() && exact[0] != '_') {
    return exactExport(plugin, "_" + exact);
  }
  return nullptr;
}

void tellPluginSwitchedOff(const InstalledPlugin& plugin, int textId, std::string_view detail) {
  std::string text = formatText(languageText(textId), {plugin.name, plugin.path, detail});
  logGlobalText(LogLevel::Minimal, textId, {plugin.name, plugin.path, detail});
  tellUser(languageText(kTextNoticeTitle), text, NoticeIcon::Exclamation);
}

// Loads the library; the first load asks whether it works with this host.
void loadLibrary(int index, InstalledPlugin& plugin) {
  std::string error;
  if (!plugin.library.load(plugin.path, error)) {
    plugin.disabled = true;
    tellPluginSwitchedOff(plugin, kTextPluginNotLoaded, error);
    return;
  }
  if (plugin.versionChecked) {
    return;
  }
  plugin.versionChecked = true;
  auto check =
      reinterpret_cast<KmCheckKestrelmailVersion>(lookUpExport(plugin, "checkKestrelmailVersion"));
  if (check == nullptr) {
    return;
  }
  int32_t answer;
  {
    PluginCallScope scope(index, "checkKestrelmailVersion");
    answer = check(KM_HOST_INTERFACE_VERSION);
  }
  if (answer == 0) {
    plugin.disabled = true;
    plugin.library.unload();
    tellPluginSwitchedOff(plugin, kTextPluginRefusedVersion, KM_HOST_INTERFACE_VERSION);
  }
}

bool enabledInCurrentConfig(int index) {
  ConfigRef current = AcquireConfig();
  return current &&
         std::any_of(current->enabledPlugins.begin(), current->enabledPlugins.end(),
                     [index](const EnabledPlugin& p) { return p.installedIndex == index; });
}

// A text export of the plug-in, with the library loaded for the question.
std::string askPluginText(int index, const char* exportName) {
  std::string text;
  if (UsePlugin(index)) {
    if (auto get = reinterpret_cast<KmGetPluginText>(FindExport(index, exportName))) {
      PluginCallScope scope(index, exportName);
      if (const char* answer = get()) {
        text = answer;
      }
    }
  }
  UnusePlugin(index);
  return text;
}

int compareIgnoringCase(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) {
      return x < y ? -1 : 1;
    }
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string folderWithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') {
    folder += '/';
  }
  return folder;
}

} // namespace

// --- Discovery ---

std::vector<std::string> pluginFolders() {
  std::vector<std::string> folders;
  std::vector<std::string> seen;
  for (const std::string& folder :
       {executableDirectory() + "plugins/", executableDirectory() + kInstalledPluginFolder}) {
    if (!directoryExists(folder)) {
      continue;
    }
    std::string identity = canonicalPath(folder);
    if (std::find(seen.begin(), seen.end(), identity) == seen.end()) {
      seen.push_back(identity);
      folders.push_back(folder);
    }
  }
  return folders;
}

void DiscoverPlugins() {
  for (const std::string& folder : pluginFolders()) {
    discoverPluginsIn(folder);
  }
}

void discoverPluginsIn(const std::string& folder) {
  RecursiveGuard guard(configLock());
  std::string base = folderWithSlash(folder);
  for (const std::string& sub : listEntriesOfKind(base, EntryKind::Folder)) {
    if (sub.starts_with(".")) {
      continue;
    }
    std::string subFolder = base + sub + "/";
    for (const std::string& file : listEntriesOfKind(subFolder, EntryKind::RegularFile)) {
      if (!file.ends_with(kLibrarySuffix)) {
        continue;
      }
      std::string name = file.substr(0, file.rfind('.'));
      if (name.empty() || findInstalledPlugin(name) >= 0) {
        continue;
      }
      InstalledPlugin& plugin = pluginTable().emplace_back();
      plugin.name = std::move(name);
      plugin.path = subFolder + file;
    }
  }
}

// --- The table ---

std::vector<std::string> installedPluginNames() {
  RecursiveGuard guard(configLock());
  std::vector<std::string> names;
  for (const InstalledPlugin& plugin : pluginTable()) {
    names.push_back(plugin.name);
  }
  return names;
}

int findInstalledPlugin(std::string_view name) {
  RecursiveGuard guard(configLock());
  const auto& table = pluginTable();
  for (size_t i = 0; i < table.size(); ++i) {
    if (equalsIgnoreCase(table[i].name, name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string installedPluginName(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  return plugin == nullptr ? std::string() : plugin->name;
}

std::string installedPluginPath(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  return plugin == nullptr ? std::string() : plugin->path;
}

int addInstalledPlugin(std::string name, PluginExportFinder finder) {
  RecursiveGuard guard(configLock());
  int existing = findInstalledPlugin(name);
  if (existing >= 0) {
    return existing;
  }
  InstalledPlugin& plugin = pluginTable().emplace_back();
  plugin.name = std::move(name);
  plugin.finder = std::move(finder);
  return static_cast<int>(pluginTable().size() - 1);
}

void disablePlugin(int installedIndex) {
  RecursiveGuard guard(configLock());
  if (InstalledPlugin* plugin = installedPlugin(installedIndex)) {
    plugin->disabled = true;
  }
}

bool pluginDisabled(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  return plugin == nullptr || plugin->disabled;
}

bool pluginLoaded(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  return plugin != nullptr && isLoaded(*plugin);
}

int pluginUseCount(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  return plugin == nullptr ? 0 : plugin->useCount;
}

bool UsePlugin(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  if (plugin == nullptr) {
    return false;
  }
  ++plugin->useCount;
  if (!plugin->disabled && !isLoaded(*plugin)) {
    loadLibrary(installedIndex, *plugin);
  }
  if (!plugin->disabled && plugin->finder && !plugin->versionChecked) {
    plugin->versionChecked = true;
    auto check = reinterpret_cast<KmCheckKestrelmailVersion>(
        lookUpExport(*plugin, "checkKestrelmailVersion"));
    if (check != nullptr) {
      PluginCallScope scope(installedIndex, "checkKestrelmailVersion");
      plugin->disabled = check(KM_HOST_INTERFACE_VERSION) == 0;
    }
  }
  return !plugin->disabled && isLoaded(*plugin);
}

void UnusePlugin(int installedIndex) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  if (plugin == nullptr) {
    return;
  }
  plugin->useCount = std::max(plugin->useCount - 1, 0);
  if (plugin->useCount == 0 && plugin->library.loaded() &&
      !enabledInCurrentConfig(installedIndex)) {
    plugin->library.unload();
  }
}

void* FindExport(int installedIndex, std::string_view name) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  if (plugin == nullptr || plugin->disabled || !isLoaded(*plugin)) {
    return nullptr;
  }
  return lookUpExport(*plugin, name);
}

std::string pluginConfigFolder(std::string_view name) {
  return dataPath("plugins/" + std::string(name) + "/");
}

KmPluginData LoadPluginConfig(int installedIndex) {
  auto load = reinterpret_cast<KmLoadConfig>(FindExport(installedIndex, "loadConfig"));
  if (load == nullptr) {
    return nullptr;
  }
  std::string folder = pluginConfigFolder(installedPluginName(installedIndex));
  // The data directory's plugins/ folder is made at start-up; it is made again
  // here when it was removed since.
  std::string parent = dataPath("plugins/");
  if (!directoryExists(parent)) {
    createDirectory(parent);
  }
  if (!directoryExists(folder) && !createDirectory(folder)) {
    reportSystemError(folder, nullptr);
    return nullptr;
  }
  PluginCallScope scope(installedIndex, "loadConfig");
  return load(folder.c_str());
}

void ReleasePluginConfig(int installedIndex, KmPluginData data) {
  if (auto release =
          reinterpret_cast<KmReleaseConfig>(FindExport(installedIndex, "releaseConfig"))) {
    PluginCallScope scope(installedIndex, "releaseConfig");
    release(data);
  }
}

std::string PluginDisplayName(std::string_view name) {
  RecursiveGuard guard(configLock());
  int index = findInstalledPlugin(name);
  InstalledPlugin* plugin = installedPlugin(index);
  if (plugin == nullptr) {
    return kUnnamedPlugin;
  }
  if (!plugin->displayName) {
    plugin->displayName = askPluginText(index, "getPluginName");
  }
  return plugin->displayName->empty() ? kUnnamedPlugin : *plugin->displayName;
}

namespace {

// The plug-in's version text ("" without the export), read once.
std::optional<std::string> versionTextOf(std::string_view name) {
  RecursiveGuard guard(configLock());
  int index = findInstalledPlugin(name);
  InstalledPlugin* plugin = installedPlugin(index);
  if (plugin == nullptr) {
    return std::nullopt;
  }
  if (!plugin->versionText) {
    plugin->versionText = askPluginText(index, "getPluginVersion");
  }
  return plugin->versionText;
}

} // namespace

double PluginVersion(std::string_view name) {
  std::optional<std::string> text = versionTextOf(name);
  return text ? readDouble(*text) : -1;
}

bool PluginOlderThan(std::string_view name, std::string_view offeredVersion) {
  std::optional<std::string> own = versionTextOf(name);
  if (!own) {
    return false;
  }
  double installed = readDouble(*own);
  double offered = readDouble(offeredVersion);
  return offered > installed ||
         (offered == installed && compareIgnoringCase(offeredVersion, *own) > 0);
}

void unloadPlugins() {
  RecursiveGuard guard(configLock());
  for (InstalledPlugin& plugin : pluginTable()) {
    plugin.library.unload();
    plugin.useCount = 0;
  }
}

PluginCallScope::PluginCallScope(int installedIndex, std::string_view function)
    : plugin_(installedPluginName(installedIndex)), function_(function) {
  enterPluginCall(plugin_, function_);
}

PluginCallScope::~PluginCallScope() {
  leavePluginCall(plugin_, function_);
}

// --- Per snapshot ---

namespace {

std::array<uint32_t, 5> askCapabilities(int installedIndex, KmPluginData data) {
  auto get = reinterpret_cast<KmGetPluginCapabilities>(
      FindExport(installedIndex, "getPluginCapabilities"));
  if (get == nullptr) {
    return kDefaultCapabilities;
  }
  std::array<uint32_t, 5> words{};
  PluginCallScope scope(installedIndex, "getPluginCapabilities");
  get(data, words.data());
  return words;
}

} // namespace

PluginSnapshotState::~PluginSnapshotState() {
  // The snapshot's use keeps the library loaded until its data is handed back.
  if (dataLoaded_) {
    ReleasePluginConfig(installedIndex_, data_);
  }
  if (holdsUse_) {
    UnusePlugin(installedIndex_);
  }
}

void PluginSnapshotState::prepare() {
  if (prepared()) {
    return;
  }
  RecursiveGuard guard(configLock());
  if (prepared()) {
    return;
  }
  if (!holdsUse_) {
    UsePlugin(installedIndex_);
    holdsUse_ = true;
  }
  if (!pluginDisabled(installedIndex_) && !dataLoaded_) {
    data_ = LoadPluginConfig(installedIndex_);
    dataLoaded_ = true;
    std::array<uint32_t, 5> words = askCapabilities(installedIndex_, data_);
    for (size_t i = 0; i < words.size(); ++i) {
      capabilities_[i].store(words[i], std::memory_order_relaxed);
    }
  }
  prepared_.store(true, std::memory_order_release);
}

void PluginSnapshotState::presetData(KmPluginData data) {
  RecursiveGuard guard(configLock());
  data_ = data;
  std::array<uint32_t, 5> words = askCapabilities(installedIndex_, data_);
  for (size_t i = 0; i < words.size(); ++i) {
    capabilities_[i].store(words[i], std::memory_order_relaxed);
  }
  prepared_.store(true, std::memory_order_release);
}

EnabledPlugin enabledPlugin(int installedIndex) {
  return EnabledPlugin{installedIndex, std::make_shared<PluginSnapshotState>(installedIndex)};
}

KmPluginData pluginDataOf(const EnabledPlugin& plugin) {
  if (!plugin.state) {
    return nullptr;
  }
  plugin.state->prepare();
  return plugin.state->data();
}

void PreparePlugins(const Config& config) {
  for (const EnabledPlugin& plugin : config.enabledPlugins) {
    if (plugin.state) {
      plugin.state->prepare();
    }
  }
}

uint32_t pluginCapabilityWord(const Config& config, size_t word) {
  uint32_t combined = 0;
  for (const EnabledPlugin& plugin : config.enabledPlugins) {
    if (plugin.state && plugin.state->prepared()) {
      combined |= plugin.state->capabilityWord(word);
    }
  }
  return combined;
}

PluginUses::PluginUses(const Config& config) {
  RecursiveGuard guard(configLock());
  for (const EnabledPlugin& plugin : config.enabledPlugins) {
    UsePlugin(plugin.installedIndex);
    used_.push_back(plugin.installedIndex);
  }
  PreparePlugins(config);
}

PluginUses& PluginUses::operator=(PluginUses&& other) noexcept {
  if (this != &other) {
    release();
    used_ = std::move(other.used_);
    other.used_.clear();
  }
  return *this;
}

void PluginUses::release() {
  if (used_.empty()) {
    return;
  }
  RecursiveGuard guard(configLock());
  for (int index : used_) {
    UnusePlugin(index);
  }
  used_.clear();
}

} // namespace km
