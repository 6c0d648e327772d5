#include "config/plugin_table.h"

#include "config/config.h"
#include "platform/text.h"

namespace km {

namespace {

// The process-wide plug-in table; it only grows, under the configuration lock.
struct InstalledPlugin {
  std::string name;
  std::string displayName;
  double version = 0;
  bool disabled = false;
  PluginExportFinder finder;
};

std::vector<InstalledPlugin>& pluginTable() {
  static std::vector<InstalledPlugin> table;
  return table;
}

InstalledPlugin* installedPlugin(int index) {
  auto& table = pluginTable();
  return index >= 0 && static_cast<size_t>(index) < table.size()
             ? &table[static_cast<size_t>(index)]
             : nullptr;
}

} // namespace

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

std::string PluginDisplayName(std::string_view name) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(findInstalledPlugin(name));
  if (plugin == nullptr || plugin->displayName.empty()) {
    return "(Unnamed plugin)";
  }
  return plugin->displayName;
}

double PluginVersion(std::string_view name) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(findInstalledPlugin(name));
  return plugin == nullptr ? -1 : plugin->version;
}

int addInstalledPlugin(std::string name, PluginExportFinder finder) {
  RecursiveGuard guard(configLock());
  int existing = findInstalledPlugin(name);
  if (existing >= 0) {
    return existing;
  }
  InstalledPlugin plugin;
  plugin.name = std::move(name);
  plugin.finder = std::move(finder);
  auto& table = pluginTable();
  table.push_back(std::move(plugin));
  return static_cast<int>(table.size() - 1);
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

void* FindExport(int installedIndex, std::string_view name) {
  RecursiveGuard guard(configLock());
  InstalledPlugin* plugin = installedPlugin(installedIndex);
  if (plugin == nullptr || plugin->disabled || !plugin->finder) {
    return nullptr;
  }
  std::string exact(name);
  if (void* found = plugin->finder(exact.c_str())) {
    return found;
  }
  if (!exact.empty() && exact[0] != '_') {
    return plugin->finder(("_" + exact).c_str());
  }
  return nullptr;
}

} // namespace km
