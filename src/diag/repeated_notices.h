// Notices that come in bursts. One broken or hostile peer can cause thousands of
// the same notice (a refused connection, a server that cannot be reached); the
// user is told once, and the rest are counted. The first notice of a kind opens a
// window of a minute in which the same kind is only counted; when the window has
// passed, the count is given once as a summary, and the next notice of the kind
// opens a new window.
//
// State: the windows of each kind, under the table's own mutex; summaries run
// outside it. Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace km {

inline constexpr uint64_t kRepeatWindowMs = 60000;

// Whether the notice of `kind` is to be given now (true) or only counted. The
// `summary` of the call that opened the window is kept and later called once with
// the number of notices counted, if there were any.
bool giveOnceThenCount(const std::string& kind, std::function<void(int64_t repeats)> summary);

// Gives the summaries of the windows that have passed, or of all of them (at
// shutdown). The main loop calls it every second. Summaries run outside the
// table's lock.
void flushRepeatedNotices(bool all = false);

// Tests shorten the window; 0 goes back to a minute.
void setRepeatWindowForTests(uint64_t milliseconds);

} // namespace km
