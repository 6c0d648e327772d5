#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/instance_lock.h"
#include "support/test_support.h"

namespace km {
namespace {

class InstanceLockTest : public ::testing::Test {
protected:
  void SetUp() override { ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }
  test::TempDir dir_;
};

TEST_F(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  EXPECT_EQ(instanceLockPath("KestrelmailMutex"), dir_.file("KestrelmailMutex"));
  EXPECT_FALSE(isInstanceLockHeld("KestrelmailMutex"));

  InstanceLock first = InstanceLock::acquire("KestrelmailMutex");
  ASSERT_EQ(first.state(), InstanceLock::State::Owned);
  EXPECT_TRUE(isInstanceLockHeld("KestrelmailMutex"));

  InstanceLock second = InstanceLock::acquire("KestrelmailMutex");
  EXPECT_EQ(second.state(), InstanceLock::State::HeldElsewhere);

  first.release();
  EXPECT_FALSE(isInstanceLockHeld("KestrelmailMutex"));
  InstanceLock third = InstanceLock::acquire("KestrelmailMutex");
  EXPECT_EQ(third.state(), InstanceLock::State::Owned);
}

TEST_F(InstanceLockTest, WithoutARuntimeFolderTheLockLivesInAPrivateTempFolder) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", dir_.path().c_str(), 1);
  std::string path = instanceLockPath("KestrelmailMutex");
  EXPECT_EQ(path.rfind(dir_.path() + "kestrelmail-", 0), 0u) << path;
  InstanceLock lock = InstanceLock::acquire("KestrelmailMutex");
  EXPECT_EQ(lock.state(), InstanceLock::State::Owned);
  ::unsetenv("TMPDIR");
}

} // namespace
} // namespace km
