#include "diag/activity_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "diag/error_report.h"
#include "platform/data_path.h"
#include "platform/descriptors.h"
#include "platform/errors.h"
#include "platform/lang.h"
#include "platform/notifier.h"
#include "platform/sync.h"
#include "platform/text_ids.h"

namespace km {

namespace {

constexpr size_t kCopyBlock = 4096;
constexpr int64_t kTrimChunk = 32768;

// Held while a line is formatted and written to a session's file, and while
// deferred lists change. Taken after the configuration lock and the main log's
// lock; nothing is taken inside it.
std::mutex& logWriteLock() {
  static std::mutex lock;
  return lock;
}

// The main log: its settings and the lock that keeps appends to it in one piece.
// Taken after the configuration lock (which sets the settings under it).
struct MainLog {
  RecursiveLock lock;
  bool known = false;
  LogSettings settings;
};

MainLog& mainLog() {
  static MainLog instance;
  return instance;
}

std::string finishedLine(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string text = formatText(format, args);
  if (text.size() > kMaxLogText) {
    text.resize(kMaxLogText);
  }
  text += "\r\n";
  return text;
}

// A literal line with a carriage return first, or a line feed second, is written
// as it stands: callers use that for blank separator lines and raw protocol text.
bool wantsTimeStamp(std::string_view text) {
  return !(!text.empty() && text[0] == '\r') && !(text.size() > 1 && text[1] == '\n');
}

bool passes(const SessionLog& log, LogLevel level) {
  return log.active() && log.level >= level;
}

void writeToSession(SessionLog& log, std::string_view text, bool stamp) {
  if (stamp) {
    std::string stampText = logTimeStamp();
    std::fwrite(stampText.data(), 1, stampText.size(), log.file.get());
  }
  std::fwrite(text.data(), 1, text.size(), log.file.get());
  // Flushed at once, so a crash leaves every line for the next start to merge.
  std::fflush(log.file.get());
}

void flushDeferredLocked(SessionLog& log, DeferredLog& deferred) {
  for (const std::string& line : deferred.lines) {
    writeToSession(log, line, wantsTimeStamp(line));
  }
  deferred.lines.clear();
}

void writeMessageLine(SessionLog& log, DeferredLog& deferred, std::string line, bool alwaysStamp) {
  std::lock_guard lock(logWriteLock());
  if (deferred.deferLines) {
    deferred.lines.push_back(std::move(line));
    return;
  }
  flushDeferredLocked(log, deferred);
  writeToSession(log, line, alwaysStamp || wantsTimeStamp(line));
}

// Copies the rest of a stream to a file descriptor in 4096-byte blocks.
bool copyInBlocks(FILE* from, int to) {
  char block[kCopyBlock];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, from)) > 0) {
    if (!writeAll(to, block, got)) {
      return false;
    }
  }
  return std::ferror(from) == 0;
}

} // namespace

std::string logTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) {
    return {};
  }
  char buffer[32];
  size_t length = std::strftime(buffer, sizeof buffer, "%H:%M:%S %m/%d/%y", &local);
  if (length == 0) {
    return {};
  }
  return std::string(buffer, length) + " ";
}

void setMainLogSettings(const std::optional<LogSettings>& settings) {
  RecursiveGuard guard(mainLog().lock);
  mainLog().known = settings.has_value();
  mainLog().settings = settings.value_or(LogSettings{});
}

void startSessionLog(SessionLog& log, const LogSettings& settings) {
  if (!settings.enabled) {
    return;
  }
  RecursiveGuard guard(mainLog().lock);
  std::string folder = dataPath("activity-logs");
  std::string path;
  UniqueFd fd = createUniqueFile(folder, "log", path);
  if (!fd.valid()) {
    reportSystemError(folder, nullptr);
    return;
  }
  File stream = streamOverDescriptor(fd, "w+b");
  if (!stream) {
    reportSystemError(path, nullptr);
    fd.reset();
    removeFile(path);
    return;
  }
  log.file = std::move(stream);
  log.path = path;
  log.level = settings.level;
  log.mainLogPath = settings.mainLogPath;
  log.maxBytes = settings.maxBytes;
}

void logMessageLine(SessionLog& log, DeferredLog& deferred, LogLevel level, std::string_view format,
                    std::initializer_list<FormatArg> args) {
  if (!passes(log, level)) {
    return;
  }
  writeMessageLine(log, deferred, finishedLine(format, args), false);
}

void logMessageText(SessionLog& log, DeferredLog& deferred, LogLevel level, int textId,
                    std::initializer_list<FormatArg> args) {
  if (!passes(log, level)) {
    return;
  }
  writeMessageLine(log, deferred, finishedLine(languageText(textId), args), true);
}

void logSessionText(SessionLog& log, LogLevel level, int textId,
                    std::initializer_list<FormatArg> args) {
  if (!passes(log, level)) {
    return;
  }
  std::string line = finishedLine(languageText(textId), args);
  std::lock_guard lock(logWriteLock());
  writeToSession(log, line, true);
}

void logGlobalText(LogLevel level, int textId, std::initializer_list<FormatArg> args) {
  RecursiveGuard guard(mainLog().lock);
  const LogSettings& settings = mainLog().settings;
  if (!settings.enabled || settings.level < level) {
    return;
  }
  std::string line = logTimeStamp() + finishedLine(languageText(textId), args);
  const std::string& path = settings.mainLogPath;
  UniqueFd fd = openForAppending(path);
  bool ok = fd.valid() && writeAll(fd.get(), line.data(), line.size());
  int failure = errno;
  if (fd.valid() && !fd.reset() && ok) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    showMessage(
        languageText(kTextReportTitle),
        formatText(languageText(kTextFileErrorTemplate), {failure, path, errorText(failure)}),
        NoticeIcon::Exclamation);
  }
}

void endSessionLog(SessionLog& log) {
  if (!log.active()) {
    return;
  }
  File file = std::move(log.file); // later writes for this session are skipped
  std::fwrite("\r\n", 1, 2, file.get());

  RecursiveGuard mainLogGuard(mainLog().lock);
  std::lock_guard writeGuard(logWriteLock());
  if (std::fflush(file.get()) != 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    reportSystemError(log.path, nullptr);
    return;
  }
  UniqueFd mainLogOwner = openForAppending(log.mainLogPath);
  if (!mainLogOwner.valid()) {
    reportSystemError(log.mainLogPath, nullptr);
    return;
  }
  int mainLog = mainLogOwner.get();
  if (!copyInBlocks(file.get(), mainLog)) {
    reportSystemError(log.mainLogPath, nullptr);
    return;
  }
  if (!closeFile(file)) {
    reportSystemError(log.path, nullptr);
    return;
  }
  if (!trimLogFile(mainLog, log.maxBytes)) {
    reportSystemError(log.mainLogPath, nullptr);
    return;
  }
  if (!mainLogOwner.reset()) {
    reportSystemError(log.mainLogPath, nullptr);
    return;
  }
  if (!removeFile(log.path)) {
    reportSystemError(log.path, nullptr);
  }
}

void mergeOrphanedSessionLogs() {
  RecursiveGuard guard(mainLog().lock);
  std::string mainLogPath = mainLog().known ? mainLog().settings.mainLogPath : dataPath("log.txt");
  std::string folder = dataPath("activity-logs/");

  // Oldest first, so the main log stays in the order the sessions ran.
  struct Orphan {
    int64_t modified;
    std::string path;
  };
  std::vector<Orphan> orphans;
  for (const std::string& name : listDirectory(folder, "log")) {
    std::string path = folder + name;
    if (!directoryExists(path)) {
      orphans.push_back({modificationTime(path).value_or(0), path});
    }
  }
  std::sort(orphans.begin(), orphans.end(), [](const Orphan& a, const Orphan& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
  });

  const std::string& note = languageText(kTextLogRecoveredNote);
  for (const Orphan& orphan : orphans) {
    File file = openFileRetrying(orphan.path, "rb");
    if (!file) {
      reportSystemError(orphan.path, nullptr);
      continue;
    }
    UniqueFd mainLogOwner = openForAppending(mainLogPath);
    if (!mainLogOwner.valid()) {
      reportSystemError(mainLogPath, nullptr);
      return;
    }
    int mainLog = mainLogOwner.get();
    bool ok = copyInBlocks(file.get(), mainLog) && writeAll(mainLog, note.data(), note.size());
    if (!ok) {
      reportSystemError(mainLogPath, nullptr);
    }
    ok = closeFile(file) && ok;
    ok = mainLogOwner.reset() && ok;
    if (ok && !removeFile(orphan.path)) {
      reportSystemError(orphan.path, nullptr);
    }
  }
}

bool trimLogFile(int fd, int64_t limitBytes) {
  std::optional<int64_t> fileSize = openFileSize(fd);
  if (!fileSize) {
    return false;
  }
  const int64_t size = *fileSize;
  if (size <= limitBytes) {
    return true;
  }
  std::vector<char> chunk(static_cast<size_t>(std::min(limitBytes, kTrimChunk)));
  int64_t remaining = std::max<int64_t>(limitBytes, 0);
  int64_t written = 0;
  while (remaining >= 1) {
    int64_t length = std::min(remaining, kTrimChunk);
    long got = readAt(fd, chunk.data(), static_cast<size_t>(length),
                      static_cast<uint64_t>(size - remaining));
    if (got != length) {
      if (got >= 0) {
        errno = EIO;
      }
      return false;
    }
    const char* start = chunk.data();
    size_t count = static_cast<size_t>(length);
    if (written == 0) {
      // Until something is kept, drop everything up to and including a line feed.
      const char* lineFeed = static_cast<const char*>(std::memchr(start, '\n', count));
      size_t dropped = lineFeed ? static_cast<size_t>(lineFeed - start) + 1 : count;
      start += dropped;
      count -= dropped;
    }
    if (count > 0) {
      if (!writeAllAt(fd, start, count, static_cast<uint64_t>(written))) {
        return false;
      }
      written += static_cast<int64_t>(count);
    }
    remaining -= length;
  }
  return resizeFile(fd, static_cast<uint64_t>(written));
}

} // namespace km
