#include "filter/plugin_host.h"

#include "config/config.h"
#include "platform/text.h"

namespace km {

namespace {

// The process-wide plug-in table; it only grows, under the configuration lock.
struct InstalledPlugin {
  std::string name;
  std::string displayName;
  double version = 0;
};

std::vector<InstalledPlugin>& pluginTable() {
  static std::vector<InstalledPlugin> table;
  return table;
}

}  // namespace

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

std::string PluginDisplayName(std::string_view name) {
  int index = findInstalledPlugin(name);
  if (index < 0 || pluginTable()[static_cast<size_t>(index)].displayName.empty()) {
    return "(Unnamed plugin)";
  }
  return pluginTable()[static_cast<size_t>(index)].displayName;
}

double PluginVersion(std::string_view name) {
  int index = findInstalledPlugin(name);
  return index < 0 ? -1 : pluginTable()[static_cast<size_t>(index)].version;
}

}  // namespace km
