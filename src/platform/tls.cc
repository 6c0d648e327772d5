#include "platform/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>

#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr int kSliceMs = 500;

struct ContextDeleter {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextDeleter>;

std::string openSslErrorText() {
  unsigned long code = ERR_get_error();
  if (code == 0) {
    return "the secure connection failed";
  }
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

bool isLiteralAddress(const std::string& name) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

ContextPtr makeContext(const TlsClientOptions& options, std::string& failure) {
  ContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context) {
    failure = openSslErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(context.get(), SSL_MODE_AUTO_RETRY);
  // Mail servers often drop the connection without a TLS goodbye; the protocols
  // frame their own data, so that is an ordinary end, not an attack.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (options.verify) {
    SSL_CTX_set_default_verify_paths(context.get());
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(context.get(), options.caFile.c_str(), nullptr) != 1) {
      failure = "the trusted certificate file \"" + options.caFile + "\" could not be read";
      ERR_clear_error();
      return nullptr;
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  }
  return context;
}

// How long the next wait may take: a slice, or what is left of the time budget.
// False when the budget is spent or the program is stopping.
bool nextSlice(uint64_t deadline, bool limited, int& slice) {
  if (stopRequested()) {
    return false;
  }
  slice = kSliceMs;
  if (limited) {
    uint64_t now = tickCountMs();
    if (now >= deadline) {
      return false;
    }
    slice = static_cast<int>(std::min<uint64_t>(deadline - now, kSliceMs));
  }
  return true;
}

} // namespace

class TlsStream {
public:
  ContextPtr context;
  SSL* ssl = nullptr;
  SocketHandle sock = kInvalidSocket;
  std::string lastFailure;

  ~TlsStream() {
    if (ssl != nullptr) {
      // A polite goodbye that never waits: the socket is closed right after.
      if (SSL_is_init_finished(ssl)) {
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
    }
    ERR_clear_error();
  }
};

void TlsStreamDeleter::operator()(TlsStream* stream) const {
  delete stream;
}

TlsStreamPtr startTlsClient(SocketHandle sock, const TlsClientOptions& options, int timeoutMs,
                            std::string& failure) {
  // OpenSSL writes with write(2): a server that has gone must give an error, not
  // end the program.
  ::signal(SIGPIPE, SIG_IGN);
  ERR_clear_error();
  TlsStreamPtr stream(new TlsStream);
  stream->sock = sock;
  stream->context = makeContext(options, failure);
  if (!stream->context) {
    return nullptr;
  }
  stream->ssl = SSL_new(stream->context.get());
  int ignored = 0;
  if (stream->ssl == nullptr || SSL_set_fd(stream->ssl, sock) != 1 ||
      !setSocketBlocking(sock, false, ignored)) {
    failure = openSslErrorText();
    return nullptr;
  }
  const std::string& name = options.serverName;
  bool literal = isLiteralAddress(name);
  if (!name.empty() && !literal) {
    // SSL_set_tlsext_host_name spelled out: the macro hides a C cast.
    SSL_ctrl(stream->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(name.c_str()));
  }
  if (options.verify && !name.empty()) {
    X509_VERIFY_PARAM* parameters = SSL_get0_param(stream->ssl);
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(stream->ssl, name.c_str());
    }
  }

  bool limited = timeoutMs >= 0;
  uint64_t deadline = tickCountMs() + static_cast<uint64_t>(limited ? timeoutMs : 0);
  for (;;) {
    int result = SSL_connect(stream->ssl);
    if (result == 1) {
      return stream;
    }
    int reason = SSL_get_error(stream->ssl, result);
    int slice = 0;
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      if (!nextSlice(deadline, limited, slice)) {
        failure = stopRequested() ? "the program is closing" : "the secure handshake timed out";
        return nullptr;
      }
      if (reason == SSL_ERROR_WANT_READ) {
        waitReadable(sock, slice);
      } else {
        waitWritable(sock, slice);
      }
      continue;
    }
    long verified = SSL_get_verify_result(stream->ssl);
    if (verified != X509_V_OK) {
      failure =
          std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    } else if (reason == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      failure = "the server closed the connection during the secure handshake";
    } else {
      failure = openSslErrorText();
    }
    ERR_clear_error();
    return nullptr;
  }
}

long tlsReceive(TlsStream& stream, void* buffer, size_t size, int& error) {
  ERR_clear_error();
  int wanted = static_cast<int>(std::min<size_t>(size, INT_MAX));
  errno = 0;
  int got = SSL_read(stream.ssl, buffer, wanted);
  if (got > 0) {
    return got;
  }
  int reason = SSL_get_error(stream.ssl, got);
  switch (reason) {
  case SSL_ERROR_WANT_READ:
  case SSL_ERROR_WANT_WRITE:
    return kTlsNeedInput;
  case SSL_ERROR_ZERO_RETURN:
    return kTlsClosed;
  case SSL_ERROR_SYSCALL:
    if (ERR_peek_error() == 0) {
      // The server dropped the connection without a TLS goodbye.
      if (errno == 0) {
        return kTlsClosed;
      }
      error = lastSocketError();
      stream.lastFailure = errorText(errno);
      return kTlsFailed;
    }
    [[fallthrough]];
  default:
    stream.lastFailure = openSslErrorText();
    error = wsa::kConnectionAborted;
    return kTlsFailed;
  }
}

long tlsSend(TlsStream& stream, const void* bytes, size_t size, int& error) {
  ERR_clear_error();
  size_t done = 0;
  while (done < size) {
    int piece = static_cast<int>(std::min<size_t>(size - done, INT_MAX));
    errno = 0;
    int sent = SSL_write(stream.ssl, static_cast<const char*>(bytes) + done, piece);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    int reason = SSL_get_error(stream.ssl, sent);
    int slice = 0;
    if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ) {
      if (!nextSlice(0, false, slice)) {
        error = wsa::kConnectionAborted;
        return kTlsFailed;
      }
      if (reason == SSL_ERROR_WANT_WRITE) {
        waitWritable(stream.sock, slice);
      } else {
        waitReadable(stream.sock, slice);
      }
      continue;
    }
    if (reason == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
      error = lastSocketError();
      stream.lastFailure = errorText(errno);
    } else {
      error = wsa::kConnectionAborted;
      stream.lastFailure = openSslErrorText();
    }
    return kTlsFailed;
  }
  return static_cast<long>(done);
}

size_t tlsBuffered(const TlsStream& stream) {
  int pending = SSL_pending(stream.ssl);
  return pending > 0 ? static_cast<size_t>(pending) : 0;
}

} // namespace km
