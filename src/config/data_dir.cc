#include "config/data_dir.h"

#include <cerrno>

#include "diag/error_report.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

bool prepareDataDirectory() {
  std::string root = dataPath("");
  std::string withoutSlash = root.substr(0, root.size() - 1);
  if (!directoryExists(withoutSlash) && !createDirectory(withoutSlash)) {
    reportSystemError(withoutSlash, nullptr);
    return false;
  }
  // There is no older installation on this platform to migrate files from.
  for (const char* folder :
       {"auto_wlist_from_logs", "auto_wlist_ip_logs", "plugins", "imap4_state", "activity-logs"}) {
    std::string path = root + folder;
    if (!directoryExists(path) && !createDirectory(path)) {
      reportSystemError(path, nullptr);
      return false;
    }
  }
  return true;
}

namespace {

// Writes one first-run list file where there is none: a user's own list is never
// replaced. Failures are reported and the caller goes on.
void writeListFile(const std::string& name, const std::string& text) {
  std::string path = dataPath(name);
  File file = openFileRetrying(path, "wx");
  if (!file) {
    if (errno != EEXIST) {
      reportRuntimeError(path, nullptr);
    }
    return;
  }
  std::fwrite(text.data(), 1, text.size(), file.get());
  if (!closeFile(file)) {
    reportRuntimeError(path, nullptr);
  }
}

} // namespace

bool writeFirstRunFiles() {
  std::string configPath = dataPath("config.dat");
  File file = openFileRetrying(configPath, "wx");
  if (!file) {
    reportRuntimeError(configPath, nullptr);
    return false;
  }
  std::string text = formatText("VERSION 1\n"
                                "IS_FIRST_RUN YES\n"
                                "ALWAYS_SHOW_POP3_APOP_WARNING YES\n"
                                "ALWAYS_SHOW_POP3_SASL_WARNING YES\n"
                                "DNSBL SPAMCOP SpamCop BL\n"
                                "TAG_SUBJECT TRUE\n"
                                "SUBJECT_TAG_STRING %s\n"
                                "X_Kestrelmail_IN_SUBJECT NO\n"
                                "Kestrelmail_UPDATES_CHECK YES\n"
                                "Kestrelmail_UPDATES_CHECK_INTERVAL %d\n"
                                "Kestrelmail_UPDATES_LAST_CHECK 0\n"
                                "DNSBL_UPDATES_CHECK YES\n"
                                "DNSBL_UPDATES_CHECK_INTERVAL %d\n"
                                "DNSBL_UPDATES_LAST_CHECK 0\n"
                                "SHOW_UPDATES_WINDOW NO\n"
                                "INFORM_ABOUT_NEW_BETAS NO\n"
                                "USE_AUTO_WLIST_FROM YES\n"
                                "AUTO_WLIST_FROM_NUM_MAILS %d\n"
                                "USE_AUTO_WLIST_IP YES\n"
                                "AUTO_WLIST_IP_NUM_MAILS %d\n"
                                "USE_AUTO_WLIST_LOGGING NO\n"
                                "MAX_DNSBL_THREADS %d\n"
                                "DNSBL_TIME_OUT %d\n"
                                "DNSBL_POSITIVE_CACHE_PERIOD %d,%d\n"
                                "DNSBL_NEGATIVE_CACHE_PERIOD %d,%d\n",
                                {"**SPAM**", 14, 14, 7, 12, 40, 30, 2, 0, 3, 0});
  std::fwrite(text.data(), 1, text.size(), file.get());
  if (!closeFile(file)) {
    reportRuntimeError(configPath, nullptr);
  }

  writeListFile("blist_email.dat",
                formatText("# %s\n", {languageText(kTextBlacklistEmailComment)}) +
                    "spammer@example.com\n");
  writeListFile("wlist_ip.dat",
                formatText("# %s\n", {languageText(kTextWhitelistIpComment)}) + "127.0.0.0/8\n");
  return true;
}

} // namespace km
