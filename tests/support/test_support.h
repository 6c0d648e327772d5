// Helpers shared by the unit tests.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/notifier.h"

namespace km::test {

// A fresh directory under the temporary folder, removed with everything in it when
// the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; } // ends in "/"
  std::string file(const std::string& name) const { return path_ + name; }

private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

// Checks `condition` every 10 ms until it holds or `timeoutMs` have passed; whether
// it held. For waiting on threads and processes instead of sleeping a fixed time.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// Sets the process's time zone (a TZ value) for the life of the object, for tests
// of local dates and offsets.
class ZoneScope {
public:
  explicit ZoneScope(const char* zone);
  ~ZoneScope();
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

private:
  std::optional<std::string> previous_;
};

// Records every notice and answers questions from a script (else with the
// headless answer); lists get the line `pick`, check boxes the tick `tick`.
class RecordingNotifier : public Notifier {
public:
  NoticeAnswer show(const Notice& notice) override;
  NoticeReply reply(const Notice& notice) override { return {show(notice), pick, tick}; }
  void answerNext(NoticeAnswer answer);
  std::vector<Notice> notices() const;
  size_t count() const;
  size_t pick = 0;
  bool tick = false;

private:
  mutable std::mutex lock_;
  std::vector<Notice> notices_;
  std::deque<NoticeAnswer> answers_;
};

// Installs a RecordingNotifier for the life of the object.
class NotifierScope {
public:
  NotifierScope();
  ~NotifierScope();
  RecordingNotifier& notifier() { return *notifier_; }

private:
  std::shared_ptr<RecordingNotifier> notifier_;
  std::shared_ptr<Notifier> previous_;
};

// Loads the shipped string table from the build folder.
void loadShippedLanguageTable();

// Points the data directory at a fresh temporary folder, loads the string table
// and installs the program's layer hooks (as start-up does); the current
// configuration is dropped when the object goes.
class DataDirScope {
public:
  DataDirScope();
  ~DataDirScope();
  std::string file(const std::string& name) const { return dir_.file(name); }
  // Writes config.dat, loads it and returns the new current snapshot.
  ConfigRef load(const std::string& configText) const;

private:
  TempDir dir_;
};

} // namespace km::test
