#include "ui/plugin_pages.h"

#include "config/plugin_table.h"

namespace km {

namespace {

constexpr int32_t kFirstPageBuffer = 16 * 1024;
constexpr int32_t kLargestPage = 1024 * 1024;
constexpr const char* kRenderExport = "renderPluginPage";

} // namespace

std::vector<PluginPage> pluginPages(const Config& config) {
  std::vector<PluginPage> pages;
  PluginUses uses(config); // the libraries stay loaded while their exports are looked at
  for (size_t i = 0; i < config.enabledPlugins.size(); ++i) {
    int index = config.enabledPlugins[i].installedIndex;
    if (index >= 0 && FindExport(index, kRenderExport)) {
      std::string name = installedPluginName(index);
      pages.push_back({i, name, PluginDisplayName(name)});
    }
  }
  return pages;
}

std::optional<std::string> renderPluginPage(const Config& config, size_t position) {
  if (position >= config.enabledPlugins.size()) {
    return std::nullopt;
  }
  const EnabledPlugin& plugin = config.enabledPlugins[position];
  if (plugin.installedIndex < 0) {
    return std::nullopt;
  }
  PluginUses uses(config);
  auto render =
      reinterpret_cast<KmRenderPluginPage>(FindExport(plugin.installedIndex, kRenderExport));
  if (!render) {
    return std::nullopt;
  }
  KmPluginData data = pluginDataOf(plugin);
  std::string html(static_cast<size_t>(kFirstPageBuffer), '\0');
  for (;;) {
    int32_t length;
    {
      PluginCallScope call(plugin.installedIndex, kRenderExport);
      length = render(data, html.data(), static_cast<int32_t>(html.size()));
    }
    if (length < 0) {
      return std::nullopt;
    }
    if (length < static_cast<int32_t>(html.size())) {
      html.resize(static_cast<size_t>(length));
      return html;
    }
    if (length >= kLargestPage) {
      return std::nullopt;
    }
    html.assign(static_cast<size_t>(length) + 1, '\0');
  }
}

} // namespace km
