// The plug-ins' pages: an enabled plug-in that exports renderPluginPage shows a
// page of its own among the program's pages, standing in for its window.
//
// State: none of its own; the plug-ins are used through the current snapshot.
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"

namespace km {

struct PluginPage {
  size_t position = 0; // in the snapshot's enabled list
  std::string name;
  std::string displayName;
};

// The enabled plug-ins of the snapshot that have a page, in their order.
std::vector<PluginPage> pluginPages(const Config& config);

// The page of the enabled plug-in at that position, as the plug-in renders it now;
// nothing when it has none.
std::optional<std::string> renderPluginPage(const Config& config, size_t position);

} // namespace km
