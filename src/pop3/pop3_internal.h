// Shared by the files of the POP3 proxy only: the session's state and the
// retrieval steps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "filter/session_record.h"
#include "message/message.h"
#include "net/line_socket.h"
#include "net/listeners.h"
#include "net/sessions.h"
#include "platform/sync.h"

namespace km {

// Where a retrieved message stands in the per-session cache.
enum class Pop3Stage {
  Nothing,
  Prefetched, // header block read and filtered, answer read to its end
  Sent,
};

// One message number of the mailbox.
struct Pop3Entry {
  int64_t size = 0; // as the server announced it; 0 while unknown
  MessagePtr cachedMessage;
  FetchRecord fetchCopy;      // the cached message's fetch record lives here
  int32_t cachedLines = 0;    // TOP line count that produced it; -1 the whole message
  int32_t requestedLines = 0; // line count asked of the server; -1 the whole message
  int32_t neededLines = 0;
  int64_t neededBytes = 0; // body bytes the filters want; -1 all of them
  Pop3Stage stage = Pop3Stage::Nothing;
};

// The thread that reads the following messages with the same TOP request while a
// TOP answer waits for its DNSBL results. It and the session thread never read the
// server connection at the same time.
struct Prefetcher {
  bool running = false;
  ConfigRef config;
  LineSocket* upstream = nullptr;
  int32_t next = 0;
  int32_t lines = 0;
  Event goEvent;
  Event stopEvent;
  Event doneEvent;
  Event quitEvent;
  Event exitedEvent;
};

struct Pop3Session {
  PortConfig portConfig;
  LineSocket client;
  LineSocket upstream;
  Ipv4Address clientAddress{};
  SessionRecord record;
  ConfigRef config;
  int row = -1;
  bool apopUsed = false;
  bool authUsed = false;
  bool quit = false;
  bool loggedIn = false;
  bool passDone = false;
  std::string serverSpecification;
  std::string userName;
  std::string greeting;
  // Index n - 1 for message n; entries stay where they are while the table lives.
  std::vector<std::unique_ptr<Pop3Entry>> entries;
  Prefetcher prefetch;
};

inline bool upstreamConnected(const Pop3Session& session) {
  return session.upstream.handle() != kInvalidSocket;
}
inline int32_t messageCount(const Pop3Session& session) {
  return static_cast<int32_t>(session.entries.size());
}

// Reports why a relay failed: the server's error when it has a reportable one,
// else the client's.
void reportRelayFailure(Pop3Session& session);

// The command handlers; each says whether the session goes on.
SessionFlow handleStat(Pop3Session& session, std::string_view line, LineSocket* client);
SessionFlow handleList(Pop3Session& session, std::string_view line, LineSocket* client);
SessionFlow handleRetrieve(Pop3Session& session, std::string_view line, bool top);
SessionFlow handleUidl(Pop3Session& session, std::string_view line);
SessionFlow relayCommand(Pop3Session& session, std::string_view line);

// Ends the pre-fetch thread, if it runs, and waits until it has.
void endPrefetching(Pop3Session& session);

// Sending to a client the session may not have: a read-ahead retrieval and the
// mailbox listing learnt after a log-in have none, and what they would send goes
// nowhere (and succeeds).
inline bool sendToClient(LineSocket* client, std::string_view bytes) {
  return client == nullptr || client->sendString(bytes);
}
inline bool writeToClient(LineSocket* client, std::string_view bytes) {
  return client == nullptr || client->writeString(bytes);
}
inline bool flushClient(LineSocket* client) {
  return client == nullptr || client->flush();
}

} // namespace km
