#include "platform/data_path.h"

#include <mutex>

#include "platform/files.h"
#include "platform/user_dirs.h"

namespace km {

namespace {

std::mutex directoryLock;
std::string directory; // decided once, ends in "/"

std::string withFinalSlash(std::string path) {
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  return path;
}

std::string decideDirectory(const std::optional<std::string>& commandLineDirectory) {
  if (commandLineDirectory) {
    return withFinalSlash(*commandLineDirectory);
  }
  // The user's configuration folder is created when missing, as a new account
  // may not have one yet.
  if (std::optional<std::string> folder = userConfigFolder()) {
    std::string withoutSlash = folder->substr(0, folder->size() - 1);
    if (directoryExists(withoutSlash) || createDirectory(withoutSlash)) {
      return *folder + "Kestrelmail/";
    }
  }
  return executableDirectory() + "config/";
}

} // namespace

void chooseDataDirectory(const std::optional<std::string>& commandLineDirectory, bool force) {
  std::lock_guard lock(directoryLock);
  if (directory.empty() || force) {
    directory = decideDirectory(commandLineDirectory);
  }
}

std::string dataPath(std::string_view name) {
  std::lock_guard lock(directoryLock);
  if (directory.empty()) {
    directory = decideDirectory(std::nullopt);
  }
  return directory + std::string(name);
}

} // namespace km
