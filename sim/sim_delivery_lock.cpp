#include "sim/sim_delivery_lock.h"

void SimDeliveryLock::lock() {
  const GUID self = ComLogicalThreadId();
  std::unique_lock lock(m_mutex);
  if (m_depth > 0 && IsEqualGUID(m_owner, self)) {
    ++m_depth;
    return;
  }
  m_free.wait(lock, [this] { return m_depth == 0; });
  m_owner = self;
  m_depth = 1;
}

void SimDeliveryLock::unlock() {
  {
    std::lock_guard lock(m_mutex);
    if (m_depth == 0 || --m_depth > 0) return;
  }
  m_free.notify_one();
}
