// A loaded configuration with logging on, in a fresh data directory.
#pragma once

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/data_dir.h"
#include "platform/main_loop.h"
#include "support/test_support.h"

namespace km::test {

class LogTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(prepareDataDirectory());
    configure("LOGGING_ENABLED YES\nLOGGING_LEVEL STANDARD\n");
  }
  void TearDown() override { closeMainLoop(); }

  ConfigRef configure(const std::string& text) { return data_.load(text); }
  std::string mainLog() const { return readFile(data_.file("log.txt")); }

  DataDirScope data_;
  NotifierScope notifier_;
};

} // namespace km::test
