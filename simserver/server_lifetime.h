// The life of quarnix-sim.exe as a COM local server: it runs while server objects or LockServer
// locks exist, and ends when the last of them is gone, or when none was taken within the start-up
// grace period (COM starts the program for an activation that arrives at once; a start whose
// client went away must not leave the program behind).
//
// Each object and lock counts once in the process's COM reference (CoAddRefServerProcess,
// CoReleaseServerProcess), so COM stops handing out the class object as the count reaches zero.
// An activation that arrives after the program decided to end is refused with
// CO_E_SERVER_STOPPING, which tells COM to start a fresh server.
//
// Error rule: Start returns false when the event cannot be made; the rest cannot fail.
// Thread rule: Acquire, Hold and Release from any thread (COM's RPC threads); WaitUntilUnused on
// the main thread only. Ownership: one instance, the program's; no resources beyond an event.
#pragma once

#include <mutex>

#include "platform/com/com.h"

class CServerLifetime {
public:
  static CServerLifetime& Instance();

  bool Start();

  // A reference for an activation or a LockServer lock; false (nothing taken) once ending.
  bool Acquire();
  // A reference for a server object, which exists already and so is always counted.
  void Hold();
  // Gives back one reference; the last one wakes WaitUntilUnused.
  void Release();

  // LockServer: a lock counts like an object. Unlocking without a lock is ignored.
  bool Lock();
  void Unlock();

  // Returns once the count has reached zero, or after idleStartMs when nothing was ever taken;
  // from then on Acquire refuses. The caller then withdraws its class object at once, so that a
  // new activation starts a new process instead of reaching this one while it ends.
  void WaitUntilUnused(DWORD idleStartMs);

private:
  CServerLifetime() = default;

  std::mutex m_mutex;
  HANDLE m_unused = nullptr;  // auto-reset: set when the count reaches zero
  unsigned m_count = 0;
  unsigned m_locks = 0;
  bool m_everUsed = false;
  bool m_ending = false;
};
