// COM for the OPC code: the real one on Windows, a small faithful subset elsewhere
// (platform/com/com_subset.h), plus the few helpers this project adds on both.
//
// Same names, values and calling rules as the Windows originals, so that the OPC code above
// compiles on either unchanged: reference-counted interfaces, out-pointers, task-allocated
// arrays that the caller frees with CoTaskMemFree, BSTRs, VARIANTs and HRESULTs.
//
// Error rule: every function returns an HRESULT (or a documented plain value); nothing throws.
// Thread rule: CoInitialize/CoUninitialize count per thread. A sink advised from a thread that
// called CoInitialize receives its callbacks on that thread, through the thread's apartment
// (platform/apartment.h), never synchronously inside the call that caused them.
// Ownership: interface pointers carry one reference each and are released by their holder;
// memory from CoTaskMemAlloc is freed by whoever receives it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/wide_string.h"

// The real COM on Windows; the subset elsewhere.
#if defined(_WIN32)
#include "platform/com/com_win.h"
#else
#include "platform/com/com_subset.h"
#endif

// The calling thread's COM apartment, for calls that must later run on that thread (callbacks into
// a sink advised there). Empty when the thread has not initialised COM. The calls travel through
// the thread's CApartment (platform/apartment.h), which its event loop drains. The last
// CoUninitialize of the thread ends its COM apartment: calls posted before it and not yet run are
// dropped, and later posts fail. The CApartment itself stays open, because the thread may use it
// for other hand-offs.
// Where COM is real, callbacks leave from a server's multithreaded apartment, where any thread
// may call a sink's proxy: there every thread refers to one process-wide callback thread in that
// apartment, which runs the posted calls one at a time in the order they were posted and lives
// until the process ends.
struct ComThreadState;
class ComApartmentRef {
public:
  ComApartmentRef() = default;
  static ComApartmentRef Current();

  bool IsValid() const { return m_state != nullptr; }
  // True while that thread's COM apartment is still the one this refers to.
  bool IsAlive() const;
  // True when the calling thread is the apartment's thread.
  bool IsCurrentThread() const;
  // Queues call for that thread. False (call dropped) when the apartment has ended.
  bool Post(std::function<void()> call) const;

private:
  std::shared_ptr<ComThreadState> m_state;
  std::uint64_t m_generation = 0;
};

// --- Helpers used by this project ---------------------------------------------------------------
// "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}" form, upper case.
std::string GuidToString(REFGUID guid);
// True for the scalar types VariantChangeType converts among (VT_EMPTY included).
bool VariantTypeIsConvertible(VARTYPE vt);
// The calling thread's logical thread: the chain of calls it belongs to. Where COM is real, a call
// into another apartment carries it along, so a call that a sink makes back into the server from
// inside a callback has the id of the thread that made the callback; elsewhere it is the id of
// the calling thread.
GUID ComLogicalThreadId();

// --- Calls into a server, as the calling thread sees them ---------------------------------------
// The calling thread's id, as CoCancelCall takes it.
DWORD ComCurrentThreadId();
// What a thread is waiting for: its pending call into a server. Where COM is real the proxies do
// not tell (pending is always false there); in the subset a server served in this process marks
// each call it serves with a ComCallFrame on the calling thread.
struct ComPendingCall {
  bool pending = false;
  std::uint64_t serial = 0;  // changes with every call
  const char* method = "";   // the method's name, static text
  std::chrono::steady_clock::time_point started{};
};
ComPendingCall ComPendingCallOf(DWORD threadId);
// Whether ComPendingCallOf reports calls here (the subset: yes; the real COM: no).
bool ComPendingCallsObservable();
// Cancels the thread's pending call when it is still call serial (CoCancelCall for exactly that
// call, so that a call that ended meanwhile cannot take the next one down with it).
HRESULT ComCancelPendingCall(DWORD threadId, std::uint64_t serial);

// A server's side of one call (a server served in this process stands in for a proxy with it):
// while it lives, the calling thread is in a pending call of that method. Block lets the call
// hang or lag as a server that does not answer: in the subset it waits until duration passes or
// the calling thread's call is cancelled (then RPC_E_CALL_CANCELED), as the caller's proxy would
// return; where COM is real it blocks the serving thread for duration (S_OK).
class ComCallFrame {
public:
  explicit ComCallFrame(const char* method);
  ~ComCallFrame();
  ComCallFrame(const ComCallFrame&) = delete;
  ComCallFrame& operator=(const ComCallFrame&) = delete;
  HRESULT Block(std::chrono::milliseconds duration);
};

// Owns one interface reference; releases it when reset or destroyed.
template <class T>
class ComPtr {
public:
  ComPtr() = default;
  explicit ComPtr(T* p) : m_p(p) {}  // adopts the reference
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      Reset();
      m_p = o.m_p;
      o.m_p = nullptr;
    }
    return *this;
  }
  ~ComPtr() { Reset(); }

  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  // Borrows the pointer where a plain one is taken, like Get(): no reference moves.
  operator T*() const { return m_p; }
  friend bool operator==(const ComPtr& held, std::nullptr_t) { return held.m_p == nullptr; }
  // For out-parameters: releases what is held and gives the slot to fill.
  T** Put() {
    Reset();
    return &m_p;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  T* Detach() {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }
  void Reset() {
    if (m_p) {
      T* p = m_p;
      m_p = nullptr;
      p->Release();
    }
  }

private:
  T* m_p = nullptr;
};

// Owns one CoTaskMemAlloc'd block.
template <class T>
class CoTaskPtr {
public:
  CoTaskPtr() = default;
  explicit CoTaskPtr(T* p) : m_p(p) {}
  CoTaskPtr(const CoTaskPtr&) = delete;
  CoTaskPtr& operator=(const CoTaskPtr&) = delete;
  ~CoTaskPtr() { Reset(); }
  T* Get() const { return m_p; }
  T& operator[](std::size_t i) const { return m_p[i]; }
  friend bool operator==(const CoTaskPtr& held, std::nullptr_t) { return held.m_p == nullptr; }
  T** Put() {
    Reset();
    return &m_p;
  }
  void Reset() {
    CoTaskMemFree(m_p);
    m_p = nullptr;
  }
  T* Detach() {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }

private:
  T* m_p = nullptr;
};
