#include "platform/descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace km {

namespace {

// Plug-ins and pump workers may close their end of a pipe early; the other side
// must then see a failed write, not a signal that ends the program.
void ignoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// Repeats a write call after partial writes and interruptions until every byte is
// written; the call gets the bytes left and how many were written before them.
template <typename WriteCall> bool writeInFull(const void* bytes, size_t length, WriteCall call) {
  const char* next = static_cast<const char*>(bytes);
  uint64_t done = 0;
  while (length > 0) {
    ssize_t wrote = call(next, length, done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    next += wrote;
    length -= static_cast<size_t>(wrote);
    done += static_cast<uint64_t>(wrote);
  }
  return true;
}

} // namespace

bool createPipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  ignoreBrokenPipes();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return false;
  }
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  return true;
}

bool writeAll(int fd, const void* bytes, size_t length) {
  return writeInFull(bytes, length, [fd](const char* next, size_t left, uint64_t) {
    return ::write(fd, next, left);
  });
}

long readSome(int fd, void* buffer, size_t capacity) {
  for (;;) {
    ssize_t got = ::read(fd, buffer, capacity);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    return static_cast<long>(got);
  }
}

namespace {

DescriptorWait waitFor(int fd, short events, int milliseconds) {
  pollfd entry{fd, events, 0};
  for (;;) {
    int ready = ::poll(&entry, 1, milliseconds);
    if (ready < 0 && errno == EINTR) {
      continue; // a signal is no reason to end a wait early
    }
    if (ready < 0) {
      return DescriptorWait::Failed;
    }
    return ready == 0 ? DescriptorWait::TimedOut : DescriptorWait::Ready;
  }
}

} // namespace

DescriptorWait waitUntilReadable(int fd, int milliseconds) {
  return waitFor(fd, POLLIN, milliseconds);
}

DescriptorWait waitUntilWritable(int fd, int milliseconds) {
  return waitFor(fd, POLLOUT, milliseconds);
}

bool writeAllAt(int fd, const void* bytes, size_t length, uint64_t offset) {
  return writeInFull(bytes, length, [fd, offset](const char* next, size_t left, uint64_t done) {
    return ::pwrite(fd, next, left, static_cast<off_t>(offset + done));
  });
}

long readAt(int fd, void* buffer, size_t length, uint64_t offset) {
  char* next = static_cast<char*>(buffer);
  size_t total = 0;
  while (total < length) {
    ssize_t got = ::pread(fd, next + total, length - total, static_cast<off_t>(offset + total));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    total += static_cast<size_t>(got);
  }
  return static_cast<long>(total);
}

bool resizeFile(int fd, uint64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool rewindFile(int fd) {
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

} // namespace km
