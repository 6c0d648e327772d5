#include "diag/error_report.h"

#include "diag/activity_log.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kMaxTitle = 80;

std::string reportTitle() {
  std::string title = languageText(kTextReportTitle);
  if (title.size() > kMaxTitle) {
    title.resize(kMaxTitle);
  }
  return title;
}

void logReport(const std::string& title, const std::string& message, SessionLog* session) {
  if (session != nullptr) {
    logSessionText(*session, LogLevel::Minimal, kTextLogTitleAndMessage, {title, message});
  } else {
    logGlobalText(LogLevel::Minimal, kTextLogTitleAndMessage, {title, message});
  }
}

} // namespace

void reportSystemError(std::string_view path, SessionLog* session) {
  int errorNumber = lastErrorNumber();
  std::string systemText = errorText(errorNumber);
  std::string message = path.empty() ? systemText
                                     : formatText(languageText(kTextFileErrorTemplate),
                                                  {errorNumber, path, systemText});
  std::string title = reportTitle();
  logReport(title, message, session);
  showMessage(title, message, NoticeIcon::Exclamation);
}

void reportRuntimeError(std::string_view path, SessionLog* session) {
  int errorNumber = lastErrorNumber();
  std::string message = formatText(languageText(kTextRuntimeErrorTemplate),
                                   {errorText(errorNumber), path.empty() ? "unknown" : path});
  std::string title = reportTitle();
  showMessage(title, message, NoticeIcon::Stop);
  logReport(title, message, session);
}

void reportDamagedFile(std::string_view path, int64_t recordsKept, std::string_view keptAs) {
  std::string message =
      formatText(languageText(kTextDamagedStateFile), {path, recordsKept, keptAs});
  std::string title = reportTitle();
  logReport(title, message, nullptr);
  showMessage(title, message, NoticeIcon::Exclamation);
}

} // namespace km
