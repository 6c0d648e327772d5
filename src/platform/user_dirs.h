// The user's own folders.
#pragma once

#include <optional>
#include <string>

namespace km {

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config, ending
// in "/"; nothing when neither variable names a folder.
std::optional<std::string> userConfigFolder();

// The value of an environment variable; nothing when it is unset or empty.
std::optional<std::string> environmentValue(const char* name);

} // namespace km
