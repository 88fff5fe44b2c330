// A thread's apartment: a queue of calls that run on the thread that owns it.
//
// The UI thread's event loop drains it (the Qt front end installs a waker that schedules
// RunPending on the UI thread); tests without a toolkit drain it with RunUntil. COM callbacks
// and the hand-off of accepted request connections both travel through it, so that everything
// touching the group list runs on the one thread that owns it.
//
// Error rule: Post returns false once the apartment is closed; nothing throws except what a
// queued call throws, which RunPending lets propagate after the queue is consistent.
// Thread rule: Post, SetWaker and Close from any thread; RunPending and RunUntil only on the
// owning thread (the thread that called ForCurrentThread first).
// Ownership: shared; a closed apartment drops its queued calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CApartment {
public:
  // The calling thread's apartment, created on first use.
  static std::shared_ptr<CApartment> ForCurrentThread();

  // Queues a call for the owning thread and wakes its loop. False when closed (call dropped).
  bool Post(std::function<void()> call);

  // Runs the calls queued so far (not those they post). Returns how many ran.
  std::size_t RunPending();

  // Runs queued calls as they arrive until done() holds or the timeout passes.
  // Returns done() at the end.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  // Called after every successful Post, from the posting thread.
  void SetWaker(std::function<void()> waker);

  // Drops queued calls; later posts fail. Reopen makes it usable again.
  void Close();
  void Reopen();
  bool IsClosed() const;

  std::thread::id OwnerThread() const { return m_owner; }
  std::size_t PendingCount() const;

  explicit CApartment(std::thread::id owner) : m_owner(owner) {}

private:
  const std::thread::id m_owner;
  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::deque<std::function<void()>> m_queue;
  std::function<void()> m_waker;
  bool m_closed = false;
};
