#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
#include "support/test_support.h"

namespace km {
namespace {

using test::TempDir;

TEST(OpenFileRetrying, OpensExistingFilesAndRefusesMissingOnes) {
  TempDir dir;
  test::writeFile(dir.file("present.txt"), "hello\n");
  File file = openFileRetrying(dir.file("present.txt"), "r");
  ASSERT_TRUE(file);
  char buffer[16] = {};
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file.get()), 6u);

  errno = 0;
  EXPECT_FALSE(openFileRetrying(dir.file("missing.txt"), "r"));
  EXPECT_EQ(errno, ENOENT);
}

TEST(OpenFileRetrying, GivesUpOnAFailureWithAnErrorNumber) {
  TempDir dir;
  // A directory cannot be opened for writing: the error number is set, so there
  // is no second attempt and the error survives for the report.
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

  TempDir dir;
  File fine = openFileRetrying(dir.file("ok.txt"), "w");
  std::fputs("fine", fine.get());
  EXPECT_TRUE(closeFile(fine));
  EXPECT_EQ(test::readFile(dir.file("ok.txt")), "fine");
}

TEST(TemporaryFiles, DeleteOnCloseLeavesNoTrace) {
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

TEST(CopyFileNoOverwrite, NeverReplacesAnExistingFile) {
  TempDir dir;
  test::writeFile(dir.file("from"), "new");
  test::writeFile(dir.file("to"), "old");
  EXPECT_FALSE(copyFileNoOverwrite(dir.file("from"), dir.file("to")));
  EXPECT_EQ(test::readFile(dir.file("to")), "old");
  EXPECT_TRUE(copyFileNoOverwrite(dir.file("from"), dir.file("fresh")));
  EXPECT_EQ(test::readFile(dir.file("fresh")), "new");
}

TEST(ModificationTime, FollowsWritesOnTheFileClock) {
  TempDir dir;
  EXPECT_FALSE(modificationTime(dir.file("none")));
  int64_t before = currentFileTime();
  test::writeFile(dir.file("f"), "x");
  std::optional<int64_t> modified = modificationTime(dir.file("f"));
  ASSERT_TRUE(modified);
  EXPECT_GE(*modified, before);
}

} // namespace
} // namespace km
