// How a session reaches its mail server: in the clear, over TLS from the first
// byte, or over TLS after the protocol's STARTTLS exchange; and the TLS settings
// of the configuration.
#pragma once

#include <string>
#include <string_view>

#include "config/config.h"
#include "platform/sockets.h"
#include "platform/tls.h"

namespace km {

// A mail server as a port definition or a generic log-in names it: a host,
// optionally a colon and a port (`defaultPort` without one; a port that is no
// number reads as 0). An IPv6 address is written in brackets: "[2001:db8::1]:995".
struct ServerAddress {
  std::string host;
  int port = 0;
};
ServerAddress parseServerAddress(std::string_view specification, int defaultPort);

// Whether a connection error code came from the name look-up.
bool isResolverError(int error);

// Connects to a mail server. A name look-up that fails for a passing reason is tried
// again a second later, three times at most, unless the program is stopping. An
// invalid socket with the error code in `error` when no connection was made.
UniqueSocket connectToServer(const ServerAddress& server, int& error);

enum class UpstreamSecurity { Plain, Implicit, StartTls };

// The port's choice; AUTO means implicit TLS on the well-known TLS ports of the
// three protocols (995, 993, 465) and the clear elsewhere.
UpstreamSecurity upstreamSecurity(UpstreamTls mode, int serverPort);

// TLS_VERIFY and TLS_CA_FILE, or the port's own PORT_TLS_VERIFY and
// PORT_TLS_CA_FILE where it has them, for a server of the given name.
TlsClientOptions tlsOptionsFor(const Config& config, const PortConfig& port,
                               const std::string& serverName);

} // namespace km
