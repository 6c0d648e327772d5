#include "platform/user_dirs.h"

#include <cstdlib>

namespace km {

std::optional<std::string> userConfigFolder() {
  std::string folder;
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  // Only an absolute path counts, as the XDG rules say.
  if (configHome != nullptr && configHome[0] == '/') {
    folder = configHome;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
      return std::nullopt;
    }
    folder = home;
    if (folder.back() != '/') {
      folder += '/';
    }
    folder += ".config";
  }
  if (folder.back() != '/') {
    folder += '/';
  }
  return folder;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    return std::nullopt;
  }
  return std::string(value);
}

} // namespace km
