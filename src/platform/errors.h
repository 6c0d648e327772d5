// System error numbers and their texts, and the mapping of errno values onto the
// numeric socket error codes the rest of the program reports ("(error 10054)").
#pragma once

#include <string>

namespace km {

// Socket error codes as the program reports and classifies them.
namespace wsa {
inline constexpr int kInterrupted = 10004;
inline constexpr int kBadFile = 10009;
inline constexpr int kAccessDenied = 10013;
inline constexpr int kFault = 10014;
inline constexpr int kInvalidArgument = 10022;
inline constexpr int kTooManyFiles = 10024;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAlready = 10037;
inline constexpr int kNotSocket = 10038;
inline constexpr int kDestinationRequired = 10039;
inline constexpr int kMessageSize = 10040;
inline constexpr int kProtocolType = 10041;
inline constexpr int kProtocolOption = 10042;
inline constexpr int kProtocolNotSupported = 10043;
inline constexpr int kSocketTypeNotSupported = 10044;
inline constexpr int kOperationNotSupported = 10045;
inline constexpr int kAddressFamilyNotSupported = 10047;
inline constexpr int kAddressInUse = 10048;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kNetworkDown = 10050;
inline constexpr int kNetworkUnreachable = 10051;
inline constexpr int kNetworkReset = 10052;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNoBufferSpace = 10055;
inline constexpr int kIsConnected = 10056;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutdown = 10058;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnectionRefused = 10061;
inline constexpr int kNameTooLong = 10063;
inline constexpr int kHostDown = 10064;
inline constexpr int kHostUnreachable = 10065;
inline constexpr int kHostNotFound = 11001; // authoritative "no such name" (NXDOMAIN)
inline constexpr int kTryAgain = 11002;     // server failure, temporary
inline constexpr int kNoRecovery = 11003;   // non-recoverable resolver error
inline constexpr int kNoData = 11004;       // the name exists but has no record of the type
} // namespace wsa

// The calling thread's errno.
int lastErrorNumber();

// The system's text for an errno value ("Connection refused").
std::string errorText(int errorNumber);

// The socket error code for an errno value; values without a counterpart map to
// 10000 + errno so that they stay distinct and printable.
int socketErrorFromErrno(int errorNumber);

// The socket error code for a resolver outcome: a getaddrinfo() EAI_* value, or
// a res_nquery() h_errno value (HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY, NO_DATA).
int socketErrorFromAddrInfo(int eaiCode);
int socketErrorFromResolver(int hErrno);

} // namespace km
