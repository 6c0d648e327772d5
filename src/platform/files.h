// Files, directories and temporary files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
// An open buffered stream, closed when it goes out of scope.
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a buffered stream with up to ten attempts. After a failed attempt other
// than the tenth it pauses 100 to 199 ms (a random amount); it tries again only
// when the failed open left no error number, and otherwise gives up after the
// pause. A file that does not exist gives up at once: optional data files are
// missing all the time and a pause would buy nothing.
File openFileRetrying(const std::string& path, const char* mode);

// Closes the stream and reports whether everything buffered reached the file;
// errno tells why when it did not.
bool closeFile(File& file);

// Owner of a POSIX file descriptor.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  // Closes the descriptor; false (errno set) when close reported an error.
  bool reset(int fd = -1);

private:
  int fd_ = -1;
};

// Opens a file for appending through a descriptor, creating it private to the user
// when missing; positioned at its end. Invalid (errno set) on failure.
UniqueFd openForAppending(const std::string& path);

// A buffered stream over an open descriptor, which the stream then owns. Null
// (errno set) on failure; the descriptor then stays with `fd`.
File streamOverDescriptor(UniqueFd& fd, const char* mode);

// The size of an open file, or nothing (errno set).
std::optional<int64_t> openFileSize(int fd);

bool fileExists(const std::string& path);
bool directoryExists(const std::string& path);
// Creates one directory (not its parents), private to the user.
bool createDirectory(const std::string& path);
bool removeFile(const std::string& path);
// Gives a file another name, replacing any file of that name.
bool renameFile(const std::string& from, const std::string& to);
// The absolute path with its symbolic links, "." and ".." resolved as far as it
// exists; the path as given when that fails.
std::string canonicalPath(const std::string& path);
// Removes an empty directory.
bool removeDirectory(const std::string& path);
// Copies a file, failing when the target exists already.
bool copyFileNoOverwrite(const std::string& from, const std::string& to);
std::optional<std::string> readWholeFile(const std::string& path);

// Replaces the whole content of a file so that readers see either the old or the
// new bytes, never a mix: the bytes go to a temporary file beside it, which then
// takes its name. The file keeps its permission bits (a new one gets 0666 less the
// umask). A file that allows no writing (no write permission bit, or not writable
// by this user) is left alone: false, with errno EACCES. On any failure the file
// is unchanged and errno says why.
bool replaceFileContents(const std::string& path, std::string_view bytes);

// Where a symbolic link points, or nothing when the path is not one.
std::optional<std::string> readLinkTarget(const std::string& path);

// The permission bits of a file (links followed), or nothing when it cannot be read.
std::optional<unsigned> fileMode(const std::string& path);
bool setFileMode(const std::string& path, unsigned mode);

// The file a path finally names, through any symbolic links; the path itself when
// it is no link or its target cannot be found.
std::string linkTarget(const std::string& path);

// Modification time of a file in nanoseconds since 1970, or nothing when it cannot
// be read.
std::optional<int64_t> modificationTime(const std::string& path);
// The current time on the clock that stamps file modification times.
int64_t currentFileTime();

// Names (not paths) of the entries of a directory that begin with the prefix.
std::vector<std::string> listDirectory(const std::string& directory, const std::string& prefix);

// Names of the sub-folders (links to folders included) or of the regular files of
// a directory, in name order; nothing when it cannot be searched.
enum class EntryKind { Folder, RegularFile };
std::vector<std::string> listEntriesOfKind(const std::string& directory, EntryKind kind);

// The folder of the running executable, ending in "/".
std::string executableDirectory();

// The folder for temporary files ($TMPDIR, else /tmp), ending in "/".
std::string temporaryDirectory();

// A read-write temporary file that disappears when closed: created with the
// prefix in the temporary folder and unlinked at once.
UniqueFd createDeleteOnCloseFile(const std::string& prefix);

// A new file with a unique name made of the prefix and random characters in
// the given folder ("folder/" + prefix + "XXXXXX"); its path goes to `path`.
UniqueFd createUniqueFile(const std::string& folder, const std::string& prefix, std::string& path);

} // namespace km
