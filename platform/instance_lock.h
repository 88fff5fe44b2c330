// The single-instance guard: one running gateway per listening port.
//
// An exclusive advisory lock on a file named after the guard (for example
// "com.vesk.Morvantel.semaphore.8089") in $XDG_RUNTIME_DIR, or /tmp when that is not set. The
// kernel drops the lock when the holder dies, so a crashed instance never blocks the next start;
// the file itself stays and is reused.
//
// Error rule: Acquire reports the outcome; nothing throws. Thread rule: one thread at a time.
// Ownership: the object holds the lock until Release or its destruction.
#pragma once

#include <string>

class CInstanceLock {
public:
  enum class Result {
    kAcquired,     // this process now holds the guard
    kAlreadyHeld,  // another process (or another lock object) holds it
    kUnavailable,  // the lock file cannot be opened or locked; no guard is possible
  };

  CInstanceLock() = default;
  ~CInstanceLock();
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  // Takes the guard of the given name without waiting.
  Result Acquire(const std::string& name);
  // Gives the guard up; does nothing when none is held. Safe to call any number of times.
  void Release();
  bool IsHeld() const { return m_fd >= 0; }

  // The folder that holds the lock files.
  static std::string LockDirectory();
  // The full path of the lock file of a name.
  static std::string LockPath(const std::string& name);

private:
  int m_fd = -1;
};
