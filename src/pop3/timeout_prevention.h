// Keeping a waiting mail client busy. While a message is held back for filtering,
// the client has been told "+OK Message follows" and hears nothing more; many
// clients give up after a minute of silence. Every 29 seconds (the configuration's
// TIME_OUT_PREVENTION_INTERVAL) one process-wide thread sends each registered
// client something harmless: first extra header lines
// "X-Kestrelmail-Timeout: Prevent", then, a byte at a time, the message's own
// header lines that have arrived and will not change. When filtering is done the
// session learns how many header lines the client already has.
//
// The thread never waits for a client: it sends what the client's connection
// takes at once, and a client that stopped reading is owed the rest, which goes
// out with the session's own output when its retrieval ends. So one stuck client
// holds up nobody else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace km {

class LineSocket;
struct Message;

inline constexpr std::string_view kTimeoutPreventionLine = "X-Kestrelmail-Timeout: Prevent\r\n";
inline constexpr unsigned kPreventionIntervalMs = 29000;

// Guards the registrations and the working header lines of every registered
// message: a session changes those lines only while holding it. Nothing is sent
// under it.
std::mutex& preventionLock();

// Registers a retrieval whose client was just told that the message follows; the
// client may be null (a pre-fetch), whose sends then go nowhere. Returns its id.
int32_t startPrevention(LineSocket* client, Message& message);

// Ends a registration: the timeout lines sent are inserted at the front of the
// message's working header lines, a half-sent header line is completed (buffered,
// leaving with the session's next flush), and the result is the number of working
// header lines the client now has in full.
size_t stopPrevention(int32_t preventionId);

// Tests shorten the interval; 0 goes back to the configured one.
void setPreventionIntervalForTests(unsigned milliseconds);

} // namespace km
