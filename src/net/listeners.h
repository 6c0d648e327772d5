// The listening ports. Each listening socket serves the port definitions of the
// configuration that name its address and port (several when definitions share a
// port), remembers the client sockets of the sessions it started, and is closed
// only when it has left the configuration and its last session has ended.
//
// Listening and accepting happen on the main thread; session threads only call
// forgetSessionSocket as they end. One re-entrant lock, the listener lock, guards
// the table and the remembered port choices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "config/config.h"
#include "platform/ipv4.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace km {

// What a session thread receives from the listener: its own copy of the chosen port
// definition, the accepted client socket and the client's address. The thread owns
// it from its first instruction.
struct SessionStart {
  PortConfig portConfig;
  SocketHandle clientSocket = kInvalidSocket;
  Ipv4Address clientAddress{};
};

// A view of one listener, for the status window and for tests.
struct ListenerInfo {
  SocketHandle listenSocket = kInvalidSocket;
  Ipv4Address bindAddress{};
  int port = 0;
  std::vector<uint32_t> portConfigIds;
  size_t sessionCount = 0;
  bool retired = false;
};

// The listener lock (re-entrant). A port choice shown to the user holds it, so
// sessions that end meanwhile wait in forgetSessionSocket until it is answered.
RecursiveLock& listenerLock();

// Empties the table and forgets the remembered port choices (start-up).
void initListeners();

// Follows the current configuration: keeps the sockets of ports it still names,
// opens those it adds and retires those it dropped. Does nothing once the program
// is shutting down.
void reloadListeners();

// Adds one port definition: to the listener of the same address and port when
// there is one, else on a new listening socket. Failures are shown to the user and
// the port is not served.
void addListener(const PortConfig& portConfig, const Config& config);

// Accepts one waiting connection on a listening socket, checks the client against
// the access lists, picks the port definition and starts the session thread.
void acceptConnection(SocketHandle listenSocket);

// Called by every session thread as it ends, before its client socket is closed.
void forgetSessionSocket(SocketHandle clientSocket);

// Takes the listener out of the configuration; it closes once no session runs.
void retireListener(SocketHandle listenSocket);
void destroyListener(size_t index);
void closeAllListeners();

std::vector<ListenerInfo> listListeners();

// Whether a connection this program made ends at one of its own listening sockets:
// the far end's address and port, and the near end's address (on a connection to
// this machine the two addresses agree).
bool reachesOwnListener(const Ipv4Address& peer, int peerPort, const Ipv4Address& local);

// The remembered answers of the port choice, by port.
void rememberPortChoice(int port, uint32_t portConfigId);
std::optional<uint32_t> rememberedPortChoice(int port);

// The port definition that serves a client among those of one listening port, or
// nothing when none admits it. Candidates are the definitions whose access list
// admits the client. A loop-back client is narrowed to the candidates that also
// admit one of the machine's own addresses (looked up only then), when any does.
// Several candidates are settled by the remembered choice for the port, else by
// asking the user.
std::optional<size_t>
choosePortDefinition(const std::vector<PortConfig>& portConfigs, int port, const Config& config,
                     const Ipv4Address& client,
                     const std::function<std::vector<Ipv4Address>()>& ownAddresses);

} // namespace km
