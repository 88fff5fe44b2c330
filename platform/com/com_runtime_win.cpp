// ComApartmentRef on the real COM: one process-wide callback thread in the multithreaded
// apartment runs the posted calls in order. A server's objects live in that apartment, where a
// sink's proxy may be called from any thread, so one thread keeps every sink's callbacks in the
// order they were produced, and none of them runs inside the call that caused it.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/com/builtin_servers.h"
#include "platform/com/com.h"

// The callback thread's queue. Created on first use and never destroyed: the thread waits on it
// until the process ends.
struct ComThreadState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::function<void()>> queue;
  std::thread::id threadId;
};

namespace {

void RunCallbackThread(ComThreadState* state) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->arrived.wait(lock, [state] { return !state->queue.empty(); });
    std::function<void()> call = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    // A call that fails must not end the deliveries of every later one.
    try {
      call();
    } catch (...) {
    }
    call = nullptr;  // what it holds (interface references among them) is released here
    lock.lock();
  }
}

const std::shared_ptr<ComThreadState>& CallbackThread() {
  static const std::shared_ptr<ComThreadState>* state = [] {
    auto* made = new std::shared_ptr<ComThreadState>(std::make_shared<ComThreadState>());
    ComThreadState* raw = made->get();
    std::lock_guard lock(raw->mutex);  // the id is set before anyone can ask for it
    std::thread thread(RunCallbackThread, raw);
    raw->threadId = thread.get_id();
    thread.detach();
    return made;
  }();
  return *state;
}

}  // namespace

ComApartmentRef ComApartmentRef::Current() {
  ComApartmentRef ref;
  ref.m_state = CallbackThread();
  ref.m_generation = 1;
  return ref;
}

bool ComApartmentRef::IsAlive() const {
  return m_state != nullptr;
}

bool ComApartmentRef::IsCurrentThread() const {
  if (!m_state) return false;
  std::lock_guard lock(m_state->mutex);
  return m_state->threadId == std::this_thread::get_id();
}

bool ComApartmentRef::Post(std::function<void()> call) const {
  if (!m_state || !call) return false;
  {
    std::lock_guard lock(m_state->mutex);
    m_state->queue.push_back(std::move(call));
  }
  m_state->arrived.notify_one();
  return true;
}

GUID ComLogicalThreadId() {
  GUID id{};
  CoGetCurrentLogicalThreadId(&id);
  return id;
}

bool ComServesBuiltInServersOnly() {
  return false;
}
