// Reading and writing open descriptors: anonymous pipes between the program and
// its plug-ins, and the positioned reads and writes of temporary files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace km {

// A new anonymous pipe. A write to a pipe whose reader has gone fails (with
// EPIPE) instead of ending the process. False (errno set) when none could be
// made.
bool createPipe(UniqueFd& readEnd, UniqueFd& writeEnd);

// Writes every byte, repeating after partial writes and interruptions. False
// (errno set) at the first failure.
bool writeAll(int fd, const void* bytes, size_t length);

// Reads what is available, up to `capacity` bytes, waiting for at least one:
// the count, 0 at the end of the input, -1 (errno set) on failure.
long readSome(int fd, void* buffer, size_t capacity);

// Bytes a write to a pipe that has room takes in one piece without waiting.
inline constexpr size_t kPipeAtomicBytes = 4096;

enum class DescriptorWait { Ready, TimedOut, Failed };

// Waits at most `milliseconds` until a read would not wait (data, the end of the
// input, or an error to report), or until a write of up to kPipeAtomicBytes would
// not wait (room, or a reader that went away). Failed only when the wait itself
// failed.
DescriptorWait waitUntilReadable(int fd, int milliseconds);
DescriptorWait waitUntilWritable(int fd, int milliseconds);

// Positioned transfers that leave the descriptor's own position alone.
bool writeAllAt(int fd, const void* bytes, size_t length, uint64_t offset);
// Reads up to `length` bytes at the offset: the count (short only at the end of
// the file), or -1 (errno set).
long readAt(int fd, void* buffer, size_t length, uint64_t offset);

// Cuts or extends the file to `size` bytes.
bool resizeFile(int fd, uint64_t size);
// Moves the descriptor's position to the start of the file.
bool rewindFile(int fd);

} // namespace km
