#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/files.h"

namespace km {

std::string instanceLockPath(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0' && directoryExists(runtime)) {
    std::string folder = runtime;
    if (folder.back() != '/') {
      folder += '/';
    }
    return folder + name;
  }
  std::string folder = temporaryDirectory() + "kestrelmail-" + std::to_string(::getuid());
  if (!directoryExists(folder)) {
    createDirectory(folder);
  }
  return folder + "/" + name;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_), state_(other.state_) {
  other.fd_ = -1;
  other.state_ = State::Unavailable;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    release();
    std::swap(fd_, other.fd_);
    std::swap(state_, other.state_);
  }
  return *this;
}

InstanceLock InstanceLock::acquire(const std::string& name) {
  InstanceLock lock;
  int fd = ::open(instanceLockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return lock;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    lock.state_ = errno == EWOULDBLOCK ? State::HeldElsewhere : State::Unavailable;
    return lock;
  }
  // The holder writes its process id into the file, for the message another copy
  // shows.
  // The lock holds without the note when it cannot be written.
  std::string pid = std::to_string(::getpid()) + "\n";
  bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) >= 0;
  (void)noted;
  lock.fd_ = fd;
  lock.state_ = State::Owned;
  return lock;
}

void InstanceLock::release() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
  state_ = State::Unavailable;
}

int instanceLockHolder(const std::string& name) {
  std::optional<std::string> text = readWholeFile(instanceLockPath(name));
  return text ? std::atoi(text->c_str()) : 0;
}

bool isInstanceLockHeld(const std::string& name) {
  int fd = ::open(instanceLockPath(name).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

} // namespace km
