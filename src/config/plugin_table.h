// The table of installed plug-ins as the configuration and the filters see them:
// names, display names, versions and their exports. The configuration names them
// in its ENABLED_PLUGIN lines; discovery and loading of plug-in libraries belong
// to the plug-in host above, and until it finds any, no plug-in is installed and
// every ENABLED_PLUGIN line names an unknown plug-in.
//
// The table only grows, under the configuration lock; every function here may be
// called from any thread.
#pragma once

#include <kestrelmail/plugin.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

// Names of the installed plug-ins, in table order; an index is a position here.
std::vector<std::string> installedPluginNames();
// Index of the installed plug-in of that name (ignoring case), or -1.
int findInstalledPlugin(std::string_view name);
// The file name (without extension) of an installed plug-in; empty for a bad index.
std::string installedPluginName(int installedIndex);
// The plug-in's own display name, or "(Unnamed plugin)".
std::string PluginDisplayName(std::string_view name);
// The plug-in's version number; 0 without one, -1 when no plug-in has that name.
double PluginVersion(std::string_view name);

// Finds an export of a plug-in library by its exact name, or null.
using PluginExportFinder = std::function<void*(const char* name)>;

// Adds a plug-in to the installed table unless one of that name (ignoring case) is
// there; returns its index either way. Discovery adds each library it finds with a
// finder that looks into the loaded library.
int addInstalledPlugin(std::string name, PluginExportFinder finder);

// Marks a plug-in that refused the host version or could not be loaded; every
// call site skips it from then on.
void disablePlugin(int installedIndex);
bool pluginDisabled(int installedIndex);

// The export of that name, or failing that the same name with a leading "_";
// null when the plug-in is disabled, not loaded or lacks the export.
void* FindExport(int installedIndex, std::string_view name);

} // namespace km
