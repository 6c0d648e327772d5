#include "config/dnsbl_definitions.h"

#include <cerrno>
#include <optional>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/data_dir.h"
#include "diag/error_report.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kMaxListKey = 7;

struct DefinitionLine {
  std::string_view key;
  std::string_view value;
};

// Splits definition text into its lines: any control byte ends a line, empty lines
// vanish, and leading and trailing spaces go. The key loses a leading "I"; the value
// starts after the spaces and "=" signs that follow the key.
std::vector<DefinitionLine> splitDefinitionLines(std::string_view text) {
  std::vector<DefinitionLine> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= 32) {
      ++end;
    }
    std::string_view line = text.substr(pos, end - pos);
    pos = end;
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 32) {
      ++pos;
    }
    while (!line.empty() && line.front() == ' ') {
      line.remove_prefix(1);
    }
    while (!line.empty() && line.back() == ' ') {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      continue;
    }
    size_t space = line.find(' ');
    DefinitionLine entry{line.substr(0, space), {}};
    if (space != std::string_view::npos) {
      size_t value = line.find_first_not_of(" =", space);
      entry.value = value == std::string_view::npos ? std::string_view() : line.substr(value);
    }
    if (!entry.key.empty() && (entry.key[0] == 'I' || entry.key[0] == 'i')) {
      entry.key.remove_prefix(1);
    }
    lines.push_back(entry);
  }
  return lines;
}

int findList(const Config& config, std::string_view key, size_t before) {
  for (size_t i = 0; i < before && i < config.dnsblLists.size(); ++i) {
    if (equalsIgnoreCase(config.dnsblLists[i].key, key)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The first non-zero REVISION of a definition text, or 0.
int revisionOf(std::string_view text) {
  for (const DefinitionLine& line : splitDefinitionLines(text)) {
    if (equalsIgnoreCase(line.key, "REVISION")) {
      int revision = readInt(line.value);
      if (revision != 0) {
        return revision;
      }
    }
  }
  return 0;
}

// Reads the definitions of one file into the snapshot. `firstPass` takes the
// LAST_UPDATED and REVISION keys too.
void readDefinitions(Config& config, std::string_view text, bool firstPass, int& revision) {
  bool inList = false;
  for (const DefinitionLine& line : splitDefinitionLines(text)) {
    auto is = [&](std::string_view name) {
      return equalsIgnoreCase(line.key, name);
    };
    if (is("LAST_UPDATED")) {
      if (firstPass) {
        config.dnsblLastUpdated = std::string(line.value);
      }
      continue;
    }
    if (is("REVISION")) {
      if (firstPass && revision == 0) {
        revision = readInt(line.value);
      }
      continue;
    }
    if (is("LIST")) {
      inList = false;
      if (line.value.size() > kMaxListKey) {
        tellUser(languageText(kTextErrorTitle),
                 formatText(languageText(kTextDnsblKeyTooLong), {line.value}),
                 NoticeIcon::Exclamation);
      } else if (findList(config, line.value, config.dnsblLists.size()) >= 0) {
        tellUser(languageText(kTextErrorTitle),
                 formatText(languageText(kTextDnsblKeyDuplicate), {line.value}),
                 NoticeIcon::Exclamation);
      } else {
        DnsblList list;
        list.key = std::string(line.value);
        config.dnsblLists.push_back(std::move(list));
        inList = true;
      }
      continue;
    }
    if (!inList) {
      continue; // before the first list, or inside a rejected one
    }
    DnsblList& list = config.dnsblLists.back();
    if (is("NAME")) {
      list.name = std::string(line.value);
    } else if (is("ZONE")) {
      list.zone = std::string(line.value);
    } else if (is("DESCRIPTION")) {
      list.description = std::string(line.value);
    } else if (is("WEBSITE")) {
      list.website = std::string(line.value);
    } else if (is("TYPE")) {
      if (equalsIgnoreCase(line.value, "STANDARD"))
        list.type = DnsblType::Standard;
      if (equalsIgnoreCase(line.value, "COUNTRY"))
        list.type = DnsblType::Country;
      if (equalsIgnoreCase(line.value, "PROVIDER-IGNORE"))
        list.type = DnsblType::ProviderIgnore;
    } else if (is("RESULT_CODE")) {
      Ipv4Address code;
      if (parseIpv4(line.value, code)) {
        list.resultCodes.push_back(code);
      }
    } else if (is("ENABLED_IN_SCHEME")) {
      if (equalsIgnoreCase(line.value, "SAFE"))
        list.inSafe = true;
      if (equalsIgnoreCase(line.value, "MEDIUM"))
        list.inMedium = true;
      if (equalsIgnoreCase(line.value, "AGGRESSIVE"))
        list.inAggressive = true;
    } else if (is("SUBSUMED_BY")) {
      int earlier = findList(config, line.value, config.dnsblLists.size() - 1);
      if (earlier < 0) {
        tellUser("DNSBL.DAT parsing error", "Unable to find list to subsume DNSBL list within",
                 NoticeIcon::Exclamation);
      } else {
        list.subsumedBy.push_back(earlier);
      }
    } else if (is("REPLACES")) {
      list.replaces.emplace_back(line.value);
    }
  }
}

bool openOrTellWhere(const std::string& path) {
  if (!fileExists(path)) {
    errno = ENOENT;
    reportSystemError(path, nullptr);
    return false;
  }
  if (!openWithDesktop(path)) {
    tellUser(languageText(kTextInformationTitle),
             formatText(languageText(kTextOpenFileYourself), {path}), NoticeIcon::Information);
  }
  return true;
}

} // namespace

void loadDnsblDefinitions(Config& config) {
  const std::string shippedPath = executableDirectory() + "default_dnsbl.dat";
  std::optional<std::string> shipped = readWholeFile(shippedPath);
  const int shippedRevision = shipped ? revisionOf(*shipped) : 0;

  config.dnsblLists.clear();
  config.dnsblLastUpdated.clear();
  config.dnsblFileText.clear();
  config.extraDnsblFileText.clear();

  const std::string currentPath = dataPath("dnsbl.dat");
  for (bool retried = false;;) {
    std::optional<std::string> text = readWholeFile(currentPath);
    bool fromDataDirectory = text.has_value();
    if (!text) {
      text = readWholeFile(shippedPath);
    }
    if (!text) {
      tellUser(languageText(kTextErrorTitle), languageText(kTextNoDnsblDefinitions),
               NoticeIcon::Stop);
      break;
    }
    int revision = 0;
    readDefinitions(config, *text, true, revision);
    if (fromDataDirectory && !retried && revision < shippedRevision) {
      // Older than the definitions shipped with this program: those take over until
      // the next update check writes a newer file.
      if (removeFile(currentPath)) {
        config.dnsblLists.clear();
        config.dnsblLastUpdated.clear();
        retried = true;
        continue;
      }
      reportSystemError(currentPath, nullptr);
    }
    config.dnsblFileText = std::move(*text);
    break;
  }

  if (std::optional<std::string> extra = readWholeFile(dataPath("extra_dnsbl.txt"))) {
    int unused = 0;
    readDefinitions(config, *extra, false, unused);
    config.extraDnsblFileText = std::move(*extra);
  }
}

bool storeDnsblDefinitions(std::string_view date, std::string_view text) {
  RecursiveGuard guard(configLock());
  std::string path = dataPath("dnsbl.dat");
  // Written beside the old file and then put in its place: a failed write keeps
  // the definitions in use whole.
  std::string contents = formatText("LAST_UPDATED %s\n\n", {date});
  contents.append(text);
  if (!replaceFileContents(path, contents)) {
    reportSystemError(path, nullptr);
    return false;
  }
  return true;
}

bool editExtraDnsblDefinitions() {
  std::string path = dataPath("extra_dnsbl.txt");
  if (!fileExists(path)) {
    copyFileNoOverwrite(executableDirectory() + "default_extra_dnsbl.dat", path);
  }
  return openOrTellWhere(path);
}

bool showExtraDnsblInstructions() {
  return openOrTellWhere(executableDirectory() + "extra_dnsbl_instructions.txt");
}

} // namespace km
