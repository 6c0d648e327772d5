// Session threads: one per accepted client connection, running the proxy of the
// port definition's protocol. Each protocol provides its entry point below; the
// thread owns its SessionStart and ends with endSessionThread.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "config/config.h"
#include "net/line_socket.h"
#include "net/listeners.h"

namespace km {

// What a protocol handler decides after a command: the session goes on, or ends.
enum class SessionFlow { Continue, End };
// Ends the session when a step (a send, a relay) failed.
inline SessionFlow endUnless(bool ok) {
  return ok ? SessionFlow::Continue : SessionFlow::End;
}

// The stack of a session thread.
inline constexpr size_t kSessionStackSize = 0x20000;

// A proxy's entry point; it runs on its own thread inside the fault guard.
using SessionEntry = void (*)(std::unique_ptr<SessionStart> start);

// The entry points by protocol. The proxies live above this layer, so the
// application installs them at start-up; until then (and for a protocol without
// one) no session thread starts. Any thread.
struct SessionEntries {
  SessionEntry pop3 = nullptr;
  SessionEntry imap4 = nullptr;
  SessionEntry smtp = nullptr;
};
void setSessionEntries(SessionEntries entries);

// What the application shows while any session is at work (the tray's busy
// animation). Installed at start-up; any thread may call the two notes below,
// which every proxy session makes at its start and its end.
void setSessionActivityHandlers(std::function<void()> onBusy, std::function<void()> onIdle);
void noteSessionBusy();
void noteSessionIdle();

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

// The two above as a scope: beginSessionThread when made, endSessionThread when it
// goes. Made right after the session's client connection, so that it ends first.
class SessionThreadScope {
public:
  SessionThreadScope(std::string_view threadType, LineSocket& client) : client_(client) {
    beginSessionThread(threadType);
  }
  ~SessionThreadScope() { endSessionThread(client_); }
  SessionThreadScope(const SessionThreadScope&) = delete;
  SessionThreadScope& operator=(const SessionThreadScope&) = delete;

private:
  LineSocket& client_;
};

// A session at work for the scope's lifetime: noteSessionBusy when made,
// noteSessionIdle when it goes.
class SessionActivity {
public:
  SessionActivity() { noteSessionBusy(); }
  ~SessionActivity() { noteSessionIdle(); }
  SessionActivity(const SessionActivity&) = delete;
  SessionActivity& operator=(const SessionActivity&) = delete;
};

// What a proxy session takes over at its start.
struct SessionOpening {
  int row = -1;     // its status row
  ConfigRef config; // the snapshot it works with; empty when none could be had
  PortConfig port;
  Ipv4Address clientAddress{};
};

// The first steps of every proxy session: a status row showing the client and
// `protocol`, the client socket attached to `client` (the row shows it) with the
// configured idle limit, and the configuration, read again first when its file
// changed. `start` is spent.
SessionOpening openSession(std::unique_ptr<SessionStart> start, std::string_view protocol,
                           LineSocket& client);

// The last step of every proxy session: its row shows the final status a moment
// longer (not when the program is stopping), then goes; the thread does not wait.
void closeSessionRow(int row, std::string_view status);

} // namespace km
