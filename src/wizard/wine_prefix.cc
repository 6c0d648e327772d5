#include "wizard/wine_prefix.h"

#include <optional>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/user_dirs.h"

namespace km {

namespace {

constexpr const char* kShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// The user's folder under drive_c/users: the login name when Wine made one for it,
// else the first one that is not the shared "Public".
std::string wineUserName(const std::string& winePrefix) {
  std::optional<std::string> user = environmentValue("USER");
  std::string users = winePrefix + "drive_c/users/";
  if (user && directoryExists(users + *user)) {
    return *user;
  }
  for (const std::string& name : listDirectory(users, "")) {
    if (!equalsIgnoreCase(name, "Public") && directoryExists(users + name)) {
      return name;
    }
  }
  return user.value_or("user");
}

// The Windows path of a shell folder: the registry's, else Wine's usual one.
std::string windowsShellFolder(const std::string& winePrefix, const RegistryFile* registry,
                               std::string_view name) {
  if (registry != nullptr) {
    if (std::optional<RegistryData> data = registryValue(*registry, kShellFoldersKey, name)) {
      if (std::optional<std::string> text = registryText(*data); text && !text->empty()) {
        return *text;
      }
    }
  }
  std::string base = "C:\\users\\" + wineUserName(winePrefix);
  if (equalsIgnoreCase(name, "AppData")) {
    return base + "\\AppData\\Roaming";
  }
  if (equalsIgnoreCase(name, "Local AppData")) {
    return base + "\\AppData\\Local";
  }
  return base;
}

std::string expandVariables(const std::string& winePrefix, const RegistryFile* registry,
                            std::string_view path) {
  struct Variable {
    const char* name;
    const char* shellFolder;
  };
  static constexpr Variable kVariables[] = {
      {"%APPDATA%", "AppData"},
      {"%LOCALAPPDATA%", "Local AppData"},
      {"%USERPROFILE%", ""},
  };
  std::string out(path);
  for (const Variable& variable : kVariables) {
    std::string_view name = variable.name;
    if (startsWithIgnoreCase(out, name)) {
      out =
          windowsShellFolder(winePrefix, registry, variable.shellFolder) + out.substr(name.size());
    }
  }
  return out;
}

} // namespace

std::optional<RegistryFile> loadUserRegistry(const std::string& winePrefix) {
  std::optional<std::string> text = readWholeFile(winePrefix + "user.reg");
  if (!text) {
    return std::nullopt;
  }
  return parseRegistry(*text);
}

bool saveUserRegistry(const std::string& winePrefix, const RegistryFile& registry,
                      std::string& error) {
  std::string path = winePrefix + "user.reg";
  std::string text = formatRegistry(registry);
  if (readWholeFile(path) == text) {
    return true;
  }
  if (!replaceFileContents(path, text)) {
    error = writeErrorText(path);
    return false;
  }
  return true;
}

std::string resolveIgnoringCase(const std::string& folder, std::string_view relative) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  bool resolving = true;
  size_t pos = 0;
  while (pos <= relative.size()) {
    size_t end = relative.find_first_of("/\\", pos);
    if (end == std::string_view::npos) {
      end = relative.size();
    }
    std::string part(relative.substr(pos, end - pos));
    pos = end + 1;
    if (part.empty() || part == ".") {
      if (end == relative.size()) {
        break;
      }
      continue;
    }
    if (resolving && !fileExists(path + part)) {
      resolving = false;
      for (const std::string& name : listDirectory(path, "")) {
        if (equalsIgnoreCase(name, part)) {
          part = name;
          resolving = true;
          break;
        }
      }
    }
    path += part;
    if (end < relative.size()) {
      path += '/';
    }
  }
  return path;
}

std::string linuxPathOfWindowsPath(const std::string& winePrefix, const RegistryFile* registry,
                                   std::string_view windowsPath) {
  std::string path = expandVariables(winePrefix, registry, windowsPath);
  if (path.size() < 3 || path[1] != ':' || (path[2] != '\\' && path[2] != '/')) {
    return {};
  }
  std::string drive = winePrefix + "dosdevices/" + asciiLower(path[0]) + ":";
  if (!directoryExists(drive)) {
    if (asciiLower(path[0]) != 'c') {
      return {};
    }
    drive = winePrefix + "drive_c";
  }
  return resolveIgnoringCase(drive, std::string_view(path).substr(3));
}

std::string shellFolder(const std::string& winePrefix, const RegistryFile* registry,
                        std::string_view name) {
  std::string path =
      linuxPathOfWindowsPath(winePrefix, registry, windowsShellFolder(winePrefix, registry, name));
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  return path;
}

std::string writeErrorText(const std::string& path) {
  return "Cannot write " + path + ": " + errorText(lastErrorNumber());
}

} // namespace km
