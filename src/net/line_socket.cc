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
// What fillInput answers when bytes arrived; otherwise a result of readChar.
constexpr int kFilled = -2;

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

} // namespace

void LineSocket::fail(int error) {
  LineSocket& ls = *this;
  ls.state_ = SocketState::Error;
  ls.lastError_ = error;
}

// The partner has ended when it is no longer open, or when its socket reports the
// end of the stream or an error. Bytes it still holds keep it alive.
bool LineSocket::partnerEnded() const {
  const LineSocket& ls = *this;
  const LineSocket* partner = ls.partner_;
  if (partner == nullptr || partner->hasBufferedInput()) {
    return false;
  }
  if (partner->state_ != SocketState::Open) {
    return true;
  }
  if (partner->memoryOnly_ || partner->socket_ == kInvalidSocket) {
    return false;
  }
  if (waitReadable(partner->socket_, 0) != 1) {
    return false;
  }
  int ignored = 0;
  int peeked = peekByte(partner->socket_, true, ignored);
  return peeked == 0 || peeked == -1;
}

// Whether the partner has ended, looked at when the last look is half a second
// old: often enough to end a session soon after its peer left, seldom enough to
// cost nothing while bytes stream in.
bool LineSocket::partnerGoneNow() {
  LineSocket& ls = *this;
  if (ls.partner_ == nullptr) {
    return false;
  }
  uint64_t now = tickCountMs();
  if (ls.partnerCheckedAtMs_ != 0 && now - ls.partnerCheckedAtMs_ < kSliceMs) {
    return false;
  }
  ls.partnerCheckedAtMs_ = now;
  return ls.partnerEnded();
}

// A big line pushed back, or a replayed message, may have grown the input buffer;
// once it is drained it goes back to its usual size.
void LineSocket::shrinkDrainedInput() {
  LineSocket& ls = *this;
  if (ls.inPos_ >= ls.inCount_ && ls.inBuf_.size() > kLineSocketInputSize) {
    std::vector<uint8_t>(kLineSocketInputSize).swap(ls.inBuf_);
    ls.inPos_ = ls.inCount_ = 0;
  }
}

bool LineSocket::readableNow(int waitMs) {
  LineSocket& ls = *this;
  if (ls.tls_ && tlsBuffered(*ls.tls_) > 0) {
    return true;
  }
  return waitReadable(ls.socket_, waitMs) != 0;
}

// Receives into `buffer`: a count, 0 for the end, -1 for an error (state set), or
// -2 when TLS needs more bytes from the network before it has any to give.
long LineSocket::receiveSome(void* buffer, size_t size) {
  LineSocket& ls = *this;
  int error = 0;
  long got;
  if (ls.tls_) {
    got = tlsReceive(*ls.tls_, buffer, size, error);
    if (got == kTlsNeedInput) {
      return -2;
    }
  } else {
    got = receiveBytes(ls.socket_, buffer, size, error);
  }
  if (got == 0) {
    ls.state_ = SocketState::Closed;
  } else if (got < 0) {
    ls.fail(error);
    return -1;
  }
  return got;
}

// Waits for room to send after a send found none: false (with the state set)
// when shutdown began, the partner ended (if this side watches it while sending)
// or nothing moved for the idle limit since `movedAtMs`.
bool LineSocket::waitForRoom(uint64_t movedAtMs) {
  LineSocket& ls = *this;
  for (;;) {
    int ready = waitWritable(ls.socket_, kSliceMs);
    if (stopRequested() || (ls.sendWatchesPartner_ && ls.partnerGoneNow())) {
      ls.state_ = SocketState::Closed;
      return false;
    }
    if (ready != 0) {
      return true; // room, or a failure the next send reports
    }
    if (ls.idleLimitSec_ >= 0 &&
        tickCountMs() - movedAtMs >= static_cast<uint64_t>(ls.idleLimitSec_) * 1000u) {
      ls.fail(wsa::kTimedOut);
      return false;
    }
  }
}

bool LineSocket::sendAll(const uint8_t* bytes, size_t len) {
  LineSocket& ls = *this;
  size_t done = 0;
  uint64_t movedAt = tickCountMs();
  while (done < len) {
    size_t piece = std::min(len - done, kLargestSend);
    int error = 0;
    long sent = ls.tls_ ? tlsSend(*ls.tls_, bytes + done, piece, error)
                        : sendBytesNoWait(ls.socket_, bytes + done, piece, error);
    if (sent == -2) {
      // A peer that stops reading must not hold the thread beyond shutdown.
      if (!ls.waitForRoom(movedAt)) {
        return false;
      }
      continue;
    }
    if (sent < 0) {
      ls.fail(error);
      return false;
    }
    done += static_cast<size_t>(sent);
    movedAt = tickCountMs();
  }
  return true;
}

void LineSocket::appendOutput(const void* bytes, size_t len) {
  LineSocket& ls = *this;
  if (ls.outCount_ + len > ls.outBuf_.size()) {
    ls.outBuf_.resize(ls.outCount_ + len);
  }
  std::memcpy(ls.outBuf_.data() + ls.outCount_, bytes, len);
  ls.outCount_ += len;
}

// Waits for input and receives it into the empty input buffer: kFilled when bytes
// arrived, otherwise the result readChar reports.
int LineSocket::fillInput(int timeoutSec) {
  LineSocket& ls = *this;
  ls.shrinkDrainedInput();
  if (ls.partnerGoneNow()) {
    ls.state_ = SocketState::Closed;
    return kReadClosed;
  }
  // Bytes that are there already are taken without a wait (and the system call
  // the wait costs); only an empty socket is waited on.
  if (!ls.tls_ && !stopRequested()) {
    int error = 0;
    long got = receiveWaitingBytes(ls.socket_, ls.inBuf_.data(), ls.inBuf_.size(), error);
    if (got != -2) {
      ls.inPos_ = 0;
      ls.inCount_ = 0;
      if (got > 0) {
        ls.inCount_ = static_cast<size_t>(got);
        return kFilled;
      }
      if (got == 0) {
        ls.state_ = SocketState::Closed;
      } else {
        ls.fail(error);
      }
      return ls.endResult();
    }
  }
  Deadline deadline(timeoutSec < 0 ? -1 : int64_t{timeoutSec} * 1000);
  Deadline idle(ls.idleLimitSec_ < 0 ? -1 : int64_t{ls.idleLimitSec_} * 1000);
  for (;;) {
    bool readable = false;
    bool partnerGone = false;
    for (;;) {
      readable = ls.readableNow(std::min(deadline.slice(), idle.slice()));
      // Looked at even while bytes arrive: a peer that trickles them must not
      // keep the session going after its partner left.
      partnerGone = ls.partnerGoneNow();
      if (readable || partnerGone || stopRequested() || deadline.passed() || idle.passed()) {
        break;
      }
    }
    if (stopRequested() || partnerGone) {
      ls.state_ = SocketState::Closed;
      return kReadClosed;
    }
    if (!readable) {
      if (deadline.passed()) {
        return kReadTimeout;
      }
      ls.fail(wsa::kTimedOut); // silent for the idle limit
      return kReadError;
    }
    ls.inPos_ = 0;
    ls.inCount_ = 0;
    long got = ls.receiveSome(ls.inBuf_.data(), ls.inBuf_.size());
    if (got > 0) {
      ls.inCount_ = static_cast<size_t>(got);
      return kFilled;
    }
    if (got != -2) {
      return ls.endResult();
    }
    // A partial TLS record: wait for the rest within the same budget.
  }
}

LineSocket::~LineSocket() {
  close();
}

void LineSocket::reset(bool memoryOnly, SocketHandle socket) {
  close();
  memoryOnly_ = memoryOnly;
  socket_ = socket;
  partner_ = nullptr;
  if (memoryOnly) {
    inBuf_.clear();
  } else {
    inBuf_.assign(kLineSocketInputSize, 0);
  }
  outBuf_.assign(kLineSocketOutputSize, 0);
  inCount_ = inPos_ = outCount_ = 0;
  state_ = SocketState::Open;
  lastError_ = 0;
  tls_.reset();
  lineLimit_ = kLongestLine;
  idleLimitSec_ = -1;
  sendWatchesPartner_ = false;
  partnerCheckedAtMs_ = 0;
}

void LineSocket::attach(SocketHandle socket) {
  reset(false, socket);
}

void LineSocket::useMemory() {
  reset(true, kInvalidSocket);
}

void LineSocket::abandon() {
  socket_ = kInvalidSocket;
  state_ = SocketState::Closed;
}

int LineSocket::endResult() const {
  switch (state_) {
  case SocketState::Error:
    return kReadError;
  case SocketState::Closed:
    return kReadClosed;
  case SocketState::Open:
    break;
  }
  return kFilled;
}

void pairSession(LineSocket& client, LineSocket& upstream) {
  client.partner_ = &upstream;
  upstream.partner_ = &client;
  upstream.sendWatchesPartner_ = true;
}

void LineSocket::close() {
  LineSocket& ls = *this;
  if (!ls.memoryOnly_ && ls.socket_ == kInvalidSocket) {
    return;
  }
  ls.tls_.reset();
  if (!ls.memoryOnly_) {
    closeSocket(ls.socket_);
    ls.socket_ = kInvalidSocket;
  }
  std::vector<uint8_t>().swap(ls.inBuf_);
  std::vector<uint8_t>().swap(ls.outBuf_);
  ls.inCount_ = ls.inPos_ = ls.outCount_ = 0;
  if (ls.state_ == SocketState::Open) {
    ls.state_ = SocketState::Closed;
  }
}

bool LineSocket::hasBufferedInput() const {
  const LineSocket& ls = *this;
  return ls.inPos_ < ls.inCount_ || (ls.tls_ && tlsBuffered(*ls.tls_) > 0);
}

int LineSocket::readChar(int timeoutSec) {
  LineSocket& ls = *this;
  if (ls.inPos_ >= ls.inCount_) {
    if (ls.memoryOnly_) {
      ls.state_ = SocketState::Closed;
      return kReadClosed;
    }
    if (ls.state_ != SocketState::Open) {
      return ls.endResult();
    }
    int filled = ls.fillInput(timeoutSec);
    if (filled != kFilled) {
      return filled;
    }
  }
  return ls.inBuf_[ls.inPos_++];
}

std::optional<std::string> LineSocket::readLine(int timeoutSec) {
  LineSocket& ls = *this;
  std::string line;
  for (;;) {
    // Take whole runs of buffered bytes up to the next line feed.
    if (ls.inPos_ < ls.inCount_) {
      const uint8_t* start = ls.inBuf_.data() + ls.inPos_;
      size_t available = ls.inCount_ - ls.inPos_;
      const void* feed = std::memchr(start, '\n', available);
      size_t take =
          feed ? static_cast<size_t>(static_cast<const uint8_t*>(feed) - start) + 1 : available;
      line.append(reinterpret_cast<const char*>(start), take);
      ls.inPos_ += take;
      if (feed && line.size() >= 2 && line[line.size() - 2] == '\r') {
        return line;
      }
      if (feed && ls.bareLineFeedEndsLine_) {
        line.insert(line.size() - 1, 1, '\r');
        return line;
      }
      if (line.size() > ls.lineLimit_) {
        ls.fail(wsa::kMessageSize);
        return std::nullopt;
      }
      continue;
    }
    int byte = ls.readChar(timeoutSec);
    if (byte == kReadTimeout) {
      ls.unread(line.data(), line.size());
      return std::nullopt;
    }
    // A line cut short by shutdown is not a command the peer sent: it is dropped.
    if (byte < 0 || stopRequested()) {
      if (line.empty() || stopRequested()) {
        if (ls.state_ == SocketState::Open) {
          ls.state_ = SocketState::Closed;
        }
        return std::nullopt;
      }
      return line;
    }
    // The byte goes back into the buffer so the run above takes it.
    --ls.inPos_;
  }
}

bool LineSocket::pollInput() {
  LineSocket& ls = *this;
  if (ls.hasBufferedInput() || ls.state_ != SocketState::Open) {
    return true;
  }
  if (ls.memoryOnly_ || waitReadable(ls.socket_, 0) == 0) {
    return false;
  }
  int error = 0;
  int peeked = peekByte(ls.socket_, true, error);
  if (peeked == -1) {
    ls.fail(error);
  } else if (peeked == 0) {
    ls.state_ = SocketState::Closed;
  }
  return peeked != -2;
}

int waitForEither(LineSocket& first, LineSocket& second, int timeoutSec) {
  auto readyNow = [](const LineSocket& ls) {
    return ls.hasBufferedInput() || ls.state_ != SocketState::Open || ls.socket_ == kInvalidSocket;
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
      return kReadClosed;
    }
    if (deadline.passed()) {
      return kReadTimeout;
    }
    int ready = waitReadableEither(first.socket_, second.socket_, deadline.slice());
    if (ready < 0 || (ready & 1) != 0) {
      return 0; // a failed wait is left to the read to report
    }
    if ((ready & 2) != 0) {
      return 1;
    }
  }
}

long LineSocket::sendWithoutWaiting(const void* bytes, size_t len) {
  LineSocket& ls = *this;
  if (ls.memoryOnly_) {
    ls.appendOutput(bytes, len);
    return static_cast<long>(len);
  }
  if (ls.socket_ == kInvalidSocket || ls.tls_) {
    return -1; // the clients this serves are plain connections
  }
  int error = 0;
  long sent = sendBytesNoWait(ls.socket_, bytes, len, error);
  return sent == -2 ? 0 : sent;
}

bool LineSocket::sendNow(const void* bytes, size_t len) {
  if (memoryOnly_) {
    appendOutput(bytes, len);
    return true;
  }
  if (outCount_ > 0 && !flush()) {
    return false;
  }
  return sendAll(static_cast<const uint8_t*>(bytes), len);
}

bool LineSocket::sendString(std::string_view text) {
  return sendNow(text.data(), text.size());
}

bool LineSocket::write(const void* bytes, size_t len) {
  if (memoryOnly_) {
    appendOutput(bytes, len);
    return true;
  }
  size_t capacity = outBuf_.size();
  if (len > capacity) {
    return sendNow(bytes, len);
  }
  const uint8_t* source = static_cast<const uint8_t*>(bytes);
  if (outCount_ + len > capacity) {
    size_t first = capacity - outCount_;
    std::memcpy(outBuf_.data() + outCount_, source, first);
    outCount_ = capacity;
    if (!flush()) {
      return false;
    }
    source += first;
    len -= first;
  }
  std::memcpy(outBuf_.data() + outCount_, source, len);
  outCount_ += len;
  return true;
}

void LineSocket::setOutputCapacity(size_t bytes) {
  if (!memoryOnly_) {
    outBuf_.resize(std::max({bytes, outCount_, kLineSocketOutputSize}));
  }
}

bool LineSocket::writeString(std::string_view text) {
  return write(text.data(), text.size());
}

bool LineSocket::flush() {
  if (memoryOnly_ || outCount_ == 0) {
    return true;
  }
  if (!sendAll(outBuf_.data(), outCount_)) {
    return false;
  }
  outCount_ = 0;
  return true;
}

void LineSocket::unread(const void* bytes, size_t len) {
  LineSocket& ls = *this;
  if (len == 0) {
    return;
  }
  size_t waiting = ls.inCount_ - ls.inPos_;
  if (ls.inPos_ > 0) {
    std::memmove(ls.inBuf_.data(), ls.inBuf_.data() + ls.inPos_, waiting);
    ls.inPos_ = 0;
    ls.inCount_ = waiting;
  }
  if (waiting + len > ls.inBuf_.size()) {
    ls.inBuf_.resize(waiting + len);
  }
  std::memmove(ls.inBuf_.data() + len, ls.inBuf_.data(), waiting);
  std::memcpy(ls.inBuf_.data(), bytes, len);
  ls.inCount_ = waiting + len;
}

std::string_view LineSocket::memoryOutput() const {
  const LineSocket& ls = *this;
  return {reinterpret_cast<const char*>(ls.outBuf_.data()), ls.outCount_};
}

bool LineSocket::startTls(const TlsClientOptions& options, int timeoutMs, std::string& failure) {
  LineSocket& ls = *this;
  if (ls.memoryOnly_ || ls.socket_ == kInvalidSocket || ls.state_ != SocketState::Open || ls.tls_) {
    failure = "the connection is not open for a secure start";
    return false;
  }
  if (!ls.flush()) {
    failure = socketErrorText(ls.lastError_);
    return false;
  }
  if (ls.inPos_ < ls.inCount_) {
    shutdownSending(ls.socket_);
    ls.state_ = SocketState::Closed;
    failure = "the server sent data before the secure connection began";
    return false;
  }
  ls.tls_ = startTlsClient(ls.socket_, options, timeoutMs, failure);
  if (!ls.tls_) {
    // Nothing may go out in the clear once the secure start failed.
    shutdownSending(ls.socket_);
    ls.fail(wsa::kConnectionAborted);
    return false;
  }
  return true;
}

BlockReader::BlockReader(LineSocket& source, uint32_t maxBytes, std::string_view terminator,
                         uint32_t timeoutMs)
    : source_(source), maxBytes_(maxBytes), terminator_(terminator), timeoutMs_(timeoutMs) {}

bool BlockReader::read() {
  LineSocket& source = source_;
  Deadline deadline(timeoutMs_);
  const size_t termLen = terminator_.size();
  dataLen_ = 0;
  size_t scanned = 0;
  bool ended = false;
  bool partnerGone = false;

  auto room = [&](size_t wanted) {
    size_t take = std::min<size_t>(wanted, maxBytes_ - dataLen_);
    if (dataLen_ + take > data_.size()) {
      data_.resize(std::max(dataLen_ + take, data_.size() * 2));
    }
    return take;
  };
  // Ends the run at `end` within data; the bytes after it go back to the source.
  auto cutAt = [&](size_t end) {
    terminatorFound_ = true;
    source.unread(data_.data() + end, dataLen_ - end);
    dataLen_ = end;
  };

  for (;;) {
    if (source.inPos_ < source.inCount_) {
      size_t take = room(source.inCount_ - source.inPos_);
      std::memcpy(data_.data() + dataLen_, source.inBuf_.data() + source.inPos_, take);
      source.inPos_ += take;
      dataLen_ += take;
    } else if (source.memoryOnly_) {
      source.state_ = SocketState::Closed;
      ended = true;
    } else if (source.state_ == SocketState::Open) {
      source.shrinkDrainedInput();
      bool readable = source.readableNow(deadline.slice());
      // Looked at whether or not bytes came: a server that stalls mid-message, or
      // trickles it, must not hold a session whose client has gone.
      if (source.partnerGoneNow()) {
        source.state_ = SocketState::Closed;
        partnerGone = true;
      } else if (readable) {
        size_t wanted = kDefaultReadSize;
        if (source.tls_) {
          wanted = std::max(tlsBuffered(*source.tls_), kTlsReadSize);
        } else if (long waiting = bytesWaiting(source.socket_); waiting > 0) {
          wanted = static_cast<size_t>(waiting);
        }
        size_t take = room(wanted);
        long got = source.receiveSome(data_.data() + dataLen_, take);
        if (got > 0) {
          dataLen_ += static_cast<size_t>(got);
        } else if (got != -2) {
          ended = true;
        }
      }
    } else {
      ended = true;
    }

    if (!ended && termLen > 0 && !terminatorFound_) {
      // A terminator split across the previous read ends before any that lies
      // wholly in the new bytes, so it is looked for first.
      if (!carry_.empty() && scanned < termLen) {
        std::string joined = carry_;
        joined.append(reinterpret_cast<const char*>(data_.data()), std::min(termLen - 1, dataLen_));
        long inJoined = findBytes(joined.data(), joined.size(), terminator_.data(), termLen);
        if (inJoined >= 0 && static_cast<size_t>(inJoined) + termLen > carry_.size()) {
          cutAt(static_cast<size_t>(inJoined) + termLen - carry_.size());
        }
      }
      size_t from = scanned > termLen - 1 ? scanned - (termLen - 1) : 0;
      if (!terminatorFound_ && from < dataLen_) {
        long found = findBytes(data_.data() + from, dataLen_ - from, terminator_.data(), termLen);
        if (found >= 0) {
          cutAt(from + static_cast<size_t>(found) + termLen);
        }
      }
    }
    scanned = dataLen_;

    if (stopRequested() || ended || partnerGone || terminatorFound_ || dataLen_ >= maxBytes_ ||
        deadline.passed()) {
      break;
    }
  }

  // Shutdown ends the connection like the peer closing it; a caller looping on
  // read must not spin on empty runs.
  if (stopRequested() && source.state_ == SocketState::Open) {
    source.state_ = SocketState::Closed;
  }
  if (dataLen_ > 0) {
    ended = false;
  } else if (partnerGone || source.state_ != SocketState::Open) {
    ended = true;
  }
  if (!ended && termLen > 0 && !terminatorFound_ && dataLen_ > 0) {
    carry_.append(reinterpret_cast<const char*>(data_.data()), dataLen_);
    size_t keep = std::min(termLen - 1, carry_.size());
    carry_.erase(0, carry_.size() - keep);
  }
  return !ended;
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
