// The deadline on the gateway's calls into its OPC server: a watchdog thread that cancels the
// owning thread's pending call into the server once it has lasted longer than the deadline.
//
// Every call the owning (UI) thread makes into the server or one of its objects is covered, by
// construction: the watchdog watches what the thread waits for (ComPendingCallOf), not the call
// sites. A cancelled call returns RPC_E_CALL_CANCELED at once, as a proxy does; what it was and
// how long it had lasted is kept for the owning thread (TakeCancelled), which decides whether the
// server is slow or hung. A call shorter than the deadline is never touched.
//
// Where the platform cannot tell what a thread waits for (the real COM: ComPendingCallsObservable
// is false) the watchdog does not run: there the server's objects are reached through decorators
// that make each call on a call thread and give it up at Timeout() (opc/deadline_objects.h), and
// report it here with NoteCancelled.
//
// Error rule: nothing fails; a cancellation the platform refuses leaves the call waiting.
// Thread rule: construct, SetTimeout, ScopedTimeout, TakeCancelled and NoteCancelled on the
// owning thread; the watchdog thread is the object's own. Ownership: owns its thread, joined by the
// destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "opc/opcda.h"

// The deadline set with /calltimeout, in seconds (default 10), given to the server connection
// when it is made (ConnectionTimes, opc/server_connection.h).
inline constexpr int kDefaultCallTimeoutSeconds = 10;
inline constexpr int kMinCallTimeoutSeconds = 1;
inline constexpr int kMaxCallTimeoutSeconds = 600;

// A call the watchdog cancelled: the method and how long it had lasted.
struct CancelledCall {
  std::string method;
  std::chrono::milliseconds lasted{0};
};

class CCallDeadline {
public:
  // A timeout of 0 starts no watchdog: nothing is ever cancelled (benchmarks compare with it;
  // the command line allows 1 to 600 seconds only).
  explicit CCallDeadline(std::chrono::milliseconds timeout);
  ~CCallDeadline();
  CCallDeadline(const CCallDeadline&) = delete;
  CCallDeadline& operator=(const CCallDeadline&) = delete;

  void SetTimeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds Timeout() const;

  // The deadline is timeout for the calls made while the scope lives (the status check after a
  // cancelled call); the previous one holds again afterwards.
  class ScopedTimeout {
  public:
    ScopedTimeout(CCallDeadline& deadline, std::chrono::milliseconds timeout);
    ~ScopedTimeout();
    ScopedTimeout(const ScopedTimeout&) = delete;
    ScopedTimeout& operator=(const ScopedTimeout&) = delete;

  private:
    CCallDeadline& m_deadline;
    std::chrono::milliseconds m_previous;
  };

  // How long the next call may take: Timeout(), or nothing at all (it is cancelled at once)
  // while a cancellation has not been taken yet or SetCancelAtOnce holds. So one request that
  // met a hung server makes no second call that waits the deadline again.
  std::chrono::milliseconds CallWait() const;
  // Every call is cancelled at once while set (a server judged hung, not yet given up).
  void SetCancelAtOnce(bool atOnce);
  bool HasCancelled() const;

  // The first call cancelled since the previous TakeCancelled, if any.
  std::optional<CancelledCall> TakeCancelled();
  // A call started at started and given up at the deadline by other means than the watchdog (a
  // creation on a thread of its own, the Windows build's calls on call threads,
  // opc/deadline_objects.h): reported by the next TakeCancelled, lasting until now.
  void NoteCancelled(const char* method, std::chrono::steady_clock::time_point started);

private:
  void Watch();

  const DWORD m_owner;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::chrono::milliseconds m_timeout;
  bool m_ending = false;
  bool m_cancelAtOnce = false;
  std::uint64_t m_lastCancelledSerial = 0;
  std::optional<CancelledCall> m_cancelled;
  std::thread m_thread;
};
