#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/app.h"
#include "config/config.h"
#include "config/data_dir.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/threads.h"

namespace km::test {

TempDir::TempDir() {
  std::string pattern = temporaryDirectory() + "kestrel-test-XXXXXX";
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
  }
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ZoneScope::ZoneScope(const char* zone) {
  if (const char* was = std::getenv("TZ")) {
    previous_ = was;
  }
  ::setenv("TZ", zone, 1);
  ::tzset();
}

ZoneScope::~ZoneScope() {
  if (previous_) {
    ::setenv("TZ", previous_->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  uint64_t deadline = tickCountMs() + static_cast<uint64_t>(timeoutMs);
  while (!condition()) {
    if (tickCountMs() >= deadline) {
      return false;
    }
    sleepMs(10);
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

NoticeAnswer RecordingNotifier::show(const Notice& notice) {
  std::lock_guard lock(lock_);
  notices_.push_back(notice);
  if (notice.buttons == NoticeButtons::Ok) {
    return NoticeAnswer::Ok;
  }
  if (!answers_.empty()) {
    NoticeAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  return notice.headlessAnswer;
}

void RecordingNotifier::answerNext(NoticeAnswer answer) {
  std::lock_guard lock(lock_);
  answers_.push_back(answer);
}

std::vector<Notice> RecordingNotifier::notices() const {
  std::lock_guard lock(lock_);
  return notices_;
}

size_t RecordingNotifier::count() const {
  std::lock_guard lock(lock_);
  return notices_.size();
}

NotifierScope::NotifierScope()
    : notifier_(std::make_shared<RecordingNotifier>()), previous_(setNotifier(notifier_)) {}

NotifierScope::~NotifierScope() {
  setNotifier(previous_);
}

void loadShippedLanguageTable() {
  ASSERT_TRUE(loadLanguageTable(std::string(KESTREL_BUILD_DIR) + "/kestrelmail.lang"));
}

DataDirScope::DataDirScope() {
  installLayerHooks();
  loadShippedLanguageTable();
  chooseDataDirectory(dir_.path(), true);
}

ConfigRef DataDirScope::load(const std::string& configText) const {
  writeFile(file("config.dat"), configText);
  EXPECT_TRUE(loadConfigFile());
  return AcquireConfig();
}

DataDirScope::~DataDirScope() {
  releaseCurrentConfig();
}

} // namespace km::test
