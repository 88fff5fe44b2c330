// The lock that keeps a group's callbacks apart from the calls that end the group or its
// connection: held around each delivery and by RemoveGroup, Unadvise and the group object's
// last release, so that no callback runs after those return.
//
// Recursive per logical thread (ComLogicalThreadId), not per OS thread: a sink may remove, unadvise
// or release its group from inside a callback. In a server process of its own that call arrives on
// another thread than the one delivering, but it carries the delivering thread's logical thread,
// so it passes instead of waiting for the callback it is part of.
//
// Error rule: nothing fails. Thread rule: any thread; each unlock on the logical thread that
// locked. Ownership: plain member of the group's state.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/com/com.h"

class SimDeliveryLock {
public:
  SimDeliveryLock() = default;
  SimDeliveryLock(const SimDeliveryLock&) = delete;
  SimDeliveryLock& operator=(const SimDeliveryLock&) = delete;

  // Waits until no other logical thread holds the lock; nests on the one that holds it.
  void lock();
  void unlock();

private:
  std::mutex m_mutex;
  std::condition_variable m_free;
  GUID m_owner{};
  unsigned m_depth = 0;
};
