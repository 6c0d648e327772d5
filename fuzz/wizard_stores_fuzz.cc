// The setup wizard's readers of the mail clients' stores (Wine's user.reg, INI
// files, prefs.js) and its address scanner. Every reader must give back the very
// bytes it read, and a value written and written back must leave them so too.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wizard/address_scan.h"
#include "wizard/ini_file.h"
#include "wizard/prefs_js.h"
#include "wizard/wine_registry.h"

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  km::RegistryFile registry = km::parseRegistry(text);
  check(km::formatRegistry(registry) == text);
  for (const km::RegistryLine& line : registry.lines) {
    if (line.kind != km::RegistryLineKind::Value) {
      continue;
    }
    if (std::optional<km::RegistryData> value = km::registryValue(registry, line.key, line.name)) {
      km::registryText(*value);
      km::RegistryFile changed = registry;
      km::setRegistryValue(changed, line.key, line.name, km::registryDword(1110));
      km::setRegistryValue(changed, line.key, line.name, *value);
      check(km::registryValue(changed, line.key, line.name) == value);
    }
  }

  km::IniFile ini = km::parseIni(text);
  check(km::formatIni(ini) == text);
  for (const std::string& section : km::iniSections(ini)) {
    for (const std::string& key : km::iniKeys(ini, section)) {
      std::optional<std::string> value = km::iniValue(ini, section, key);
      km::setIniValue(ini, section, key, "localhost");
      check(km::iniValue(ini, section, key) == "localhost");
      km::setIniValue(ini, section, key, *value);
    }
  }

  km::PrefsFile prefs = km::parsePrefs(text);
  check(km::formatPrefs(prefs) == text);
  for (const std::string& name : km::prefNames(prefs, "")) {
    km::setPrefString(prefs, name, "a\"b\\c");
    check(km::prefValue(prefs, name) == "a\"b\\c");
  }

  for (const std::string& address : km::scanAddressesInBinary(text)) {
    check(address.find('@') != std::string::npos);
  }
  return 0;
}
