#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/threads.h"

namespace km {

namespace {

constexpr int kOpenAttempts = 10;

unsigned randomPauseMs() {
  // Seeded once per thread, on its first failure, from the tick count and thread id.
  thread_local std::minstd_rand generator(static_cast<unsigned>(tickCountMs()) + currentThreadId());
  return 100 + static_cast<unsigned>(generator() % 100);
}

} // namespace

File openFileRetrying(const std::string& path, const char* mode) {
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    errno = 0;
    if (FILE* stream = std::fopen(path.c_str(), mode)) {
      return File(stream);
    }
    int failure = errno;
    if (failure == ENOENT) {
      return nullptr;
    }
    if (attempt < kOpenAttempts) {
      sleepMs(randomPauseMs());
    }
    if (failure != 0) {
      errno = failure;
      return nullptr;
    }
  }
  return nullptr;
}

bool closeFile(File& file) {
  FILE* stream = file.release();
  if (stream == nullptr) {
    return true;
  }
  bool hadError = std::ferror(stream) != 0;
  int result = std::fclose(stream);
  if (hadError && result == 0) {
    errno = EIO;
  }
  return result == 0 && !hadError;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset(other.release());
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UniqueFd::reset(int fd) {
  bool ok = true;
  if (fd_ >= 0) {
    ok = ::close(fd_) == 0;
  }
  fd_ = fd;
  return ok;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool directoryExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool createDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0;
}

UniqueFd openForAppending(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.valid() && ::lseek(fd.get(), 0, SEEK_END) < 0) {
    int failure = errno;
    fd.reset();
    errno = failure;
  }
  return fd;
}

File streamOverDescriptor(UniqueFd& fd, const char* mode) {
  File stream(::fdopen(fd.get(), mode));
  if (stream) {
    fd.release();
  }
  return stream;
}

std::optional<int64_t> openFileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(info.st_size);
}

bool renameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string canonicalPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved.string();
}

bool removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool removeDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

bool copyFileNoOverwrite(const std::string& from, const std::string& to) {
  UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    return false;
  }
  UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!target.valid()) {
    return false;
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(source.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t wrote = ::write(target.get(), buffer + done, static_cast<size_t>(got - done));
      if (wrote < 0 && errno == EINTR) {
        continue;
      }
      if (wrote < 0) {
        return false;
      }
      done += wrote;
    }
  }
  return target.reset();
}

std::optional<std::string> readWholeFile(const std::string& path) {
  File file = openFileRetrying(path, "rb");
  if (!file) {
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
  }
  if (std::ferror(file.get())) {
    return std::nullopt;
  }
  return text;
}

bool replaceFileContents(const std::string& givenPath, std::string_view bytes) {
  // A link is followed, so the file it names gets the bytes and the link stays.
  std::string path = linkTarget(givenPath);
  mode_t mode;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if ((info.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
      errno = EACCES;
      return false;
    }
    mode = info.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary;
  UniqueFd fd = createUniqueFile(folder, "." + name + ".", temporary);
  if (!fd.valid()) {
    return false;
  }
  bool ok = ::fchmod(fd.get(), mode) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    ok = wrote > 0;
    done += ok ? static_cast<size_t>(wrote) : 0;
  }
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.reset() && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    int failure = errno;
    ::unlink(temporary.c_str());
    errno = failure;
  }
  return ok;
}

std::optional<std::string> readLinkTarget(const std::string& path) {
  char target[PATH_MAX];
  ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
  if (length < 0) {
    return std::nullopt;
  }
  return std::string(target, static_cast<size_t>(length));
}

std::optional<unsigned> fileMode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return static_cast<unsigned>(info.st_mode & 07777);
}

bool setFileMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

std::string linkTarget(const std::string& path) {
  // A link to a link is followed too, as far as the targets exist.
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    std::string target = resolved;
    std::free(resolved);
    return target;
  }
  return path;
}

std::optional<int64_t> modificationTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

int64_t currentFileTime() {
  // File systems stamp modification times from the coarse clock; reading the same
  // clock keeps "written after this moment" comparisons honest.
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::vector<std::string> listDirectory(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    return names;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    if (name.compare(0, prefix.size(), prefix) == 0) {
      names.push_back(std::move(name));
    }
  }
  ::closedir(dir);
  return names;
}

std::vector<std::string> listEntriesOfKind(const std::string& directory, EntryKind kind) {
  std::vector<std::string> names;
  std::string folder = directory;
  if (!folder.empty() && folder.back() != '/') {
    folder += '/';
  }
  for (std::string& name : listDirectory(folder, "")) {
    struct stat status {};
    if (::stat((folder + name).c_str(), &status) != 0) {
      continue;
    }
    bool wanted = kind == EntryKind::Folder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    if (wanted) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string executableDirectory() {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) {
    return "./";
  }
  std::string path(buffer, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

std::string temporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  if (folder.back() != '/') {
    folder += '/';
  }
  return folder;
}

UniqueFd createDeleteOnCloseFile(const std::string& prefix) {
  std::string path;
  UniqueFd fd = createUniqueFile(temporaryDirectory(), prefix, path);
  if (fd.valid()) {
    ::unlink(path.c_str());
  }
  return fd;
}

UniqueFd createUniqueFile(const std::string& folder, const std::string& prefix, std::string& path) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '/') {
    pattern += '/';
  }
  pattern += prefix + "XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    return UniqueFd();
  }
  path = pattern;
  return UniqueFd(fd);
}

} // namespace km
