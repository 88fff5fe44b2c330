#include "net/gateway_counters.h"

RefusalCounts GatewayCounters::Refusals() const {
  RefusalCounts counts;
  counts.notAllowed = refusedNotAllowed.load(std::memory_order_relaxed);
  counts.tooMany = refusedTooMany.load(std::memory_order_relaxed);
  counts.noRoom = refusedNoRoom.load(std::memory_order_relaxed);
  return counts;
}

void GatewayCounters::CountRefusal(CConnectionGuard::Verdict verdict) {
  switch (verdict) {
    case CConnectionGuard::Verdict::kNotAllowed:
      refusedNotAllowed.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kTooMany:
      refusedTooMany.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kNoRoom:
      refusedNoRoom.fetch_add(1, std::memory_order_relaxed);
      break;
    case CConnectionGuard::Verdict::kAdmitted:
      break;
  }
}
