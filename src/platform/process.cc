#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace km {

namespace {

std::string fileNamePart(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program a command line runs: its first word, or the second when the first is
// a loader (wine, wine64, wine-preloader) that was handed the program to run.
std::string programOfCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  for (size_t start = 0; start < commandLine.size() && words.size() < 2;) {
    size_t end = commandLine.find('\0', start);
    if (end == std::string::npos) {
      end = commandLine.size();
    }
    words.push_back(commandLine.substr(start, end - start));
    start = end + 1;
  }
  if (words.empty()) {
    return {};
  }
  std::string first = fileNamePart(words[0]);
  if (words.size() > 1 && startsWithIgnoreCase(first, "wine") && !words[1].empty()) {
    return fileNamePart(words[1]);
  }
  return first;
}

bool processExists(int pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Waits for a process that need not be a child of ours to end.
bool waitForEnd(int pid, int waitMs) {
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd >= 0) {
    pollfd entry{pidFd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&entry, 1, waitMs);
    } while (ready < 0 && errno == EINTR);
    ::close(pidFd);
    // Our own child stays a zombie until reaped; it has ended all the same.
    ::waitpid(pid, nullptr, WNOHANG);
    return ready > 0 || !processExists(pid);
  }
  if (errno == ESRCH) {
    return true;
  }
  uint64_t deadline = tickCountMs() + static_cast<uint64_t>(waitMs);
  while (processExists(pid)) {
    ::waitpid(pid, nullptr, WNOHANG);
    if (tickCountMs() >= deadline) {
      return false;
    }
    sleepMs(20);
  }
  return true;
}

} // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> processes;
  const int self = static_cast<int>(::getpid());
  for (const std::string& name : listDirectory("/proc", "")) {
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    int pid = readInt(name);
    if (pid == self) {
      continue;
    }
    std::optional<std::string> commandLine = readWholeFile("/proc/" + name + "/cmdline");
    if (!commandLine || commandLine->empty()) {
      continue; // kernel threads and processes that have just ended
    }
    processes.push_back({pid, programOfCommandLine(*commandLine)});
  }
  return processes;
}

bool processHasFileOpen(int pid, const std::string& path) {
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& fd : listDirectory(folder, "")) {
    char target[PATH_MAX];
    std::string link = folder + "/" + fd;
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == path) {
      return true;
    }
  }
  return false;
}

bool endProcess(int pid, int waitMs) {
  if (pid <= 0) {
    return false;
  }
  if (::kill(pid, SIGTERM) != 0) {
    return errno == ESRCH;
  }
  if (waitForEnd(pid, waitMs)) {
    return true;
  }
  ::kill(pid, SIGKILL);
  return waitForEnd(pid, waitMs);
}

bool startDetachedProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  // The child reports a failed exec through a pipe that exec closes.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return false;
  }
  pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    // The middle process starts a new session and leaves at once, so the program is
    // adopted by init and never waits as a zombie for a parent that ended.
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) {
      ::_exit(grandchild < 0 ? 1 : 0);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) {
        ::close(null);
      }
    }
    ::execv(program.c_str(), argv.data());
    int failure = errno;
    ssize_t ignored = ::write(report[1], &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int failure = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

} // namespace km
