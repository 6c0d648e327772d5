// Eudora: its data folder from the registry, the personalities in Eudora.ini, and
// the nickname file as its address book.
#include "config/lists.h"
#include "platform/files.h"
#include "platform/text.h"
#include "wizard/address_scan.h"
#include "wizard/ini_file.h"
#include "wizard/mailers_internal.h"
#include "wizard/wine_prefix.h"

namespace km {

namespace {

constexpr const char* kEudoraKey = "Software\\Qualcomm\\Eudora";
constexpr const char* kDominantSection = "Settings";

std::string_view trimmedBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '"')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '"')) {
    text.remove_suffix(1);
  }
  return text;
}

} // namespace

// Eudora's command line names the program, its data folder and its INI file, each a
// Windows path that may hold blanks and may be quoted:
//   C:\Program Files\Eudora\Eudora.exe C:\Mail\Eudora C:\Mail\Eudora\Eudora.ini
// The data folder is what stands between the program and the INI file (or after
// the program when no INI file is named); a path starts at a drive letter.
std::string eudoraDataFolder(std::string_view commandLine) {
  std::string lower = toLowerAscii(commandLine);
  size_t exe = lower.find(".exe");
  if (exe == std::string::npos) {
    return {};
  }
  std::string_view rest = commandLine.substr(exe + 4);
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
  }
  rest = trimmedBlanks(rest);
  if (!toLowerAscii(rest).ends_with(".ini")) {
    return std::string(rest);
  }
  // The INI path starts at the last drive letter that follows a blank.
  std::string_view iniPath = rest;
  std::string_view folder;
  for (size_t at = rest.size(); at-- > 1;) {
    std::string_view candidate = trimmedBlanks(rest.substr(at));
    if ((rest[at - 1] == ' ' || rest[at - 1] == '"') && candidate.size() > 2 &&
        candidate[1] == ':') {
      iniPath = candidate;
      folder = trimmedBlanks(rest.substr(0, at));
      break;
    }
  }
  if (folder.empty()) {
    folder = iniPath.substr(
        0, iniPath.find_last_of('\\') == std::string_view::npos ? 0 : iniPath.find_last_of('\\'));
  }
  return std::string(folder);
}

namespace {

class EudoraMailer : public Mailer {
public:
  explicit EudoraMailer(const MailerEnvironment& environment)
      : Mailer("Eudora.exe", "Eudora", environment) {}

  bool usesWineRegistry() const override { return true; }

  void FindAccount() override {
    std::string folder = dataFolder();
    if (folder.empty()) {
      return;
    }
    std::string iniPath = resolveIgnoringCase(folder, "Eudora.ini");
    std::optional<std::string> text = readWholeFile(iniPath);
    if (!text) {
      return;
    }
    IniFile ini = parseIni(*text);
    std::vector<std::string> sections = {kDominantSection};
    for (const std::string& key : iniKeys(ini, "Personalities")) {
      if (startsWithIgnoreCase(key, "Persona")) {
        std::string name = iniValue(ini, "Personalities", key).value_or("");
        if (!name.empty()) {
          sections.push_back("Persona-" + name);
        }
      }
    }
    for (const std::string& section : sections) {
      MailAccount account;
      account.location = iniPath;
      account.extra = section;
      account.accountName = iniValue(ini, section, "RealName").value_or("");
      account.pop3Server = iniValue(ini, section, "PopServer").value_or("");
      account.smtpServer = iniValue(ini, section, "SMTPServer").value_or("");
      account.userName = iniValue(ini, section, "LoginName").value_or("");
      std::optional<std::string> port = iniValue(ini, section, "SMTPPort");
      account.smtpPortAbsent = !port;
      account.smtpPort = port ? readInt(*port) : 25;
      addFoundAccount(std::move(account));
    }
  }

  bool SetAccount(const MailAccount& account, std::string& error) override {
    std::optional<std::string> text = readWholeFile(account.location);
    if (!text) {
      error = "Cannot read " + account.location;
      return false;
    }
    IniFile ini = parseIni(*text);
    const std::string& section = account.extra;
    bool known = false;
    for (const std::string& name : iniSections(ini)) {
      known = known || equalsIgnoreCase(name, section);
    }
    if (!known) {
      error = "Eudora.ini has no section " + section;
      return false;
    }
    setIniValue(ini, section, "PopServer", account.pop3Server);
    setIniValue(ini, section, "SMTPServer", account.smtpServer);
    setIniValue(ini, section, "LoginName", account.userName);
    if (account.smtpPortAbsent) {
      removeIniValue(ini, section, "SMTPPort");
    } else {
      setIniValue(ini, section, "SMTPPort", std::to_string(account.smtpPort));
    }
    std::string changed = formatIni(ini);
    if (changed != *text && !replaceFileContents(account.location, changed)) {
      error = writeErrorText(account.location);
      return false;
    }
    return true;
  }

  // Nickname lines: "alias <nickname> <address>, <address>...", the nickname
  // quoted when it holds blanks; entries without "@" name other nicknames.
  std::vector<std::string> GetAddressBookEmails() override {
    std::vector<std::string> found;
    std::string folder = dataFolder();
    if (folder.empty()) {
      return found;
    }
    std::optional<std::string> text = readWholeFile(resolveIgnoringCase(folder, "nndbase.txt"));
    if (!text) {
      return found;
    }
    for (size_t pos = 0; pos < text->size();) {
      size_t end = text->find_first_of("\r\n", pos);
      end = end == std::string::npos ? text->size() : end;
      std::string_view line = std::string_view(*text).substr(pos, end - pos);
      pos = end + 1;
      if (!startsWithIgnoreCase(line, "alias ")) {
        continue;
      }
      line.remove_prefix(6);
      while (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
      }
      size_t nicknameEnd = line.starts_with("\"") ? line.find('"', 1) : line.find(' ');
      if (nicknameEnd == std::string_view::npos) {
        continue;
      }
      std::string_view addresses = line.substr(nicknameEnd + 1);
      while (!addresses.empty()) {
        size_t comma = addresses.find(',');
        std::string_view part = addresses.substr(0, comma);
        addresses =
            comma == std::string_view::npos ? std::string_view() : addresses.substr(comma + 1);
        std::string address;
        if (part.find('@') != std::string_view::npos && ParseListAddress(part, address)) {
          mergeAddresses(found, {address});
        }
      }
    }
    return found;
  }

private:
  std::string dataFolder() const {
    std::optional<RegistryFile> registry = loadUserRegistry(environment().winePrefix);
    if (!registry) {
      return {};
    }
    std::optional<RegistryData> commandLine = registryValue(*registry, kEudoraKey, "CommandLine");
    std::optional<std::string> text = commandLine ? registryText(*commandLine) : std::nullopt;
    if (!text) {
      return {};
    }
    std::string folder = eudoraDataFolder(*text);
    return folder.empty() ? std::string()
                          : linuxPathOfWindowsPath(environment().winePrefix, &*registry, folder);
  }
};

} // namespace

std::unique_ptr<Mailer> makeEudoraMailer(const MailerEnvironment& environment) {
  return std::make_unique<EudoraMailer>(environment);
}

} // namespace km
