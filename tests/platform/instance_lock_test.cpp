#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/net/loopback.h"

using testing_loopback::UniqueName;

TEST(InstanceLockTest, SecondHolderOfTheSameNameIsRefused) {
  const std::string name = UniqueName("quarnix-lock-test.");
  CInstanceLock first;
  CInstanceLock second;
  ASSERT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(name));
  EXPECT_TRUE(first.IsHeld());
  EXPECT_EQ(CInstanceLock::Result::kAlreadyHeld, second.Acquire(name));
  EXPECT_FALSE(second.IsHeld());
  std::filesystem::remove(CInstanceLock::LockPath(name));
}

TEST(InstanceLockTest, DifferentNamesAreHeldSideBySide) {
  const std::string a = UniqueName("quarnix-lock-test.");
  const std::string b = UniqueName("quarnix-lock-test.");
  CInstanceLock first;
  CInstanceLock second;
  EXPECT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(a));
  EXPECT_EQ(CInstanceLock::Result::kAcquired, second.Acquire(b));
  std::filesystem::remove(CInstanceLock::LockPath(a));
  std::filesystem::remove(CInstanceLock::LockPath(b));
}

TEST(InstanceLockTest, ReleaseAndDestructionHandTheGuardOn) {
  const std::string name = UniqueName("quarnix-lock-test.");
  CInstanceLock next;
  {
    CInstanceLock first;
    ASSERT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(name));
    first.Release();
    first.Release();  // twice is harmless
    EXPECT_FALSE(first.IsHeld());
    ASSERT_EQ(CInstanceLock::Result::kAcquired, first.Acquire(name));
  }
  EXPECT_EQ(CInstanceLock::Result::kAcquired, next.Acquire(name));
  std::filesystem::remove(CInstanceLock::LockPath(name));
}

TEST(InstanceLockTest, LockFileLiesInTheRuntimeDirectory) {
  testing_loopback::ScratchDirectory scratch;
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", scratch.Path().c_str(), 1);
  CInstanceLock lock;
  EXPECT_EQ(CInstanceLock::Result::kAcquired, lock.Acquire("com.vesk.Morvantel.semaphore.8089"));
  EXPECT_TRUE(std::filesystem::exists(scratch.Path() / "com.vesk.Morvantel.semaphore.8089"));
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ("/tmp/x", CInstanceLock::LockPath("x"));
  if (saved != nullptr) ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

TEST(InstanceLockTest, UnopenableLockFileIsReportedAsUnavailable) {
  CInstanceLock lock;
  EXPECT_EQ(CInstanceLock::Result::kUnavailable, lock.Acquire("no-such-folder/x"));
  EXPECT_FALSE(lock.IsHeld());
}
