// Writing config.dat: the text the key table makes, put in place of the old file
// whole.
#include "config/config_keys.h"
#include "config/data_dir.h"
#include "diag/error_report.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text_ids.h"

namespace km {

std::string formatConfigFile(const Config& config) {
  std::string text;
  appendConfigKeys(text, config);
  return text;
}

ConfigStatus saveConfigFile() {
  RecursiveGuard guard(configLock());
  ConfigRef config = AcquireConfig();
  if (!config) {
    return {ConfigTrouble::NotLoaded};
  }
  // The whole text goes to a new file beside the old one, which then takes its
  // name: a failed save (a full disk, a folder that allows no new file) leaves the
  // old file as it was. A config.dat that is a link is written through to the
  // file it names, and one the user made private or read-only keeps its mode.
  std::string path = linkTarget(dataPath("config.dat"));
  switch (replaceFileContents(path, formatConfigFile(*config), ReadOnlyFiles::Replace)) {
  case ReplaceOutcome::Replaced:
    break;
  case ReplaceOutcome::ReadOnly:
  case ReplaceOutcome::CannotCreate:
    reportRuntimeError(path, nullptr);
    tellUser(languageText(kTextErrorTitle), languageText(kTextConfigUnwritable),
             NoticeIcon::Exclamation);
    reportTrouble(ConfigTrouble::CannotCreateNewFile);
    return {ConfigTrouble::CannotCreateNewFile};
  case ReplaceOutcome::CannotWrite:
    reportRuntimeError(path, nullptr);
    reportTrouble(ConfigTrouble::CannotWriteNewFile);
    return {ConfigTrouble::CannotWriteNewFile};
  }
  if (std::optional<int64_t> modified = modificationTime(path)) {
    noteConfigFileWritten(*modified);
  }
  return {};
}

} // namespace km
