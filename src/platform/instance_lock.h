// The single-instance lock: an exclusive lock on a per-user file of the given name
// in $XDG_RUNTIME_DIR (else in a private folder under the temporary folder). The
// lock goes with the process, so a crashed instance never leaves it behind.
#pragma once

#include <string>

namespace km {

inline constexpr const char* kInstanceLockName = "KestrelmailMutex";

class InstanceLock {
public:
  enum class State { Owned, HeldElsewhere, Unavailable };

  InstanceLock() = default;
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() { release(); }

  // Takes the lock if no other process holds it. Unavailable means the lock file
  // could not be opened at all (the instance then runs without it).
  static InstanceLock acquire(const std::string& name);

  State state() const { return state_; }
  void release();

private:
  int fd_ = -1;
  State state_ = State::Unavailable;
};

// The process id the holder of the lock wrote into it; 0 when there is none.
int instanceLockHolder(const std::string& name);

// Whether some process holds the lock, without taking it (the setup wizard asks).
bool isInstanceLockHeld(const std::string& name);

// Where the lock file of that name lives for this user.
std::string instanceLockPath(const std::string& name);

} // namespace km
