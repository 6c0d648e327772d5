// How a session reaches its mail server: in the clear, over TLS from the first
// byte, or over TLS after the protocol's STARTTLS exchange; and the TLS settings
// of the configuration.
#pragma once

#include <string>

#include "config/config.h"
#include "platform/tls.h"

namespace km {

enum class UpstreamSecurity { Plain, Implicit, StartTls };

// The port's choice; AUTO means implicit TLS on the well-known TLS ports of the
// three protocols (995, 993, 465) and the clear elsewhere.
UpstreamSecurity upstreamSecurity(UpstreamTls mode, int serverPort);

// TLS_VERIFY and TLS_CA_FILE, for a server of the given name.
TlsClientOptions tlsOptionsFor(const Config& config, const std::string& serverName);

} // namespace km
