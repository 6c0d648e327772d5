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
// Every wait, for input or for room to send, looks at the stop flag at least every
// half second and ends as if the connection had closed once it is raised. A wait
// for input also looks at the partner connection at least every half second, also
// while bytes keep arriving: a server that stalls, or trickles a byte at a time,
// cannot hold a session whose client has gone.
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
// The longest line a connection takes unless its session chooses otherwise. Mail
// lines are at most 998 bytes by the standards and rarely much longer in
// practice; a peer that sends a line of a megabyte is broken or hostile, and the
// connection fails instead of the memory filling up. Sessions bound their
// clients' commands far lower.
inline constexpr size_t kLongestLine = 1024 * 1024;

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
  // The longest line readLine takes before the connection fails.
  size_t lineLimit = kLongestLine;
  // A read or a send that sees nothing move for this many seconds fails the
  // connection with the time-out code (an ordinary end, never shown to the user);
  // -1 for no limit. Sessions set it on their client: the idle time-out.
  int idleLimitSec = -1;
  // Whether a send that waits for room also ends when the partner has ended. Set
  // on the server side of a session: a server that stops reading cannot hold a
  // session whose client has gone.
  bool sendWatchesPartner = false;
  // When the partner was last looked at. Looking costs system calls, so while
  // bytes keep arriving it happens at most every half second.
  uint64_t partnerCheckedAtMs = 0;

  LineSocket() = default;
  LineSocket(const LineSocket&) = delete;
  LineSocket& operator=(const LineSocket&) = delete;
  ~LineSocket();
};

// A socket-backed object owning `sock`, or a memory-only one.
void initSocket(LineSocket& ls, SocketHandle sock);
void initMemory(LineSocket& ls);

// Ties the two connections of a session: a wait for input on either ends when
// the other has ended, and so does a send to the server that waits for room.
void pairSession(LineSocket& client, LineSocket& upstream);

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
// for the next call. A line longer than the object's lineLimit fails the
// connection (LS_ERROR, the "message too long" code).
std::optional<std::string> readLine(LineSocket& ls, int timeoutSec);

// Whether a read would return at once (buffered bytes, waiting input, an end or an
// error).
bool pollInput(LineSocket& ls);

// Waits until either connection has something to read (or has ended): 0 for the
// first, 1 for the second. LS_TIMEOUT when the time-out (seconds, -1 for none)
// passed, LS_CLOSED when the stop flag was raised.
int waitForEither(LineSocket& first, LineSocket& second, int timeoutSec);

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

// Sends what the connection takes at once, without waiting and without touching
// the object's buffers or state, so another thread may call it while the owner
// waits elsewhere (the time-out prevention keeps a waiting client busy this way;
// it must never block on a client that stopped reading). The owner must have
// nothing buffered meanwhile. Returns the count taken (0 when there is no room),
// or -1 when the connection failed. A memory-only object collects everything.
long sendWithoutWaiting(LineSocket& ls, const void* bytes, size_t len);

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
