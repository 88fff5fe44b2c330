// The process-wide counters that threads other than the UI thread also move: datagrams sent and
// failed (the sender), and connections closed unserved by reason (the listeners). Relaxed
// atomics: a count costs one atomic increment, and a reader wants a figure, not an order.
//
// Error rule: nothing fails. Thread rule: any thread. Ownership: one process-wide instance.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "net/connection_guard.h"

struct GatewayCounters {
  // When the process started (when its static objects were made).
  const std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> datagramsSent{0};
  std::atomic<std::uint64_t> datagramFailures{0};
  std::atomic<std::uint64_t> refusedNotAllowed{0};
  std::atomic<std::uint64_t> refusedTooMany{0};
  std::atomic<std::uint64_t> refusedNoRoom{0};

  RefusalCounts Refusals() const;
};

GatewayCounters& Counters();

// Counts a request connection that the listeners closed unserved (kAdmitted counts nothing).
void CountRefusal(CConnectionGuard::Verdict verdict);
