#include "net/upstream_tls.h"

namespace km {

UpstreamSecurity upstreamSecurity(UpstreamTls mode, int serverPort) {
  switch (mode) {
  case UpstreamTls::Implicit:
    return UpstreamSecurity::Implicit;
  case UpstreamTls::StartTls:
    return UpstreamSecurity::StartTls;
  case UpstreamTls::None:
    return UpstreamSecurity::Plain;
  case UpstreamTls::Auto:
    break;
  }
  bool wellKnownTlsPort = serverPort == 995 || serverPort == 993 || serverPort == 465;
  return wellKnownTlsPort ? UpstreamSecurity::Implicit : UpstreamSecurity::Plain;
}

TlsClientOptions tlsOptionsFor(const Config& config, const PortConfig& port,
                               const std::string& serverName) {
  TlsClientOptions options;
  options.serverName = serverName;
  options.verify = port.tlsVerify.value_or(config.tlsVerify);
  options.caFile = port.tlsCaFile.empty() ? config.tlsCaFile : port.tlsCaFile;
  return options;
}

} // namespace km
