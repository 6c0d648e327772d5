// Socket errors as the user sees them: the text for a code, the rule that hides the
// codes that only mean a connection ended, and the report (log line and message).
#pragma once

#include <string>
#include <string_view>

namespace km {

struct SessionLog;

// The user's text for a socket error code: a message of its own for the common
// codes, the code's symbolic name for some, its number for the rest.
std::string socketErrorText(int code);

// False for the codes that mean an ordinary end of a connection (reset, aborted,
// timed out, not connected, ...); sessions report only the others.
bool isReportableSocketError(int code);

// Writes "title: text" to the session's log (the main log when there is none) at
// the error level; reportSocketError then shows the text under the title too.
void logSocketError(int code, std::string_view title, SessionLog* sessionLog);
void reportSocketError(int code, std::string_view title, SessionLog* sessionLog);
// As reportSocketError for errors a peer can cause at will (a client sending an
// endless line): the log line is written every time, the message is shown once
// and then as a count a minute later.
void reportSocketErrorOnceThenCount(int code, std::string_view title, SessionLog* sessionLog);

} // namespace km
