// Buffered connections to one peer. A LineSocket reads bytes and CR LF lines with
// time-outs, writes at once or through a small buffer, takes bytes pushed back in
// front of its input, and can tie its waits to a partner connection of the same
// session, so a session blocked on the server notices that the client went away
// (and the other way round). A memory-only LineSocket has no socket: it collects
// what is written to it and hands out what was pushed back into it, so the same
// line-reading code runs over a message held in memory.
//
// A BlockReader reads large runs from a LineSocket in one call, up to a byte
// limit, a time budget or a terminator such as "\r\n.\r\n", and gives back to the
// LineSocket whatever arrived past the terminator.
//
// Every wait looks at the stop flag at least every half second and ends as if the
// connection had closed once it is raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sockets.h"
#include "platform/tls.h"

namespace km {

// Connection states, and the results of readChar besides a byte value (0..255).
inline constexpr int LS_ERROR = -1;
inline constexpr int LS_OPEN = -2;
inline constexpr int LS_CLOSED = -3;
inline constexpr int LS_TIMEOUT = -4; // a result only, never a state

inline constexpr size_t kLineSocketInputSize = 20480;
inline constexpr size_t kLineSocketOutputSize = 4096;
inline constexpr size_t kLargestSend = 65536;
// No mail protocol has lines anywhere near this long; a peer that sends one is
// broken or hostile, and the connection fails instead of the memory running out.
inline constexpr size_t kLongestLine = 64u * 1024 * 1024;

struct LineSocket {
  bool memoryOnly = false;
  SocketHandle sock = kInvalidSocket;
  // The partner connection of the same session; while this one waits for input, a
  // partner that has ended ends the wait as if this connection had closed.
  LineSocket* dependSocket = nullptr;
  std::vector<uint8_t> inBuf; // its size is the input capacity
  std::vector<uint8_t> outBuf;
  size_t inCount = 0;
  size_t inPos = 0; // never beyond inCount
  size_t outCount = 0;
  // LS_OPEN until the connection ends; then LS_ERROR or LS_CLOSED for good.
  int state = LS_OPEN;
  int lastError = 0; // the socket error code that made the state LS_ERROR
  // Set for a server connection: a line feed without a carriage return ends a line
  // too, and such a line is handed out ending in CR LF, as a client reading the
  // server directly would take it.
  bool bareLineFeedEndsLine = false;
  // Set once the connection runs over TLS; bytes then pass through it.
  TlsStreamPtr tls;

  LineSocket() = default;
  LineSocket(const LineSocket&) = delete;
  LineSocket& operator=(const LineSocket&) = delete;
  ~LineSocket();
};

// A socket-backed object owning `sock`, or a memory-only one.
void initSocket(LineSocket& ls, SocketHandle sock);
void initMemory(LineSocket& ls);

// Closes the socket and frees the buffers; pending output is not flushed. A second
// close does nothing. Reads after it report LS_CLOSED.
void close(LineSocket& ls);

// The next byte (0..255), or LS_CLOSED, LS_ERROR or LS_TIMEOUT. A negative time-out
// waits without limit. Buffered bytes are handed out even after the connection
// ended.
int readChar(LineSocket& ls, int timeoutSec);

// The next line with its CR LF. A lone LF is an ordinary byte (unless the object
// takes a bare line feed as a line end). A line cut off by the
// end of the connection is returned without a line end, and the call after it
// returns nothing. On a time-out nothing is returned and the partial line stays
// for the next call. A line longer than kLongestLine fails the connection
// (LS_ERROR, the "message too long" code).
std::optional<std::string> readLine(LineSocket& ls, int timeoutSec);

// Whether a read would return at once (buffered bytes, waiting input, an end or an
// error).
bool pollInput(LineSocket& ls);

// Bytes the object holds that a read returns without waiting.
bool hasBufferedInput(const LineSocket& ls);

// Sending. A null object does nothing and succeeds (a session without an upstream
// connection). sendNow flushes the buffer first, then sends at once; write buffers
// and sends only when the buffer fills. On a memory-only object both append to
// the collected output. False when the connection failed.
bool sendNow(LineSocket* ls, const void* bytes, size_t len);
bool sendString(LineSocket* ls, std::string_view text);
bool write(LineSocket* ls, const void* bytes, size_t len);
bool writeString(LineSocket* ls, std::string_view text);
bool flush(LineSocket* ls);

// Pushes bytes back so they are read before anything still buffered. On a
// memory-only object this is how content is loaded.
void unread(LineSocket& ls, const void* bytes, size_t len);

// What a memory-only object has collected.
std::string_view memoryOutput(const LineSocket& ls);

// Switches an open connection to TLS (implicit TLS right after connecting, or in
// place after a protocol's STARTTLS exchange). Output still buffered is flushed
// first. Plain bytes already received past the STARTTLS reply would be read as if
// they came over the secure connection, so they make the switch fail. On failure
// the connection is marked ended and `failure` tells why.
bool startTls(LineSocket& ls, const TlsClientOptions& options, int timeoutMs, std::string& failure);

struct BlockReader {
  LineSocket* source = nullptr;
  uint32_t maxBytes = 0;
  std::string terminator; // empty for none
  uint32_t timeoutMs = 0;
  std::vector<uint8_t> data; // the last run; its size is the capacity
  size_t dataLen = 0;
  // Set once a read met the terminator; a caller looking for the next one uses a
  // fresh reader.
  bool terminatorFound = false;
  // The last bytes seen by earlier reads (fewer than the terminator's length), so
  // a terminator split between two reads is still found.
  std::string carry;
};

void init(BlockReader& br, LineSocket& source, uint32_t maxBytes, const char* terminator,
          uint32_t timeoutMs);
// Gathers one run into `data`: true when the connection is still usable (bytes
// came, or the time budget ran out), false when it ended or failed with nothing
// gathered.
bool read(BlockReader& br);
void free(BlockReader& br);

// The index of the first occurrence of the needle, or -1.
long findBytes(const void* haystack, size_t haystackLen, const void* needle, size_t needleLen);

} // namespace km
