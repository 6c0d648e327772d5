// The files a plug-in keeps in its configuration folder.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mailtext.h"

namespace mailtext {

namespace {

// Reads a whole file; nothing when it is missing, too large or unreadable.
std::optional<std::string> readWholeFile(const std::string& path, std::uintmax_t largest,
                                         bool& exists) {
  std::error_code error;
  exists = std::filesystem::exists(path, error);
  std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!exists || error || size > largest) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (!in) {
    return std::nullopt;
  }
  return std::move(buffer).str();
}

bool writeWholeFile(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

} // namespace

ConfigFile readConfigFile(const std::string& folder, std::string_view name,
                          std::string_view shipped, std::uintmax_t largest) {
  std::string path = folder + std::string(name);
  bool exists = false;
  if (std::optional<std::string> text = readWholeFile(path, largest, exists)) {
    return {ConfigFileState::Read, std::move(*text)};
  }
  if (exists) {
    return {ConfigFileState::Unreadable, {}};
  }
  bool written = writeWholeFile(path, shipped);
  return {written ? ConfigFileState::Written : ConfigFileState::Unwritable, std::string(shipped)};
}

bool hostVersionAccepted(const char* hostVersion) {
  double version = hostVersion != nullptr ? std::strtod(hostVersion, nullptr) : 0;
  return version >= 1.53 && version < 2;
}

} // namespace mailtext
