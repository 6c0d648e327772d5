#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::TempDir;

TEST(OpenFileRetrying, OpensExistingFilesAndKeepsTheErrorOfAFailure) {
  TempDir dir;
  test::writeFile(dir.file("present.txt"), "hello\n");
  File file = openFileRetrying(dir.file("present.txt"), "r");
  ASSERT_TRUE(file);
  char buffer[16] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file.get()), 6u);
  errno = 0;
  EXPECT_FALSE(openFileRetrying(dir.file("missing.txt"), "r"));
  EXPECT_EQ(errno, ENOENT);
  // A directory cannot be opened for writing: no second attempt, the error stays.
  errno = 0;
  EXPECT_FALSE(openFileRetrying(dir.path(), "w"));
  EXPECT_EQ(errno, EISDIR);
}

TEST(CloseFile, ReportsDataThatNeverReachedTheDisk) {
  File full = openFileRetrying("/dev/full", "w");
  ASSERT_TRUE(full);
  std::fputs("this cannot be written", full.get());
  EXPECT_FALSE(closeFile(full));
  EXPECT_FALSE(full);
}

TEST(TemporaryFiles, DeleteOnCloseLeavesNoTraceAndUniqueNamesDiffer) {
  TempDir dir;
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  {
    UniqueFd fd = createDeleteOnCloseFile("kmb");
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(::write(fd.get(), "body", 4), 4);
    EXPECT_TRUE(listDirectory(dir.path(), "kmb").empty());
  }
  ::unsetenv("TMPDIR");
  std::string first;
  std::string second;
  UniqueFd a = createUniqueFile(dir.path(), "log", first);
  UniqueFd b = createUniqueFile(dir.path(), "log", second);
  ASSERT_TRUE(a.valid() && b.valid());
  EXPECT_NE(first, second);
  EXPECT_EQ(listDirectory(dir.path(), "log").size(), 2u);
}

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(instanceLockPath("KestrelmailMutex"), dir.file("KestrelmailMutex"));
  InstanceLock first = InstanceLock::acquire("KestrelmailMutex");
  ASSERT_EQ(first.state(), InstanceLock::State::Owned);
  EXPECT_TRUE(isInstanceLockHeld("KestrelmailMutex"));
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::HeldElsewhere);
  first.release();
  EXPECT_FALSE(isInstanceLockHeld("KestrelmailMutex"));
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::Owned);

  // Without a runtime folder the lock lives in a private temporary folder.
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  std::string path = instanceLockPath("KestrelmailMutex");
  EXPECT_EQ(path.rfind(dir.path() + "kestrelmail-", 0), 0u) << path;
  EXPECT_EQ(InstanceLock::acquire("KestrelmailMutex").state(), InstanceLock::State::Owned);
  ::unsetenv("TMPDIR");
}

} // namespace
} // namespace km
