#include "simserver/server_lifetime.h"

CServerLifetime& CServerLifetime::Instance() {
  static CServerLifetime* lifetime = new CServerLifetime;  // lives until the process ends
  return *lifetime;
}

bool CServerLifetime::Start() {
  m_unused = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return m_unused != nullptr;
}

bool CServerLifetime::Acquire() {
  std::lock_guard lock(m_mutex);
  if (m_ending) return false;
  ++m_count;
  m_everUsed = true;
  CoAddRefServerProcess();
  return true;
}

void CServerLifetime::Hold() {
  std::lock_guard lock(m_mutex);
  ++m_count;
  m_everUsed = true;
  CoAddRefServerProcess();
}

void CServerLifetime::Release() {
  std::lock_guard lock(m_mutex);
  if (m_count == 0) return;
  CoReleaseServerProcess();
  if (--m_count == 0) SetEvent(m_unused);
}

bool CServerLifetime::Lock() {
  {
    std::lock_guard lock(m_mutex);
    if (m_ending) return false;
    ++m_locks;
  }
  if (Acquire()) return true;
  std::lock_guard lock(m_mutex);
  --m_locks;
  return false;
}

void CServerLifetime::Unlock() {
  {
    std::lock_guard lock(m_mutex);
    if (m_locks == 0) return;
    --m_locks;
  }
  Release();
}

void CServerLifetime::WaitUntilUnused(DWORD idleStartMs) {
  DWORD wait = idleStartMs;
  for (;;) {
    const DWORD result = WaitForSingleObject(m_unused, wait);
    std::lock_guard lock(m_mutex);
    // A new object made meanwhile keeps the program serving.
    const bool unused = m_count == 0 && (result != WAIT_TIMEOUT || !m_everUsed);
    if (unused || result == WAIT_FAILED) {
      m_ending = true;
      return;
    }
    wait = INFINITE;
  }
}
