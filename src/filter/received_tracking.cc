#include "filter/received_tracking.h"

#include <string_view>

#include "config/config.h"
#include "diag/error_report.h"
#include "filter/session_record.h"
#include "message/message.h"
#include "platform/data_path.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr const char* kTrackingFile = "recv-track.dat";
constexpr size_t kLongestAccount = 1024;
constexpr std::string_view kAccountKey = "LACKING_RECEIVED_LINES_ACCOUNT";
constexpr std::string_view kCountKey = "LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS";
constexpr std::string_view kWarnedKey = "LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN";

// Guarded by the configuration lock.
struct TrackingTable {
  std::vector<ReceivedTrackingAccount> accounts;
  bool dirty = false;
};

TrackingTable& table() {
  static TrackingTable tracking;
  return tracking;
}

ReceivedTrackingAccount* findAccount(std::string_view account) {
  for (ReceivedTrackingAccount& entry : table().accounts) {
    if (equalsIgnoreCase(entry.account, account)) {
      return &entry;
    }
  }
  return nullptr;
}

bool hasReceivedLine(const Message& message) {
  for (const std::string& line : message.pristineHeaderLines) {
    if (startsWithIgnoreCase(line, "Received:")) {
      return true;
    }
  }
  return false;
}

std::string trackingFileText() {
  std::string text;
  for (const ReceivedTrackingAccount& entry : table().accounts) {
    if (entry.missingCount == 0 && !entry.warningShown) {
      continue;
    }
    text += formatText("LACKING_RECEIVED_LINES_ACCOUNT %s\n", {entry.account});
    text += formatText("LACKING_RECEIVED_LINES_ACCOUNT_NUM_MSGS %d\n", {entry.missingCount});
    text += formatText("LACKING_RECEIVED_LINES_ACCOUNT_WARNING_SHOWN %s\n",
                       {entry.warningShown ? "YES" : "NO"});
  }
  return text;
}

// A line of the file: leading blanks skipped, the text ends at the first control
// byte, trailing blanks go; the key runs to the first blank and the value starts
// after the blanks and "=" signs that follow it.
void applyTrackingLine(std::string_view line) {
  size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    return;
  }
  line.remove_prefix(start);
  size_t end = 0;
  while (end < line.size() && static_cast<unsigned char>(line[end]) >= 32) {
    ++end;
  }
  line = line.substr(0, end);
  while (!line.empty() && line.back() == ' ') {
    line.remove_suffix(1);
  }
  size_t space = line.find(' ');
  std::string_view key = line.substr(0, space);
  std::string_view value;
  if (space != std::string_view::npos) {
    value = line.substr(space);
    size_t first = value.find_first_not_of(" =");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
  }
  std::vector<ReceivedTrackingAccount>& accounts = table().accounts;
  if (equalsIgnoreCase(key, kAccountKey)) {
    accounts.push_back({std::string(value), 0, false});
  } else if (accounts.empty()) {
    return;
  } else if (equalsIgnoreCase(key, kCountKey)) {
    int32_t count = readInt(value);
    accounts.back().missingCount = count > 0 ? static_cast<uint32_t>(count) : 0;
  } else if (equalsIgnoreCase(key, kWarnedKey)) {
    accounts.back().warningShown = equalsIgnoreCase(value, "YES");
  }
}

} // namespace

void trackReceivedLinesOf(const std::string& account, bool hasReceivedLines) {
  bool warn = false;
  {
    RecursiveGuard guard(configLock());
    ReceivedTrackingAccount* entry = findAccount(account);
    if (hasReceivedLines) {
      if (entry != nullptr && entry->missingCount > 0) {
        entry->missingCount = 0;
        table().dirty = true;
      }
      return;
    }
    if (entry == nullptr) {
      table().accounts.push_back({account, 0, false});
      entry = &table().accounts.back();
    }
    if (entry->warningShown) {
      return;
    }
    ++entry->missingCount;
    table().dirty = true;
    if (entry->missingCount >= kMissingReceivedWarningCount) {
      entry->warningShown = true;
      warn = true;
      // The warned flag is what keeps the warning from coming again, also after a
      // restart: it is saved before the user is told.
      SaveReceivedTracking();
    }
  }
  if (warn) {
    showMessage(languageText(kTextMissingReceivedTitle),
                formatText(languageText(kTextMissingReceivedWarning),
                           {kMissingReceivedWarningCount, account}),
                NoticeIcon::Exclamation);
  }
}

void TrackReceivedLines(const Message& message) {
  const SessionRecord* session = message.session;
  if (session == nullptr) {
    return;
  }
  std::string account = session->userName + "@" + session->serverName;
  if (account.size() > kLongestAccount) {
    account.resize(kLongestAccount);
  }
  trackReceivedLinesOf(account, hasReceivedLine(message));
}

void LoadReceivedTracking() {
  RecursiveGuard guard(configLock());
  table() = TrackingTable{};
  std::optional<std::string> text = readWholeFile(dataPath(kTrackingFile));
  if (!text) {
    return;
  }
  std::string_view rest = *text;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    applyTrackingLine(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
}

bool SaveReceivedTracking() {
  RecursiveGuard guard(configLock());
  if (!table().dirty) {
    return true;
  }
  std::string path = dataPath(kTrackingFile);
  if (!replaceFileContents(path, trackingFileText())) {
    reportRuntimeError(path, nullptr);
    return false;
  }
  table().dirty = false;
  return true;
}

std::vector<ReceivedTrackingAccount> receivedTrackingAccounts() {
  RecursiveGuard guard(configLock());
  return table().accounts;
}

void forgetReceivedTracking() {
  RecursiveGuard guard(configLock());
  table() = TrackingTable{};
}

} // namespace km
