#include "message/pipe_pumps.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>

#include "diag/error_report.h"
#include "message/message.h"
#include "platform/descriptors.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/threads.h"

namespace km {

namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(10);
constexpr size_t kWriterPiece = 65536;
constexpr size_t kSmallReadBuffer = 32768;
constexpr size_t kLargeReadBuffer = 131072;
constexpr size_t kHeaderReadPiece = 4096;
// How often a waiting transfer looks whether the plug-in call has returned.
constexpr int kWaitSliceMs = 100;

// One pump's worker thread: runs the jobs its start calls hand over, one at a time.
class PumpWorker {
public:
  // Hands the job to the worker, starting the thread when none runs. When no thread
  // can be started the failure is reported and `abandon` ends the transfer instead.
  void start(std::function<void()> job, const std::function<void()>& abandon) {
    std::unique_lock lock(mutex_);
    job_ = std::move(job);
    done_ = false;
    if (!running_) {
      running_ = startDetachedThread([this] { run(); });
      if (!running_) {
        job_ = nullptr;
        done_ = true;
        lock.unlock();
        reportSystemError({}, nullptr);
        abandon();
        return;
      }
    }
    changed_.notify_all();
  }

  void waitUntilDone() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
  }

private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!changed_.wait_for(lock, kIdleTimeout, [this] { return job_ != nullptr; })) {
        if (stopRequested() || !anySessionActive()) {
          running_ = false;
          return;
        }
        continue;
      }
      std::function<void()> job = std::move(job_);
      job_ = nullptr;
      lock.unlock();
      job();
      lock.lock();
      done_ = true;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = false;
  bool done_ = true;
  std::function<void()> job_;
};

// What one transfer works on; kept by its pump between the start and finish calls.
struct Transfer {
  Message* message = nullptr;
  UniqueFd pipe;
  const BodyCopy* body = nullptr; // the body writer's source
  uint64_t oldBodySize = 0;       // the body reader's guide for its buffer
  BodyCopy newBody;               // what the body reader collects
  std::string received;           // the header reader's block
};

struct Pump {
  PumpWorker worker;
  Transfer transfer;
  // When the plug-in call returned (tickCountMs), 0 while it runs.
  std::atomic<uint64_t> callerReturnedAt{0};
  // Set by the worker when it gave the transfer up.
  std::atomic<bool> abandoned{false};
};

// The pumps live as long as the process: their workers may still wait when it ends.
Pump& bodyWriter() {
  static Pump* pump = new Pump;
  return *pump;
}
Pump& bodyReader() {
  static Pump* pump = new Pump;
  return *pump;
}
Pump& headerReader() {
  static Pump* pump = new Pump;
  return *pump;
}

std::recursive_mutex& pumpLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

void startTransfer(Pump& pump, std::function<void()> job) {
  pump.callerReturnedAt.store(0);
  pump.abandoned.store(false);
  pump.worker.start(std::move(job), [&pump] { pump.transfer.pipe.reset(); });
}

// Waits until the pipe can be read or written. False when the transfer is given
// up: the plug-in call has returned and the pipe has not moved for the drain limit
// since then (or since `lastMoved`, whichever is later).
bool awaitPipe(Pump& pump, bool writing, uint64_t lastMoved) {
  int fd = pump.transfer.pipe.get();
  for (;;) {
    DescriptorWait wait =
        writing ? waitUntilWritable(fd, kWaitSliceMs) : waitUntilReadable(fd, kWaitSliceMs);
    if (wait != DescriptorWait::TimedOut) {
      return true; // the read or write that follows tells how it went
    }
    uint64_t returned = pump.callerReturnedAt.load();
    if (returned != 0 &&
        tickCountMs() - std::max(returned, lastMoved) >= static_cast<uint64_t>(kPipeDrainLimitMs)) {
      pump.abandoned.store(true);
      return false;
    }
  }
}

// The finish call's side: the plug-in call has returned; wait for the worker.
PipeTransfer awaitTransfer(Pump& pump) {
  pump.callerReturnedAt.store(std::max<uint64_t>(tickCountMs(), 1));
  pump.worker.waitUntilDone();
  return pump.abandoned.load() ? PipeTransfer::Abandoned : PipeTransfer::Complete;
}

void writeBody(Pump& pump) {
  Transfer& transfer = pump.transfer;
  uint64_t lastMoved = tickCountMs();
  forEachBodyPiece(*transfer.body, kWriterPiece, [&](std::string_view piece) {
    // Pieces a pipe with room takes without waiting, so that a reader that stops
    // reading cannot hold the writer in a write.
    while (!piece.empty()) {
      if (!awaitPipe(pump, true, lastMoved)) {
        return false;
      }
      size_t length = std::min(piece.size(), kPipeAtomicBytes);
      if (!writeAll(transfer.pipe.get(), piece.data(), length)) {
        return false;
      }
      piece.remove_prefix(length);
      lastMoved = tickCountMs();
    }
    return true;
  });
  transfer.pipe.reset();
}

// A buffer near the size of the body being replaced; smaller ones are tried when
// memory is short. Without any, the rewritten body cannot be taken and the program
// cannot go on.
std::string readBuffer(uint64_t oldSize) {
  size_t size = kSmallReadBuffer;
  if (oldSize > kLargeReadBuffer) {
    size = kLargeReadBuffer;
  } else if (oldSize > kSmallReadBuffer) {
    size = static_cast<size_t>(oldSize);
  }
  for (; size > 16; size /= 2) {
    try {
      return std::string(size, '\0');
    } catch (const std::bad_alloc&) {
    }
  }
  showMessage("Fatal error from Kestrelmail",
              "Unable to allocate memory to receive rewritten message body - Kestrelmail must exit",
              NoticeIcon::Stop);
  std::_Exit(1);
}

// Reads the pipe to its end (or until the transfer is given up), handing each
// piece to `keep`.
template <typename Keep> void drainPipe(Pump& pump, char* buffer, size_t size, Keep keep) {
  uint64_t lastMoved = tickCountMs();
  while (awaitPipe(pump, false, lastMoved)) {
    long got = readSome(pump.transfer.pipe.get(), buffer, size);
    if (got <= 0) {
      break;
    }
    keep(std::string_view(buffer, static_cast<size_t>(got)));
    lastMoved = tickCountMs();
  }
  pump.transfer.pipe.reset();
}

void readBody(Pump& pump) {
  Transfer& transfer = pump.transfer;
  std::string buffer = readBuffer(transfer.oldBodySize);
  bool storing = true;
  drainPipe(pump, buffer.data(), buffer.size(), [&](std::string_view piece) {
    // After a storage failure (already reported) the pipe is still drained, so that
    // the plug-in is not left blocked on a full pipe.
    storing = storing && appendToBody(*transfer.message, transfer.newBody, piece);
  });
}

void readHeaderBlock(Pump& pump) {
  char piece[kHeaderReadPiece];
  drainPipe(pump, piece, sizeof piece,
            [&](std::string_view bytes) { pump.transfer.received.append(bytes); });
}

} // namespace

void StartBodyWriter(Message& message, UniqueFd writeEnd, bool pristine) {
  pumpLock().lock();
  Pump& pump = bodyWriter();
  pump.transfer.message = &message;
  pump.transfer.pipe = std::move(writeEnd);
  pump.transfer.body = &bodyOf(message, pristine);
  startTransfer(pump, [&pump] { writeBody(pump); });
}

PipeTransfer FinishBodyWriter() {
  Pump& pump = bodyWriter();
  PipeTransfer outcome = awaitTransfer(pump);
  pump.transfer = Transfer{};
  pumpLock().unlock();
  return outcome;
}

void StartBodyReader(Message& message, UniqueFd readEnd) {
  pumpLock().lock();
  Pump& pump = bodyReader();
  pump.transfer.message = &message;
  pump.transfer.pipe = std::move(readEnd);
  pump.transfer.oldBodySize = message.body.size;
  startTransfer(pump, [&pump] { readBody(pump); });
}

PipeTransfer FinishBodyReader() {
  Pump& pump = bodyReader();
  PipeTransfer outcome = awaitTransfer(pump);
  Message& message = *pump.transfer.message;
  message.body = std::move(pump.transfer.newBody);
  refreshBodySizes(message);
  pump.transfer = Transfer{};
  pumpLock().unlock();
  return outcome;
}

void StartHeaderReader(Message& message, UniqueFd readEnd) {
  pumpLock().lock();
  Pump& pump = headerReader();
  pump.transfer.message = &message;
  pump.transfer.pipe = std::move(readEnd);
  startTransfer(pump, [&pump] { readHeaderBlock(pump); });
}

PipeTransfer FinishHeaderReader() {
  Pump& pump = headerReader();
  PipeTransfer outcome = awaitTransfer(pump);
  Message& message = *pump.transfer.message;
  std::string_view block = pump.transfer.received;
  message.headerLines.clear();
  while (!block.empty()) {
    size_t end = block.find("\r\n");
    size_t length = end == std::string_view::npos ? block.size() : end + 2;
    AppendHeaderData(message, block.substr(0, length), false);
    block.remove_prefix(length);
  }
  pump.transfer = Transfer{};
  pumpLock().unlock();
  return outcome;
}

} // namespace km
