#include "net/gateway_counters.h"

RefusalCounts GatewayCounters::Refusals() const {
  RefusalCounts counts;
  counts.notAllowed = refusedNotAllowed.load(std::memory_order_relaxed);
  counts.tooMany = refusedTooMany.load(std::memory_order_relaxed);
  counts.noRoom = refusedNoRoom.load(std::memory_order_relaxed);
  return counts;
}

namespace {
GatewayCounters g_counters;
}

GatewayCounters& Counters() {
  return g_counters;
}

void CountRefusal(CConnectionGuard::Verdict verdict) {
  GatewayCounters& counters = Counters();
  switch (verdict) {
    case CConnectionGuard::Verdict::kNotAllowed:
      counters.refusedNotAllowed.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kTooMany:
      counters.refusedTooMany.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kNoRoom:
      counters.refusedNoRoom.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kAdmitted:
      break;
  }
}
