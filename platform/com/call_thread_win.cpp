#include "platform/com/call_thread_win.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// The pool: idle threads take work from the queue. Work that must not wait behind a hung call
// is accepted only when a thread is idle (or can be started) and reserves that thread.
class CCallThreadPool {
public:
  static CCallThreadPool& Instance() {
    static auto* pool = new CCallThreadPool;  // lives until the process ends, as its threads do
    return *pool;
  }

  // Queues work; false when no thread is idle and none may be started (and mustRun is false).
  // Posted work (mustRun) is counted until it has run.
  bool Submit(std::function<void()> work, bool mustRun) {
    std::lock_guard lock(m_mutex);
    if (mustRun) {
      auto inner = std::move(work);
      work = [this, inner = std::move(inner)] {
        inner();
        std::lock_guard done(m_mutex);
        if (--m_posted == 0) SetEvent(m_settled);
      };
      if (m_posted++ == 0) ResetEvent(m_settled);
    }
    if (m_idle > m_queue.size()) {
      m_queue.push_back(std::move(work));
    } else if (m_threads < kMaxCallThreads) {
      m_queue.push_back(std::move(work));
      ++m_threads;
      ++m_idle;
      std::thread([this] { Serve(); }).detach();
    } else if (mustRun) {
      m_queue.push_back(std::move(work));
    } else {
      return false;
    }
    m_ready.notify_one();
    return true;
  }

  HANDLE Settled() const { return m_settled; }

private:
  void Serve() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_ready.wait(lock, [this] { return !m_queue.empty(); });
      std::function<void()> work = std::move(m_queue.front());
      m_queue.pop_front();
      --m_idle;
      lock.unlock();
      work();
      work = nullptr;  // whatever the work holds goes here, on this thread
      lock.lock();
      ++m_idle;
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<std::function<void()>> m_queue;
  std::size_t m_idle = 0;
  int m_threads = 0;
  std::size_t m_posted = 0;
  HANDLE m_settled = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set while m_posted is 0
};

// Waits for done; an apartment thread goes on receiving COM's calls meanwhile.
bool WaitForWork(HANDLE done, std::chrono::milliseconds timeout) {
  const DWORD ms = timeout.count() > 0 ? static_cast<DWORD>(timeout.count()) : INFINITE;
  DWORD index = 0;
  const HRESULT hr = CoWaitForMultipleHandles(0, ms, 1, &done, &index);
  if (hr == S_OK) return true;
  if (hr == RPC_S_CALLPENDING) return false;
  // No COM on this thread: a plain wait.
  return WaitForSingleObject(done, ms) == WAIT_OBJECT_0;
}

}  // namespace

CallThreadOutcome RunOnCallThread(std::function<void()> work, std::chrono::milliseconds timeout) {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return CallThreadOutcome::kNoThread;
  // The event lives as long as the longer of the two: the waiter and the work.
  auto done = std::shared_ptr<void>(event, [](HANDLE h) { CloseHandle(h); });
  const bool accepted = CCallThreadPool::Instance().Submit(
      [work = std::move(work), done]() mutable {
        work();
        SetEvent(done.get());
      },
      false);
  if (!accepted) return CallThreadOutcome::kNoThread;
  return WaitForWork(event, timeout) ? CallThreadOutcome::kFinished : CallThreadOutcome::kTimedOut;
}

void PostToCallThread(std::function<void()> work) {
  CCallThreadPool::Instance().Submit(std::move(work), true);
}

bool WaitForCallThreadEvent(HANDLE event, std::chrono::milliseconds timeout) {
  return WaitForWork(event, timeout);
}

bool WaitForPostedWork(std::chrono::milliseconds timeout) {
  return WaitForWork(CCallThreadPool::Instance().Settled(), timeout);
}
