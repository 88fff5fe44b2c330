// The gateway's counters that threads other than the UI thread also move: datagrams sent and
// failed (the sender), and connections closed unserved by reason (the listeners). Relaxed
// atomics: a count costs one atomic increment, and a reader wants a figure, not an order.
//
// Error rule: nothing fails. Thread rule: any thread. Ownership: the application owns the
// gateway's one set and lends it to the sender, the listener chain and the dispatcher (which
// reports it in the status and the metrics); tests make their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/connection_guard.h"

struct GatewayCounters {
  // When the counting started (the application's: when the process started).
  const std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> datagramsSent{0};
  std::atomic<std::uint64_t> datagramFailures{0};
  std::atomic<std::uint64_t> refusedNotAllowed{0};
  std::atomic<std::uint64_t> refusedTooMany{0};
  std::atomic<std::uint64_t> refusedNoRoom{0};

  RefusalCounts Refusals() const;

  // Counts a request connection that the listeners closed unserved (kAdmitted counts nothing).
  void CountRefusal(CConnectionGuard::Verdict verdict);
};
