// A debug-build check that an object is used on the thread that created it.
//
// The group list, the server connection and the request handlers belong to the UI thread; a
// call from another thread is a programming fault, caught here in debug builds and free in
// release builds. Error rule: asserts. Thread rule: construct on the owning thread.
#pragma once

#include <cassert>
#include <thread>

class CThreadAffinity {
public:
  CThreadAffinity() : m_owner(std::this_thread::get_id()) {}

  // Asserts (debug builds only) that the caller runs on the owning thread.
  void Check() const { assert(std::this_thread::get_id() == m_owner && "used off its thread"); }

private:
  std::thread::id m_owner;
};
