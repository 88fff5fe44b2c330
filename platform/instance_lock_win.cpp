#include "platform/instance_lock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

CInstanceLock::~CInstanceLock() {
  Release();
}

CInstanceLock::Result CInstanceLock::Acquire(const std::string& name) {
  Release();
  // Initial count 0, maximum 1: the object's existence is the guard.
  HANDLE semaphore = ::CreateSemaphoreA(nullptr, 0, 1, name.c_str());
  if (semaphore == nullptr) {
    // The name exists but cannot be opened: a semaphore of another user's instance (access
    // denied) or an object of another kind. Either way this port's guard is taken.
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE) return Result::kAlreadyHeld;
    return Result::kUnavailable;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    // The handle opened the other instance's semaphore: give it back at once.
    ::CloseHandle(semaphore);
    return Result::kAlreadyHeld;
  }
  m_handle = semaphore;
  return Result::kAcquired;
}

void CInstanceLock::Release() {
  if (m_handle == kNoHandle) return;
  ::CloseHandle(static_cast<HANDLE>(m_handle));  // the last handle's close deletes the object
  m_handle = kNoHandle;
}
