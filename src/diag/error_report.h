// Telling the user about failed file and system calls: a message box plus the same
// text in the activity log.
#pragma once

#include <cstdint>
#include <string_view>

namespace km {

struct SessionLog;

// After a failed system call: the message is the file-error template (error number,
// path, system text) or, without a path, the system's text alone. Logged at level 0
// (to the session's log when given, else the main log), then shown.
void reportSystemError(std::string_view path, SessionLog* session);

// After a failed standard-library file operation: the message names the library's
// text for errno and the path ("unknown" when none). Shown, then logged.
void reportRuntimeError(std::string_view path, SessionLog* session);

// After reading a damaged data file: the message names the file, how many of its
// records were kept and where the damaged file was kept. Logged to the main log at
// level 0, then shown.
void reportDamagedFile(std::string_view path, int64_t recordsKept, std::string_view keptAs);

} // namespace km
