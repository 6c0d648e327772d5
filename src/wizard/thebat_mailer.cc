// The Bat!: its address books. Its accounts live in a binary file whose layout is
// not known here well enough to rewrite it safely, so the client lists no accounts
// and never has one changed.
#include "platform/files.h"
#include "platform/text.h"
#include "wizard/address_scan.h"
#include "wizard/ini_file.h"
#include "wizard/mailers_internal.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

constexpr const char* kTheBatKey = "Software\\RIT\\The Bat!";

class TheBatMailer : public Mailer {
public:
  explicit TheBatMailer(const MailerEnvironment& environment)
      : Mailer("thebat.exe", "The Bat", environment) {}

  bool usesWineRegistry() const override { return true; }

  void FindAccount() override {}

  bool SetAccount(const MailAccount&, std::string& error) override {
    error = "The Bat! accounts cannot be changed by this wizard";
    return false;
  }

  // The address books ADDRBOOK.INI names ("Address Book 1", ... in its "Profile"
  // section): every address-shaped text in those files, or in the files of a
  // book that is a folder.
  std::vector<std::string> GetAddressBookEmails() override {
    std::vector<std::string> found;
    std::optional<RegistryFile> registry = loadUserRegistry(environment().winePrefix);
    const RegistryFile* reg = registry ? &*registry : nullptr;
    std::string folder = workingDirectory(reg);
    std::optional<std::string> text = readWholeFile(resolveIgnoringCase(folder, "ADDRBOOK.INI"));
    if (!text) {
      return found;
    }
    IniFile ini = parseIni(*text);
    for (const std::string& key : iniKeys(ini, "Profile")) {
      if (!startsWithIgnoreCase(key, "Address Book") || equalsIgnoreCase(key, "Address Books")) {
        continue;
      }
      std::string name = iniValue(ini, "Profile", key).value_or("");
      if (name.empty()) {
        continue;
      }
      std::string path = name.size() > 2 && name[1] == ':'
                             ? linuxPathOfWindowsPath(environment().winePrefix, reg, name)
                             : resolveIgnoringCase(folder, name);
      std::vector<std::string> files = {path};
      if (directoryExists(path)) {
        files.clear();
        for (const std::string& entry : listDirectory(path, "")) {
          files.push_back(path + "/" + entry);
        }
      }
      for (const std::string& file : files) {
        if (std::optional<std::string> bytes = readWholeFile(file)) {
          mergeAddresses(found, scanAddresses(*bytes));
        }
      }
    }
    return found;
  }

private:
  // The registered working directory, else BatMail in the user's AppData folder.
  std::string workingDirectory(const RegistryFile* registry) const {
    if (registry != nullptr) {
      if (std::optional<RegistryData> data =
              registryValue(*registry, kTheBatKey, "Working Directory")) {
        std::string path = linuxPathOfWindowsPath(environment().winePrefix, registry,
                                                  registryText(*data).value_or(""));
        if (!path.empty()) {
          return path;
        }
      }
    }
    return resolveIgnoringCase(shellFolder(environment().winePrefix, registry, "AppData"),
                               "BatMail");
  }
};

} // namespace

std::unique_ptr<Mailer> makeTheBatMailer(const MailerEnvironment& environment) {
  return std::make_unique<TheBatMailer>(environment);
}

} // namespace km
