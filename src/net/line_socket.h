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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sockets.h"
#include "platform/tls.h"

namespace km {

// The state of a connection: open until it ends, then closed (by the peer, by
// this side or by shutdown) or failed, for good.
enum class SocketState { Open, Error, Closed };

// What readChar and waitForEither answer besides a byte value (0..255) or the
// index of a connection.
inline constexpr int kReadError = -1;
inline constexpr int kReadClosed = -3;
inline constexpr int kReadTimeout = -4;

inline constexpr size_t kLineSocketInputSize = 20480;
inline constexpr size_t kLineSocketOutputSize = 4096;
inline constexpr size_t kLargestSend = 65536;
// The longest line a connection takes unless its session chooses otherwise. Mail
// lines are at most 998 bytes by the standards and rarely much longer in
// practice; a peer that sends a line of a megabyte is broken or hostile, and the
// connection fails instead of the memory filling up. Sessions bound their
// clients' commands far lower.
inline constexpr size_t kLongestLine = 1024 * 1024;

class BlockReader;

// One connection (or a memory-only stand-in), owned by one session thread; only
// sendWithoutWaiting may be called from another thread. Closed when it goes.
class LineSocket {
public:
  LineSocket() = default;
  LineSocket(const LineSocket&) = delete;
  LineSocket& operator=(const LineSocket&) = delete;
  ~LineSocket();

  // Takes ownership of a connected socket, or becomes a memory-only object;
  // whatever the object held before is closed first.
  void attach(SocketHandle socket);
  void useMemory();

  // Closes the socket and frees the buffers; pending output is not flushed. A
  // second close does nothing. Reads after it report kReadClosed.
  void close();
  // Marks the connection ended without touching the socket (a socket another owner
  // has taken over, or one already closed).
  void abandon();

  SocketState state() const { return state_; }
  bool isOpen() const { return state_ == SocketState::Open; }
  bool failed() const { return state_ == SocketState::Error; }
  // The socket error code that made the state Error.
  int lastError() const { return lastError_; }
  // The socket, or kInvalidSocket once closed (and for a memory-only object).
  SocketHandle handle() const { return socket_; }
  bool connected() const { return socket_ != kInvalidSocket; }
  bool memoryOnly() const { return memoryOnly_; }
  bool secure() const { return tls_ != nullptr; }

  // A server connection: a line feed without a carriage return ends a line too,
  // and such a line is handed out ending in CR LF, as a client reading the server
  // directly would take it.
  void setBareLineFeedEndsLine(bool ends) { bareLineFeedEndsLine_ = ends; }
  // The longest line readLine takes before the connection fails.
  void setLineLimit(size_t bytes) { lineLimit_ = bytes; }
  size_t lineLimit() const { return lineLimit_; }
  // A read or a send that sees nothing move for this many seconds fails the
  // connection with the time-out code (an ordinary end, never shown to the user);
  // -1 for no limit. Sessions set it on their client: the idle time-out.
  void setIdleLimit(int seconds) { idleLimitSec_ = seconds; }
  int idleLimit() const { return idleLimitSec_; }
  // The partner connection of the same session (dependSocket); while
  // this one waits for input, a partner that has ended ends the wait as if this
  // connection had closed. pairSession sets it on both.
  void setPartner(LineSocket* partner) { partner_ = partner; }

  // The next byte (0..255), or kReadClosed, kReadError or kReadTimeout. A negative
  // time-out waits without limit. Buffered bytes are handed out even after the
  // connection ended.
  int readChar(int timeoutSec);
  // The next line with its CR LF. A lone LF is an ordinary byte (unless the object
  // takes a bare line feed as a line end). A line cut off by the end of the
  // connection is returned without a line end, and the call after it returns
  // nothing. On a time-out nothing is returned and the partial line stays for the
  // next call. A line longer than the line limit fails the connection (Error, the
  // "message too long" code).
  std::optional<std::string> readLine(int timeoutSec);
  // Whether a read would return at once (buffered bytes, waiting input, an end or
  // an error).
  bool pollInput();
  // Bytes the object holds that a read returns without waiting.
  bool hasBufferedInput() const;
  // The bytes already received and not yet read (no waiting), and taking the first
  // `count` of them as read.
  std::string_view bufferedInput() const {
    return {reinterpret_cast<const char*>(inBuf_.data() + inPos_), inCount_ - inPos_};
  }
  void consume(size_t count) { inPos_ += std::min(count, inCount_ - inPos_); }
  // Pushes bytes back so they are read before anything still buffered. On a
  // memory-only object this is how content is loaded.
  void unread(const void* bytes, size_t len);
  void unread(std::string_view bytes) { unread(bytes.data(), bytes.size()); }

  // Sending. sendNow flushes the buffer first, then sends at once; write buffers
  // and sends only when the buffer fills. On a memory-only object both append to
  // the collected output. False when the connection failed.
  bool sendNow(const void* bytes, size_t len);
  bool sendString(std::string_view text);
  bool write(const void* bytes, size_t len);
  bool writeString(std::string_view text);
  bool flush();
  // Bytes written and not yet sent.
  size_t bufferedOutput() const { return outCount_; }
  // Lets write collect up to this many bytes before it sends (never less than
  // the usual buffer): a relay of many small pieces then costs fewer sends. Set
  // after attach, which gives the usual size.
  void setOutputCapacity(size_t bytes);
  // The input buffer's capacity.
  size_t inputCapacity() const { return inBuf_.size(); }

  // Sends what the connection takes at once, without waiting and without touching
  // the object's buffers or state, so another thread may call it while the owner
  // waits elsewhere (the time-out prevention keeps a waiting client busy this way;
  // it must never block on a client that stopped reading). The owner must have
  // nothing buffered meanwhile. Returns the count taken (0 when there is no room),
  // or -1 when the connection failed. A memory-only object collects everything.
  long sendWithoutWaiting(const void* bytes, size_t len);

  // What a memory-only object has collected.
  std::string_view memoryOutput() const;

  // Switches an open connection to TLS (implicit TLS right after connecting, or in
  // place after a protocol's STARTTLS exchange). Output still buffered is flushed
  // first. Plain bytes already received past the STARTTLS reply would be read as
  // if they came over the secure connection, so they make the switch fail. On
  // failure the connection is marked ended and `failure` tells why.
  bool startTls(const TlsClientOptions& options, int timeoutMs, std::string& failure);

private:
  friend class BlockReader;
  friend void pairSession(LineSocket& client, LineSocket& upstream);
  friend int waitForEither(LineSocket& first, LineSocket& second, int timeoutSec);

  void reset(bool memoryOnly, SocketHandle socket);
  void fail(int error);
  bool partnerEnded() const;
  bool partnerGoneNow();
  void shrinkDrainedInput();
  bool readableNow(int waitMs);
  long receiveSome(void* buffer, size_t size);
  bool waitForRoom(uint64_t movedAtMs);
  bool sendAll(const uint8_t* bytes, size_t len);
  void appendOutput(const void* bytes, size_t len);
  int fillInput(int timeoutSec);
  int endResult() const;

  bool memoryOnly_ = false;
  SocketHandle socket_ = kInvalidSocket;
  LineSocket* partner_ = nullptr;
  std::vector<uint8_t> inBuf_; // its size is the input capacity
  std::vector<uint8_t> outBuf_;
  size_t inCount_ = 0;
  size_t inPos_ = 0; // never beyond inCount_
  size_t outCount_ = 0;
  SocketState state_ = SocketState::Open;
  int lastError_ = 0;
  bool bareLineFeedEndsLine_ = false;
  TlsStreamPtr tls_;
  size_t lineLimit_ = kLongestLine;
  int idleLimitSec_ = -1;
  // Whether a send that waits for room also ends when the partner has ended. Set
  // on the server side of a session: a server that stops reading cannot hold a
  // session whose client has gone.
  bool sendWatchesPartner_ = false;
  // When the partner was last looked at. Looking costs system calls, so while
  // bytes keep arriving it happens at most every half second.
  uint64_t partnerCheckedAtMs_ = 0;
};

// Ties the two connections of a session: a wait for input on either ends when
// the other has ended, and so does a send to the server that waits for room.
void pairSession(LineSocket& client, LineSocket& upstream);

// Waits until either connection has something to read (or has ended): 0 for the
// first, 1 for the second. kReadTimeout when the time-out (seconds, -1 for none)
// passed, kReadClosed when the stop flag was raised.
int waitForEither(LineSocket& first, LineSocket& second, int timeoutSec);

// Reads large runs from a connection: up to a byte limit, a time budget or a
// terminator. Whatever arrived past the terminator goes back to the connection.
// A caller looking for the next terminator uses a fresh reader.
class BlockReader {
public:
  // An empty terminator looks for none.
  BlockReader(LineSocket& source, uint32_t maxBytes, std::string_view terminator,
              uint32_t timeoutMs);

  // Gathers one run: true when the connection is still usable (bytes came, or the
  // time budget ran out), false when it ended or failed with nothing gathered.
  bool read();

  // The last run.
  std::string_view run() const { return {reinterpret_cast<const char*>(data_.data()), dataLen_}; }
  bool terminatorFound() const { return terminatorFound_; }

private:
  LineSocket& source_;
  uint32_t maxBytes_;
  std::string terminator_;
  uint32_t timeoutMs_;
  std::vector<uint8_t> data_; // the last run; its size is the capacity
  size_t dataLen_ = 0;
  bool terminatorFound_ = false;
  // The last bytes seen by earlier reads (fewer than the terminator's length), so
  // a terminator split between two reads is still found.
  std::string carry_;
};

// The index of the first occurrence of the needle, or -1.
long findBytes(const void* haystack, size_t haystackLen, const void* needle, size_t needleLen);

} // namespace km
