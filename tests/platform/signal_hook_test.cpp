#include "platform/signal_hook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

TEST(SignalHookTest, TerminationSignalsReachTheHandlerOnItsOwnThread) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<int> signals;
  std::thread::id handlerThread;
  CSignalHook hook;
  ASSERT_TRUE(hook.Start([&](int signal) {
    std::lock_guard lock(mutex);
    signals.push_back(signal);
    handlerThread = std::this_thread::get_id();
    arrived.notify_all();
  }));
  ::kill(::getpid(), SIGTERM);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        arrived.wait_for(lock, std::chrono::seconds(20), [&] { return signals.size() == 1; }));
  }
  ::kill(::getpid(), SIGINT);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        arrived.wait_for(lock, std::chrono::seconds(20), [&] { return signals.size() == 2; }));
    EXPECT_EQ(CSignalHook::kTerminate, signals[0]);
    EXPECT_EQ(CSignalHook::kInterrupt, signals[1]);
    EXPECT_NE(std::this_thread::get_id(), handlerThread);
  }
  hook.Stop();
}

TEST(SignalHookTest, StopEndsTheHookWithoutAnySignal) {
  CSignalHook hook;
  ASSERT_TRUE(hook.Start([](int) {}));
  hook.Stop();
  hook.Stop();
}
