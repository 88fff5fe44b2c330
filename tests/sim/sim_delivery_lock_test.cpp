#include "sim/sim_delivery_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::atomic<bool>& flag) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(SimDeliveryLockTest, NestsOnTheLogicalThreadThatHoldsIt) {
  SimDeliveryLock lock;
  std::lock_guard outer(lock);
  std::lock_guard inner(lock);  // would deadlock if it did not nest
  SUCCEED();
}

TEST(SimDeliveryLockTest, AnotherThreadGetsItOnlyAfterTheLastUnlock) {
  SimDeliveryLock lock;
  lock.lock();
  lock.lock();
  std::atomic<bool> started{false};
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    started.store(true);
    std::lock_guard guard(lock);
    acquired.store(true);
  });
  ASSERT_TRUE(WaitUntil(started));
  lock.unlock();
  EXPECT_FALSE(acquired.load());  // still held once
  lock.unlock();
  EXPECT_TRUE(WaitUntil(acquired));
  other.join();
}

TEST(SimDeliveryLockTest, WaitersTakeTurnsAndEachReleaseWakesTheNext) {
  SimDeliveryLock lock;
  int inside = 0;
  int maxInside = 0;
  int total = 0;
  auto work = [&] {
    for (int i = 0; i < 200; ++i) {
      std::lock_guard guard(lock);
      std::lock_guard again(lock);
      maxInside = std::max(maxInside, ++inside);
      ++total;
      --inside;
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(maxInside, 1);
  EXPECT_EQ(total, 600);
}

}  // namespace
