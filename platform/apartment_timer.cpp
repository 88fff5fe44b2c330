#include "platform/apartment_timer.h"

#include <utility>

#include "platform/apartment.h"

CApartmentTimer::CApartmentTimer(std::shared_ptr<CApartment> apartment)
    : m_apartment(std::move(apartment)), m_shared(std::make_shared<Shared>()) {}

CApartmentTimer::~CApartmentTimer() {
  if (!m_shared) return;
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->ending = true;
    ++m_shared->generation;
    m_shared->armed = false;
  }
  m_shared->changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void CApartmentTimer::Start(std::chrono::milliseconds delay, std::function<void()> call) {
  {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    ++m_shared->generation;
    m_shared->armed = true;
    m_shared->due = std::chrono::steady_clock::now() + delay;
    m_shared->call = std::move(call);
  }
  m_shared->changed.notify_all();
  // The thread starts with the first use: a registry that never connects costs no thread.
  if (!m_thread.joinable()) m_thread = std::thread([this] { WaitLoop(); });
}

void CApartmentTimer::Stop() {
  std::lock_guard<std::mutex> lock(m_shared->mutex);
  ++m_shared->generation;
  m_shared->armed = false;
  m_shared->call = nullptr;
}

void CApartmentTimer::WaitLoop() {
  std::unique_lock<std::mutex> lock(m_shared->mutex);
  while (!m_shared->ending) {
    if (!m_shared->armed) {
      m_shared->changed.wait(lock);
      continue;
    }
    if (m_shared->changed.wait_until(lock, m_shared->due) != std::cv_status::timeout) continue;
    if (!m_shared->armed || std::chrono::steady_clock::now() < m_shared->due) continue;
    m_shared->armed = false;
    // The posted call checks the generation on the apartment's thread, so a Stop or Start that
    // comes after the post still wins.
    const std::uint64_t generation = m_shared->generation;
    std::weak_ptr<Shared> weak = m_shared;
    lock.unlock();
    m_apartment->Post([weak, generation] {
      const auto shared = weak.lock();
      if (!shared) return;
      std::function<void()> call;
      {
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (shared->generation != generation || shared->ending) return;
        call = std::move(shared->call);
        shared->call = nullptr;
      }
      if (call) call();
    });
    lock.lock();
  }
}
