#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

CInstanceLock::~CInstanceLock() {
  Release();
}

std::string CInstanceLock::LockDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') return runtime;
  return "/tmp";
}

std::string CInstanceLock::LockPath(const std::string& name) {
  return LockDirectory() + "/" + name;
}

CInstanceLock::Result CInstanceLock::Acquire(const std::string& name) {
  Release();
  // Read-only is enough for flock, and lets a file created by another user be shared.
  const int fd = ::open(LockPath(name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Result::kUnavailable;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? Result::kAlreadyHeld : Result::kUnavailable;
  }
  m_handle = fd;
  return Result::kAcquired;
}

void CInstanceLock::Release() {
  if (m_handle == kNoHandle) return;
  ::close(m_handle);  // closing the only descriptor drops the lock
  m_handle = kNoHandle;
}
