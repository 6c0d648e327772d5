// A fresh data directory, a recording notifier and a clean main loop per test.
#pragma once

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/data_dir.h"
#include "platform/main_loop.h"
#include "support/test_support.h"

namespace km::test {

class ConfigTest : public ::testing::Test {
protected:
  void TearDown() override { closeMainLoop(); }

  std::string file(const std::string& name) const { return data_.file(name); }
  void write(const std::string& name, const std::string& text) { writeFile(file(name), text); }
  std::string read(const std::string& name) const { return readFile(file(name)); }

  ConfigRef load(const std::string& configText) { return data_.load(configText); }

  std::vector<Notice> notices() { return notifier_.notifier().notices(); }
  RecordingNotifier& notifier() { return notifier_.notifier(); }

  DataDirScope data_;
  NotifierScope notifier_;
};

} // namespace km::test
