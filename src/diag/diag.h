// Diagnostics: the activity log, error reports and the crash report.
//
//   activity_log.h  session logs merged into the main log, global lines, trimming
//   error_report.h  system and runtime-library error reports (message box + log)
//   crash_report.h  the fault guard of session threads and its report
//   repeated_notices.h  notices that come in bursts: given once, then counted
#pragma once

#include "diag/activity_log.h"
#include "diag/crash_report.h"
#include "diag/error_report.h"
#include "diag/repeated_notices.h"
