// Session threads: one per accepted client connection, running the proxy of the
// port definition's protocol. Each protocol provides its entry point below; the
// thread owns its SessionStart and ends with endSessionThread.
#pragma once

#include <memory>
#include <string_view>

#include "net/line_socket.h"
#include "net/listeners.h"

namespace km {

// The stack of a session thread.
inline constexpr size_t kSessionStackSize = 0x20000;

// The entry points by protocol; each runs on its own thread inside the fault guard.
void runPop3Session(std::unique_ptr<SessionStart> start);
void runImap4Session(std::unique_ptr<SessionStart> start);
void runSmtpSession(std::unique_ptr<SessionStart> start);

// Starts the session thread for the definition's type. The session is counted as
// running from here on, so that shutdown never misses one that is just starting;
// its thread takes the count back with endSessionThread. False (and nothing
// counted) when no thread could be started.
bool startSessionThread(std::unique_ptr<SessionStart> start);

// The first act of a session thread: its status record.
void beginSessionThread(std::string_view threadType);

// The last acts of a session thread: the listener forgets the client socket, the
// client connection closes, the status record goes and the session stops counting.
void endSessionThread(LineSocket& client);

} // namespace km
