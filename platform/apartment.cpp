#include "platform/apartment.h"

#include <algorithm>

std::shared_ptr<CApartment> CApartment::ForCurrentThread() {
  thread_local std::shared_ptr<CApartment> apartment =
      std::make_shared<CApartment>(std::this_thread::get_id());
  return apartment;
}

bool CApartment::Post(std::function<void()> call) {
  std::function<void()> waker;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return false;
    m_queue.push_back(std::move(call));
    waker = m_waker;
  }
  m_arrived.notify_all();
  if (waker) waker();
  return true;
}

std::size_t CApartment::RunPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(m_mutex);
    batch.swap(m_queue);
  }
  std::size_t ran = 0;
  while (!batch.empty()) {
    auto call = std::move(batch.front());
    batch.pop_front();
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return ran;
    }
    ++ran;
    if (call) {
      try {
        call();
      } catch (...) {
        // Put the calls not yet run back in front, in order, before letting the fault through.
        std::lock_guard lock(m_mutex);
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) m_queue.push_front(std::move(*it));
        throw;
      }
    }
  }
  return ran;
}

bool CApartment::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  // Wakes at least every 10 ms so that conditions changed by other threads are seen too.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    RunPending();
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::unique_lock lock(m_mutex);
    m_arrived.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)),
                         [this] { return !m_queue.empty(); });
  }
}

void CApartment::SetWaker(std::function<void()> waker) {
  std::lock_guard lock(m_mutex);
  m_waker = std::move(waker);
}

void CApartment::Close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    dropped.swap(m_queue);
  }
  m_arrived.notify_all();
}

void CApartment::Reopen() {
  std::lock_guard lock(m_mutex);
  m_closed = false;
}

bool CApartment::IsClosed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

std::size_t CApartment::PendingCount() const {
  std::lock_guard lock(m_mutex);
  return m_queue.size();
}
