// The single-instance guard: one running gateway per listening port.
//
// On Windows, the named semaphore of that name (for example "com.vesk.Morvantel.semaphore.8089",
// initial count 0, maximum 1) in the session's namespace: creating it when it exists already
// means another instance holds the guard. On Linux, an exclusive advisory lock on a file of that
// name in $XDG_RUNTIME_DIR, or /tmp when that is not set; the file itself stays and is reused.
// Either way the system drops the guard when the holder dies, so a crashed instance never blocks
// the next start.
//
// Error rule: Acquire reports the outcome; nothing throws. Thread rule: one thread at a time.
// Ownership: the object holds the guard (its one handle, closed exactly once) until Release or
// its destruction.
#pragma once

#include <string>

class CInstanceLock {
public:
  enum class Result {
    kAcquired,     // this process now holds the guard
    kAlreadyHeld,  // another process (or another lock object) holds it
    kUnavailable,  // the guard cannot be created or locked; no guard is possible
  };

  CInstanceLock() = default;
  ~CInstanceLock();
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  // Takes the guard of the given name without waiting.
  Result Acquire(const std::string& name);
  // Gives the guard up; does nothing when none is held. Safe to call any number of times.
  void Release();
  bool IsHeld() const { return m_handle != kNoHandle; }

#if !defined(_WIN32)
  // The folder that holds the lock files.
  static std::string LockDirectory();
  // The full path of the lock file of a name.
  static std::string LockPath(const std::string& name);
#endif

private:
#if defined(_WIN32)
  using Handle = void*;  // the semaphore's HANDLE
  static constexpr Handle kNoHandle = nullptr;
#else
  using Handle = int;  // the lock file's descriptor
  static constexpr Handle kNoHandle = -1;
#endif
  Handle m_handle = kNoHandle;
};
