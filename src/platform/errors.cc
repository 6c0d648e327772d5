#include "platform/errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace km {

int lastErrorNumber() {
  return errno;
}

std::string errorText(int errorNumber) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

int socketErrorFromErrno(int errorNumber) {
  switch (errorNumber) {
  case 0:
    return 0;
  case EINTR:
    return wsa::kInterrupted;
  case EBADF:
    return wsa::kBadFile;
  case EACCES:
  case EPERM:
    return wsa::kAccessDenied;
  case EFAULT:
    return wsa::kFault;
  case EINVAL:
    return wsa::kInvalidArgument;
  case EMFILE:
  case ENFILE:
    return wsa::kTooManyFiles;
  case EAGAIN:
    return wsa::kWouldBlock;
  case EINPROGRESS:
    return wsa::kInProgress;
  case EALREADY:
    return wsa::kAlready;
  case ENOTSOCK:
    return wsa::kNotSocket;
  case EDESTADDRREQ:
    return wsa::kDestinationRequired;
  case EMSGSIZE:
    return wsa::kMessageSize;
  case EPROTOTYPE:
    return wsa::kProtocolType;
  case ENOPROTOOPT:
    return wsa::kProtocolOption;
  case EPROTONOSUPPORT:
    return wsa::kProtocolNotSupported;
  case ESOCKTNOSUPPORT:
    return wsa::kSocketTypeNotSupported;
  case EOPNOTSUPP:
    return wsa::kOperationNotSupported;
  case EAFNOSUPPORT:
    return wsa::kAddressFamilyNotSupported;
  case EADDRINUSE:
    return wsa::kAddressInUse;
  case EADDRNOTAVAIL:
    return wsa::kAddressNotAvailable;
  case ENETDOWN:
    return wsa::kNetworkDown;
  case ENETUNREACH:
    return wsa::kNetworkUnreachable;
  case ENETRESET:
    return wsa::kNetworkReset;
  case ECONNABORTED:
    return wsa::kConnectionAborted;
  case ECONNRESET:
  case EPIPE:
    return wsa::kConnectionReset;
  case ENOBUFS:
  case ENOMEM:
    return wsa::kNoBufferSpace;
  case EISCONN:
    return wsa::kIsConnected;
  case ENOTCONN:
    return wsa::kNotConnected;
  case ESHUTDOWN:
    return wsa::kShutdown;
  case ETIMEDOUT:
    return wsa::kTimedOut;
  case ECONNREFUSED:
    return wsa::kConnectionRefused;
  case ENAMETOOLONG:
    return wsa::kNameTooLong;
  case EHOSTDOWN:
    return wsa::kHostDown;
  case EHOSTUNREACH:
    return wsa::kHostUnreachable;
  default:
    return 10000 + errorNumber;
  }
}

int socketErrorFromAddrInfo(int eaiCode) {
  switch (eaiCode) {
  case 0:
    return 0;
  case EAI_NONAME:
    return wsa::kHostNotFound;
  case EAI_AGAIN:
    return wsa::kTryAgain;
  case EAI_FAIL:
    return wsa::kNoRecovery;
#ifdef EAI_NODATA
  case EAI_NODATA:
    return wsa::kNoData;
#endif
#ifdef EAI_ADDRFAMILY
  case EAI_ADDRFAMILY:
    return wsa::kNoData;
#endif
  case EAI_MEMORY:
    return wsa::kNoBufferSpace;
  case EAI_SYSTEM:
    return socketErrorFromErrno(errno);
  default:
    return wsa::kNoRecovery;
  }
}

int socketErrorFromResolver(int hErrno) {
  switch (hErrno) {
  case 0:
    return 0;
  case HOST_NOT_FOUND:
    return wsa::kHostNotFound;
  case TRY_AGAIN:
    return wsa::kTryAgain;
  case NO_DATA:
    return wsa::kNoData;
  default:
    return wsa::kNoRecovery;
  }
}

} // namespace km
