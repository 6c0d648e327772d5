// Calendar days as the user sees them: local dates in the user's language, and
// the days before a given time.
#pragma once

#include <cstdint>
#include <string>

namespace km {

// Seconds since 1 January 1970 UTC, now.
int64_t currentUnixTime();

// Takes the user's language for the names of days and months (LC_TIME from the
// environment). Start-up calls it once, before any thread starts.
void useUserDateLanguage();

// The local date of a time as "ddd d MMM yyyy" in the user's language (at most 31
// characters, "Mon 7 Dec 2026" in English), or "unknown" when it cannot be told.
std::string localDateText(int64_t unixTime);

// Noon, local time, `days` calendar days before the day of `unixTime` (0: that
// day itself). Days counted this way stay apart when a day has 23 or 25 hours.
int64_t localNoonDaysBefore(int64_t unixTime, int days);

} // namespace km
