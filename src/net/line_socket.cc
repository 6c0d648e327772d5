#include "net/line_socket.h"

#include <algorithm>
#include <cstring>

#include "net/socket_errors.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr int kSliceMs = 500;
constexpr size_t kTlsReadSize = 16384;
constexpr size_t kDefaultReadSize = 1024;

// A time budget measured from its creation; none when the limit is negative.
struct Deadline {
  uint64_t start = tickCountMs();
  int64_t limitMs;
  explicit Deadline(int64_t limit) : limitMs(limit) {}
  bool limited() const { return limitMs >= 0; }
  int64_t elapsed() const { return static_cast<int64_t>(tickCountMs() - start); }
  bool passed() const { return limited() && elapsed() >= limitMs; }
  // The next wait: half a second, or less when the budget ends sooner.
  int slice() const {
    if (!limited()) {
      return kSliceMs;
    }
    return static_cast<int>(std::clamp<int64_t>(limitMs - elapsed(), 0, kSliceMs));
  }
};

void fail(LineSocket& ls, int error) {
  ls.state = LS_ERROR;
  ls.lastError = error;
}

// The partner has ended when it is no longer open, or when its socket reports the
// end of the stream or an error. Bytes it still holds keep it alive.
bool partnerEnded(const LineSocket& ls) {
  const LineSocket* partner = ls.dependSocket;
  if (partner == nullptr || hasBufferedInput(*partner)) {
    return false;
  }
  if (partner->state != LS_OPEN) {
    return true;
  }
  if (partner->memoryOnly || partner->sock == kInvalidSocket) {
    return false;
  }
  if (waitReadable(partner->sock, 0) != 1) {
    return false;
  }
  int ignored = 0;
  int peeked = peekByte(partner->sock, true, ignored);
  return peeked == 0 || peeked == -1;
}

// Whether the partner has ended, looked at when the last look is half a second
// old: often enough to end a session soon after its peer left, seldom enough to
// cost nothing while bytes stream in.
bool partnerGoneNow(LineSocket& ls) {
  if (ls.dependSocket == nullptr) {
    return false;
  }
  uint64_t now = tickCountMs();
  if (ls.partnerCheckedAtMs != 0 && now - ls.partnerCheckedAtMs < kSliceMs) {
    return false;
  }
  ls.partnerCheckedAtMs = now;
  return partnerEnded(ls);
}

// A big line pushed back, or a replayed message, may have grown the input buffer;
// once it is drained it goes back to its usual size.
void shrinkDrainedInput(LineSocket& ls) {
  if (ls.inPos >= ls.inCount && ls.inBuf.size() > kLineSocketInputSize) {
    std::vector<uint8_t>(kLineSocketInputSize).swap(ls.inBuf);
    ls.inPos = ls.inCount = 0;
  }
}

bool readableNow(LineSocket& ls, int waitMs) {
  if (ls.tls && tlsBuffered(*ls.tls) > 0) {
    return true;
  }
  return waitReadable(ls.sock, waitMs) != 0;
}

// Receives into `buffer`: a count, 0 for the end, -1 for an error (state set), or
// -2 when TLS needs more bytes from the network before it has any to give.
long receiveSome(LineSocket& ls, void* buffer, size_t size) {
  int error = 0;
  long got;
  if (ls.tls) {
    got = tlsReceive(*ls.tls, buffer, size, error);
    if (got == kTlsNeedInput) {
      return -2;
    }
  } else {
    got = receiveBytes(ls.sock, buffer, size, error);
  }
  if (got == 0) {
    ls.state = LS_CLOSED;
  } else if (got < 0) {
    fail(ls, error);
    return -1;
  }
  return got;
}

// Waits for room to send after a send found none: false (with the state set)
// when shutdown began, the partner ended (if this side watches it while sending)
// or nothing moved for the idle limit since `movedAtMs`.
bool waitForRoom(LineSocket& ls, uint64_t movedAtMs) {
  for (;;) {
    int ready = waitWritable(ls.sock, kSliceMs);
    if (stopRequested() || (ls.sendWatchesPartner && partnerGoneNow(ls))) {
      ls.state = LS_CLOSED;
      return false;
    }
    if (ready != 0) {
      return true; // room, or a failure the next send reports
    }
    if (ls.idleLimitSec >= 0 &&
        tickCountMs() - movedAtMs >= static_cast<uint64_t>(ls.idleLimitSec) * 1000u) {
      fail(ls, wsa::kTimedOut);
      return false;
    }
  }
}

bool sendAll(LineSocket& ls, const uint8_t* bytes, size_t len) {
  size_t done = 0;
  uint64_t movedAt = tickCountMs();
  while (done < len) {
    size_t piece = std::min(len - done, kLargestSend);
    int error = 0;
    long sent = ls.tls ? tlsSend(*ls.tls, bytes + done, piece, error)
                       : sendBytesNoWait(ls.sock, bytes + done, piece, error);
    if (sent == -2) {
      // A peer that stops reading must not hold the thread beyond shutdown.
      if (!waitForRoom(ls, movedAt)) {
        return false;
      }
      continue;
    }
    if (sent < 0) {
      fail(ls, error);
      return false;
    }
    done += static_cast<size_t>(sent);
    movedAt = tickCountMs();
  }
  return true;
}

void appendOutput(LineSocket& ls, const void* bytes, size_t len) {
  if (ls.outCount + len > ls.outBuf.size()) {
    ls.outBuf.resize(ls.outCount + len);
  }
  std::memcpy(ls.outBuf.data() + ls.outCount, bytes, len);
  ls.outCount += len;
}

// Waits for input and receives it into the empty input buffer: LS_OPEN when bytes
// arrived, otherwise the result readChar reports.
int fillInput(LineSocket& ls, int timeoutSec) {
  shrinkDrainedInput(ls);
  if (partnerGoneNow(ls)) {
    ls.state = LS_CLOSED;
    return LS_CLOSED;
  }
  // Bytes that are there already are taken without a wait (and the system call
  // the wait costs); only an empty socket is waited on.
  if (!ls.tls && !stopRequested()) {
    int error = 0;
    long got = receiveWaitingBytes(ls.sock, ls.inBuf.data(), ls.inBuf.size(), error);
    if (got != -2) {
      ls.inPos = 0;
      ls.inCount = 0;
      if (got > 0) {
        ls.inCount = static_cast<size_t>(got);
        return LS_OPEN;
      }
      if (got == 0) {
        ls.state = LS_CLOSED;
      } else {
        fail(ls, error);
      }
      return ls.state;
    }
  }
  Deadline deadline(timeoutSec < 0 ? -1 : int64_t{timeoutSec} * 1000);
  Deadline idle(ls.idleLimitSec < 0 ? -1 : int64_t{ls.idleLimitSec} * 1000);
  for (;;) {
    bool readable = false;
    bool partnerGone = false;
    for (;;) {
      readable = readableNow(ls, std::min(deadline.slice(), idle.slice()));
      // Looked at even while bytes arrive: a peer that trickles them must not
      // keep the session going after its partner left.
      partnerGone = partnerGoneNow(ls);
      if (readable || partnerGone || stopRequested() || deadline.passed() || idle.passed()) {
        break;
      }
    }
    if (stopRequested() || partnerGone) {
      ls.state = LS_CLOSED;
      return LS_CLOSED;
    }
    if (!readable) {
      if (deadline.passed()) {
        return LS_TIMEOUT;
      }
      fail(ls, wsa::kTimedOut); // silent for the idle limit
      return LS_ERROR;
    }
    ls.inPos = 0;
    ls.inCount = 0;
    long got = receiveSome(ls, ls.inBuf.data(), ls.inBuf.size());
    if (got > 0) {
      ls.inCount = static_cast<size_t>(got);
      return LS_OPEN;
    }
    if (got != -2) {
      return ls.state;
    }
    // A partial TLS record: wait for the rest within the same budget.
  }
}

} // namespace

LineSocket::~LineSocket() {
  close(*this);
}

void initSocket(LineSocket& ls, SocketHandle sock) {
  close(ls);
  ls.memoryOnly = false;
  ls.sock = sock;
  ls.dependSocket = nullptr;
  ls.inBuf.assign(kLineSocketInputSize, 0);
  ls.outBuf.assign(kLineSocketOutputSize, 0);
  ls.inCount = ls.inPos = ls.outCount = 0;
  ls.state = LS_OPEN;
  ls.lastError = 0;
  ls.tls.reset();
  ls.lineLimit = kLongestLine;
  ls.idleLimitSec = -1;
  ls.sendWatchesPartner = false;
  ls.partnerCheckedAtMs = 0;
}

void pairSession(LineSocket& client, LineSocket& upstream) {
  client.dependSocket = &upstream;
  upstream.dependSocket = &client;
  upstream.sendWatchesPartner = true;
}

void initMemory(LineSocket& ls) {
  close(ls);
  ls.memoryOnly = true;
  ls.sock = kInvalidSocket;
  ls.dependSocket = nullptr;
  ls.inBuf.clear();
  ls.outBuf.assign(kLineSocketOutputSize, 0);
  ls.inCount = ls.inPos = ls.outCount = 0;
  ls.state = LS_OPEN;
  ls.lastError = 0;
  ls.lineLimit = kLongestLine;
  ls.idleLimitSec = -1;
  ls.sendWatchesPartner = false;
  ls.partnerCheckedAtMs = 0;
}

void close(LineSocket& ls) {
  if (!ls.memoryOnly && ls.sock == kInvalidSocket) {
    return;
  }
  ls.tls.reset();
  if (!ls.memoryOnly) {
    closeSocket(ls.sock);
    ls.sock = kInvalidSocket;
  }
  std::vector<uint8_t>().swap(ls.inBuf);
  std::vector<uint8_t>().swap(ls.outBuf);
  ls.inCount = ls.inPos = ls.outCount = 0;
  if (ls.state == LS_OPEN) {
    ls.state = LS_CLOSED;
  }
}

bool hasBufferedInput(const LineSocket& ls) {
  return ls.inPos < ls.inCount || (ls.tls && tlsBuffered(*ls.tls) > 0);
}

int readChar(LineSocket& ls, int timeoutSec) {
  if (ls.inPos >= ls.inCount) {
    if (ls.memoryOnly) {
      ls.state = LS_CLOSED;
      return LS_CLOSED;
    }
    if (ls.state != LS_OPEN) {
      return ls.state;
    }
    int filled = fillInput(ls, timeoutSec);
    if (filled != LS_OPEN) {
      return filled;
    }
  }
  return ls.inBuf[ls.inPos++];
}

std::optional<std::string> readLine(LineSocket& ls, int timeoutSec) {
  std::string line;
  for (;;) {
    // Take whole runs of buffered bytes up to the next line feed.
    if (ls.inPos < ls.inCount) {
      const uint8_t* start = ls.inBuf.data() + ls.inPos;
      size_t available = ls.inCount - ls.inPos;
      const void* feed = std::memchr(start, '\n', available);
      size_t take =
          feed ? static_cast<size_t>(static_cast<const uint8_t*>(feed) - start) + 1 : available;
      line.append(reinterpret_cast<const char*>(start), take);
      ls.inPos += take;
      if (feed && line.size() >= 2 && line[line.size() - 2] == '\r') {
        return line;
      }
      if (feed && ls.bareLineFeedEndsLine) {
        line.insert(line.size() - 1, 1, '\r');
        return line;
      }
      if (line.size() > ls.lineLimit) {
        fail(ls, wsa::kMessageSize);
        return std::nullopt;
      }
      continue;
    }
    int byte = readChar(ls, timeoutSec);
    if (byte == LS_TIMEOUT) {
      unread(ls, line.data(), line.size());
      return std::nullopt;
    }
    // A line cut short by shutdown is not a command the peer sent: it is dropped.
    if (byte < 0 || stopRequested()) {
      if (line.empty() || stopRequested()) {
        if (ls.state == LS_OPEN) {
          ls.state = LS_CLOSED;
        }
        return std::nullopt;
      }
      return line;
    }
    // The byte goes back into the buffer so the run above takes it.
    --ls.inPos;
  }
}

bool pollInput(LineSocket& ls) {
  if (hasBufferedInput(ls) || ls.state != LS_OPEN) {
    return true;
  }
  if (ls.memoryOnly || waitReadable(ls.sock, 0) == 0) {
    return false;
  }
  int error = 0;
  int peeked = peekByte(ls.sock, true, error);
  if (peeked == -1) {
    fail(ls, error);
  } else if (peeked == 0) {
    ls.state = LS_CLOSED;
  }
  return peeked != -2;
}

int waitForEither(LineSocket& first, LineSocket& second, int timeoutSec) {
  auto readyNow = [](const LineSocket& ls) {
    return hasBufferedInput(ls) || ls.state != LS_OPEN || ls.sock == kInvalidSocket;
  };
  Deadline deadline(timeoutSec < 0 ? -1 : int64_t{timeoutSec} * 1000);
  for (;;) {
    if (readyNow(first)) {
      return 0;
    }
    if (readyNow(second)) {
      return 1;
    }
    if (stopRequested()) {
      return LS_CLOSED;
    }
    if (deadline.passed()) {
      return LS_TIMEOUT;
    }
    int ready = waitReadableEither(first.sock, second.sock, deadline.slice());
    if (ready < 0 || (ready & 1) != 0) {
      return 0; // a failed wait is left to the read to report
    }
    if ((ready & 2) != 0) {
      return 1;
    }
  }
}

long sendWithoutWaiting(LineSocket& ls, const void* bytes, size_t len) {
  if (ls.memoryOnly) {
    appendOutput(ls, bytes, len);
    return static_cast<long>(len);
  }
  if (ls.sock == kInvalidSocket || ls.tls) {
    return -1; // the clients this serves are plain connections
  }
  int error = 0;
  long sent = sendBytesNoWait(ls.sock, bytes, len, error);
  return sent == -2 ? 0 : sent;
}

bool sendNow(LineSocket* ls, const void* bytes, size_t len) {
  if (ls == nullptr) {
    return true;
  }
  if (ls->memoryOnly) {
    appendOutput(*ls, bytes, len);
    return true;
  }
  if (ls->outCount > 0 && !flush(ls)) {
    return false;
  }
  return sendAll(*ls, static_cast<const uint8_t*>(bytes), len);
}

bool sendString(LineSocket* ls, std::string_view text) {
  return sendNow(ls, text.data(), text.size());
}

bool write(LineSocket* ls, const void* bytes, size_t len) {
  if (ls == nullptr) {
    return true;
  }
  if (ls->memoryOnly) {
    appendOutput(*ls, bytes, len);
    return true;
  }
  size_t capacity = ls->outBuf.size();
  if (len > capacity) {
    return sendNow(ls, bytes, len);
  }
  const uint8_t* source = static_cast<const uint8_t*>(bytes);
  if (ls->outCount + len > capacity) {
    size_t first = capacity - ls->outCount;
    std::memcpy(ls->outBuf.data() + ls->outCount, source, first);
    ls->outCount = capacity;
    if (!flush(ls)) {
      return false;
    }
    source += first;
    len -= first;
  }
  std::memcpy(ls->outBuf.data() + ls->outCount, source, len);
  ls->outCount += len;
  return true;
}

bool writeString(LineSocket* ls, std::string_view text) {
  return write(ls, text.data(), text.size());
}

bool flush(LineSocket* ls) {
  if (ls == nullptr || ls->memoryOnly || ls->outCount == 0) {
    return true;
  }
  if (!sendAll(*ls, ls->outBuf.data(), ls->outCount)) {
    return false;
  }
  ls->outCount = 0;
  return true;
}

void unread(LineSocket& ls, const void* bytes, size_t len) {
  if (len == 0) {
    return;
  }
  size_t waiting = ls.inCount - ls.inPos;
  if (ls.inPos > 0) {
    std::memmove(ls.inBuf.data(), ls.inBuf.data() + ls.inPos, waiting);
    ls.inPos = 0;
    ls.inCount = waiting;
  }
  if (waiting + len > ls.inBuf.size()) {
    ls.inBuf.resize(waiting + len);
  }
  std::memmove(ls.inBuf.data() + len, ls.inBuf.data(), waiting);
  std::memcpy(ls.inBuf.data(), bytes, len);
  ls.inCount = waiting + len;
}

std::string_view memoryOutput(const LineSocket& ls) {
  return {reinterpret_cast<const char*>(ls.outBuf.data()), ls.outCount};
}

bool startTls(LineSocket& ls, const TlsClientOptions& options, int timeoutMs,
              std::string& failure) {
  if (ls.memoryOnly || ls.sock == kInvalidSocket || ls.state != LS_OPEN || ls.tls) {
    failure = "the connection is not open for a secure start";
    return false;
  }
  if (!flush(&ls)) {
    failure = socketErrorText(ls.lastError);
    return false;
  }
  if (ls.inPos < ls.inCount) {
    shutdownSending(ls.sock);
    ls.state = LS_CLOSED;
    failure = "the server sent data before the secure connection began";
    return false;
  }
  ls.tls = startTlsClient(ls.sock, options, timeoutMs, failure);
  if (!ls.tls) {
    // Nothing may go out in the clear once the secure start failed.
    shutdownSending(ls.sock);
    fail(ls, wsa::kConnectionAborted);
    return false;
  }
  return true;
}

void init(BlockReader& br, LineSocket& source, uint32_t maxBytes, const char* terminator,
          uint32_t timeoutMs) {
  br = BlockReader{};
  br.source = &source;
  br.maxBytes = maxBytes;
  br.terminator = terminator ? terminator : "";
  br.timeoutMs = timeoutMs;
}

bool read(BlockReader& br) {
  LineSocket& source = *br.source;
  Deadline deadline(br.timeoutMs);
  const size_t termLen = br.terminator.size();
  br.dataLen = 0;
  size_t scanned = 0;
  bool ended = false;
  bool partnerGone = false;

  auto room = [&](size_t wanted) {
    size_t take = std::min<size_t>(wanted, br.maxBytes - br.dataLen);
    if (br.dataLen + take > br.data.size()) {
      br.data.resize(std::max(br.dataLen + take, br.data.size() * 2));
    }
    return take;
  };
  // Ends the run at `end` within data; the bytes after it go back to the source.
  auto cutAt = [&](size_t end) {
    br.terminatorFound = true;
    unread(source, br.data.data() + end, br.dataLen - end);
    br.dataLen = end;
  };

  for (;;) {
    if (source.inPos < source.inCount) {
      size_t take = room(source.inCount - source.inPos);
      std::memcpy(br.data.data() + br.dataLen, source.inBuf.data() + source.inPos, take);
      source.inPos += take;
      br.dataLen += take;
    } else if (source.memoryOnly) {
      source.state = LS_CLOSED;
      ended = true;
    } else if (source.state == LS_OPEN) {
      shrinkDrainedInput(source);
      bool readable = readableNow(source, deadline.slice());
      // Looked at whether or not bytes came: a server that stalls mid-message, or
      // trickles it, must not hold a session whose client has gone.
      if (partnerGoneNow(source)) {
        source.state = LS_CLOSED;
        partnerGone = true;
      } else if (readable) {
        size_t wanted = kDefaultReadSize;
        if (source.tls) {
          wanted = std::max(tlsBuffered(*source.tls), kTlsReadSize);
        } else if (long waiting = bytesWaiting(source.sock); waiting > 0) {
          wanted = static_cast<size_t>(waiting);
        }
        size_t take = room(wanted);
        long got = receiveSome(source, br.data.data() + br.dataLen, take);
        if (got > 0) {
          br.dataLen += static_cast<size_t>(got);
        } else if (got != -2) {
          ended = true;
        }
      }
    } else {
      ended = true;
    }

    if (!ended && termLen > 0 && !br.terminatorFound) {
      // A terminator split across the previous read ends before any that lies
      // wholly in the new bytes, so it is looked for first.
      if (!br.carry.empty() && scanned < termLen) {
        std::string joined = br.carry;
        joined.append(reinterpret_cast<const char*>(br.data.data()),
                      std::min(termLen - 1, br.dataLen));
        long inJoined = findBytes(joined.data(), joined.size(), br.terminator.data(), termLen);
        if (inJoined >= 0 && static_cast<size_t>(inJoined) + termLen > br.carry.size()) {
          cutAt(static_cast<size_t>(inJoined) + termLen - br.carry.size());
        }
      }
      size_t from = scanned > termLen - 1 ? scanned - (termLen - 1) : 0;
      if (!br.terminatorFound && from < br.dataLen) {
        long found =
            findBytes(br.data.data() + from, br.dataLen - from, br.terminator.data(), termLen);
        if (found >= 0) {
          cutAt(from + static_cast<size_t>(found) + termLen);
        }
      }
    }
    scanned = br.dataLen;

    if (stopRequested() || ended || partnerGone || br.terminatorFound ||
        br.dataLen >= br.maxBytes || deadline.passed()) {
      break;
    }
  }

  // Shutdown ends the connection like the peer closing it; a caller looping on
  // read must not spin on empty runs.
  if (stopRequested() && source.state == LS_OPEN) {
    source.state = LS_CLOSED;
  }
  if (br.dataLen > 0) {
    ended = false;
  } else if (partnerGone || source.state != LS_OPEN) {
    ended = true;
  }
  if (!ended && termLen > 0 && !br.terminatorFound && br.dataLen > 0) {
    br.carry.append(reinterpret_cast<const char*>(br.data.data()), br.dataLen);
    size_t keep = std::min(termLen - 1, br.carry.size());
    br.carry.erase(0, br.carry.size() - keep);
  }
  return !ended;
}

void free(BlockReader& br) {
  std::vector<uint8_t>().swap(br.data);
  br.dataLen = 0;
  br.carry.clear();
  br.carry.shrink_to_fit();
}

long findBytes(const void* haystack, size_t haystackLen, const void* needle, size_t needleLen) {
  if (needleLen == 0 || needleLen > haystackLen) {
    return -1;
  }
  const uint8_t* text = static_cast<const uint8_t*>(haystack);
  const uint8_t* pattern = static_cast<const uint8_t*>(needle);
  const uint8_t* last = text + (haystackLen - needleLen);
  const uint8_t* at = text;
  while (at <= last) {
    const void* first = std::memchr(at, pattern[0], static_cast<size_t>(last - at) + 1);
    if (first == nullptr) {
      return -1;
    }
    at = static_cast<const uint8_t*>(first);
    if (std::memcmp(at, pattern, needleLen) == 0) {
      return at - text;
    }
    ++at;
  }
  return -1;
}

} // namespace km
