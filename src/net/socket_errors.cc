#include "net/socket_errors.h"

#include "diag/activity_log.h"
#include "diag/repeated_notices.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/text.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kMaxErrorText = 1023;

struct CodeText {
  int code;
  int textId;       // a message of its own, or 0
  const char* name; // else the symbolic name, or null for the number
};

constexpr CodeText kCodeTexts[] = {
    {0, kTextSocketNoErrorCode, nullptr},
    {wsa::kAccessDenied, kTextSocketAccessDenied, nullptr},
    {wsa::kFault, 0, "WSAEFAULT"},
    {wsa::kInvalidArgument, 0, "WSAEINVAL"},
    {wsa::kWouldBlock, 0, "WSAEWOULDBLOCK"},
    {wsa::kInProgress, 0, "WSAEINPROGRESS"},
    {wsa::kAlready, 0, "WSAEALREADY"},
    {wsa::kNotSocket, 0, "WSAENOTSOCK"},
    {wsa::kAddressFamilyNotSupported, 0, "WSAEAFNOSUPPORT"},
    {wsa::kAddressInUse, kTextSocketAddressInUse, nullptr},
    {wsa::kAddressNotAvailable, kTextSocketAddressNotAvailable, nullptr},
    {wsa::kNetworkDown, kTextSocketNetworkDown, nullptr},
    {wsa::kNetworkUnreachable, kTextSocketNetworkUnreachable, nullptr},
    {wsa::kConnectionReset, kTextSocketConnectionReset, nullptr},
    {wsa::kNoBufferSpace, kTextSocketNoBufferSpace, nullptr},
    {wsa::kIsConnected, 0, "WSAEISCONN"},
    {wsa::kTimedOut, kTextSocketTimedOut, nullptr},
    {wsa::kConnectionRefused, kTextSocketConnectionRefused, nullptr},
    {10093, 0, "WSANOTINITIALISED"},
    {wsa::kHostNotFound, kTextSocketHostNotFound, nullptr},
    {wsa::kTryAgain, 0, "WSATRY_AGAIN"},
    {wsa::kNoData, 0, "WSANO_DATA"},
};

// Logs the error and returns its text.
std::string logLine(int code, std::string_view title, SessionLog* sessionLog) {
  std::string text = socketErrorText(code);
  if (sessionLog != nullptr) {
    logSessionText(*sessionLog, LogLevel::Minimal, kTextSocketErrorLine, {title, text});
  } else {
    logGlobalText(LogLevel::Minimal, kTextSocketErrorLine, {title, text});
  }
  return text;
}

} // namespace

std::string socketErrorText(int code) {
  std::string text;
  bool listed = false;
  for (const CodeText& entry : kCodeTexts) {
    if (entry.code == code) {
      text = entry.textId != 0 ? languageText(entry.textId)
                               : formatText(languageText(kTextSocketNamedError), {entry.name});
      listed = true;
      break;
    }
  }
  if (!listed) {
    text = formatText(languageText(kTextSocketNumberedError), {code});
  }
  if (text.size() > kMaxErrorText) {
    text.resize(kMaxErrorText);
  }
  return text;
}

bool isReportableSocketError(int code) {
  switch (code) {
  case 0:
  case wsa::kNotSocket:
  case wsa::kConnectionAborted:
  case wsa::kConnectionReset:
  case wsa::kNotConnected:
  case wsa::kShutdown:
  case wsa::kTimedOut:
  case 10101: // graceful disconnect in progress
    return false;
  default:
    return true;
  }
}

void logSocketError(int code, std::string_view title, SessionLog* sessionLog) {
  logLine(code, title, sessionLog);
}

void reportSocketError(int code, std::string_view title, SessionLog* sessionLog) {
  std::string text = logLine(code, title, sessionLog);
  showMessage(std::string(title), text, NoticeIcon::Exclamation);
}

void reportSocketErrorOnceThenCount(int code, std::string_view title, SessionLog* sessionLog) {
  std::string text = logLine(code, title, sessionLog);
  std::string heading(title);
  bool first = giveOnceThenCount(heading + ": " + text, [heading, text](int64_t repeats) {
    showMessage(heading, formatText(languageText(kTextRepeatedNotice), {repeats, text}),
                NoticeIcon::Exclamation);
  });
  if (first) {
    showMessage(heading, text, NoticeIcon::Exclamation);
  }
}

} // namespace km
