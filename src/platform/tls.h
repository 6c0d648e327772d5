// The client side of TLS towards mail servers, over a socket that is already
// connected (implicit TLS) or that has just finished a protocol's STARTTLS exchange.
// The socket is switched to non-blocking mode for the life of the stream, so every
// wait stays in the caller's hands: in short slices that watch the stop flag.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/sockets.h"

namespace km {

struct TlsClientOptions {
  // The name (or literal address) the server's certificate must carry.
  std::string serverName;
  // Check the certificate chain against the trusted authorities and the name.
  bool verify = true;
  // A PEM file of further trusted authorities (a private CA), used besides the
  // system's store; empty for none.
  std::string caFile;
};

class TlsStream;
struct TlsStreamDeleter {
  void operator()(TlsStream* stream) const;
};
using TlsStreamPtr = std::unique_ptr<TlsStream, TlsStreamDeleter>;

// Results of tlsReceive besides a byte count.
inline constexpr long kTlsClosed = 0;
inline constexpr long kTlsFailed = -1;
inline constexpr long kTlsNeedInput = -2; // wait for the socket, then call again

// Runs the handshake. `timeoutMs` bounds it (negative: no limit). On failure the
// stream is null and `failure` says why in words a user can act on (for example
// "certificate verify failed: self-signed certificate").
TlsStreamPtr startTlsClient(SocketHandle sock, const TlsClientOptions& options, int timeoutMs,
                            std::string& failure);

// Reads decrypted bytes: a count, kTlsClosed when the server ended the stream,
// kTlsFailed (error set to a socket error code), or kTlsNeedInput.
long tlsReceive(TlsStream& stream, void* buffer, size_t size, int& error);

// Sends all bytes, waiting for room in slices that watch the stop flag. The count
// sent, or kTlsFailed with the error code.
long tlsSend(TlsStream& stream, const void* bytes, size_t size, int& error);

// Decrypted bytes that OpenSSL holds already: a read returns them without touching
// the socket, so a wait must not block while there are any.
size_t tlsBuffered(const TlsStream& stream);

} // namespace km
