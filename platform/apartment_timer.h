// A one-shot timer whose call runs on an apartment's thread: the UI thread's watchdog and
// reconnect timer, without a window toolkit behind it.
//
// Start arms the timer (replacing any armed call); after the delay the call is posted to the
// apartment and runs there like any other queued call. Stop disarms it: a call that was already
// posted but has not run yet is dropped as well, so after Stop (or the destructor) returns the
// call never runs. One helper thread per timer waits for the deadline.
//
// Error rule: nothing fails; a call posted to a closed apartment is dropped. Thread rule: Start,
// Stop and the destructor on the apartment's thread. Ownership: the timer owns its thread; the
// apartment is shared.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CApartment;

class CApartmentTimer {
public:
  explicit CApartmentTimer(std::shared_ptr<CApartment> apartment);
  virtual ~CApartmentTimer();
  CApartmentTimer(const CApartmentTimer&) = delete;
  CApartmentTimer& operator=(const CApartmentTimer&) = delete;

  // Runs call on the apartment's thread once, delay from now. Replaces an armed call.
  virtual void Start(std::chrono::milliseconds delay, std::function<void()> call);
  // Disarms the timer; an armed or already posted call never runs.
  virtual void Stop();

protected:
  CApartmentTimer() = default;  // for test doubles that never post

private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t generation = 0;  // bumped by every Start and Stop
    bool armed = false;
    bool ending = false;
    std::chrono::steady_clock::time_point due;
    std::function<void()> call;
  };

  void WaitLoop();

  std::shared_ptr<CApartment> m_apartment;
  std::shared_ptr<Shared> m_shared;
  std::thread m_thread;
};
