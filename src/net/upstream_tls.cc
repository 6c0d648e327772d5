#include "net/upstream_tls.h"

#include <chrono>

#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace km {

ServerAddress parseServerAddress(std::string_view specification, int defaultPort) {
  ServerAddress server{{}, defaultPort};
  std::string_view rest;
  if (!specification.empty() && specification.front() == '[') {
    size_t close = specification.find(']');
    server.host = std::string(specification.substr(
        1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    rest = close == std::string_view::npos ? std::string_view() : specification.substr(close + 1);
  } else {
    size_t colon = specification.find(':');
    server.host = std::string(specification.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : specification.substr(colon);
  }
  if (!rest.empty() && rest.front() == ':') {
    server.port = readInt(rest.substr(1));
  }
  return server;
}

bool isResolverError(int error) {
  return error >= wsa::kHostNotFound && error <= wsa::kNoData;
}

UniqueSocket connectToServer(const ServerAddress& server, int& error) {
  constexpr int kConnectTimeoutMs = 60000;
  constexpr int kResolveAttempts = 3;
  UniqueSocket sock;
  for (int attempt = 1; attempt <= kResolveAttempts; ++attempt) {
    sock = connectTcp(server.host, server.port, kConnectTimeoutMs, error);
    if (sock.valid() || !isResolverError(error) || error == wsa::kHostNotFound ||
        attempt == kResolveAttempts || shutdownEvent().wait(std::chrono::seconds(1))) {
      break;
    }
  }
  return sock;
}

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
