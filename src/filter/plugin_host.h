// The installed plug-ins as the configuration sees them: names, display names and
// versions. Discovery and loading of plug-in libraries belong to the plug-in host;
// until it finds any, no plug-in is installed and every ENABLED_PLUGIN line names an
// unknown plug-in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace km {

// Names of the installed plug-ins, in table order; an index is a position here.
std::vector<std::string> installedPluginNames();
// Index of the installed plug-in of that name (ignoring case), or -1.
int findInstalledPlugin(std::string_view name);
// The plug-in's own display name, or "(Unnamed plugin)".
std::string PluginDisplayName(std::string_view name);
// The plug-in's version number; 0 without one, -1 when no plug-in has that name.
double PluginVersion(std::string_view name);

}  // namespace km
