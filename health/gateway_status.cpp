#include "health/gateway_status.h"

#include <algorithm>

void CRequestFigures::Record(const std::string& command, int code, double seconds) {
  ++m_answered;
  auto entry = std::find_if(m_byCommand.begin(), m_byCommand.end(),
                            [&](const CommandCounts& c) { return c.command == command; });
  if (entry == m_byCommand.end()) {
    m_byCommand.push_back({command, {}});
    entry = std::prev(m_byCommand.end());
  }
  const Result result = code == 0 ? kSuccess : code == 1 ? kRefused : kFailed;
  ++entry->counts[result];
  std::size_t bucket = 0;
  while (bucket < kBucketBounds.size() && seconds > kBucketBounds[bucket]) ++bucket;
  ++m_buckets[bucket];
  m_secondsTotal += seconds;
}

double GatewayStatus::LargestValueAge() const {
  double largest = -1;
  for (const GroupValueAge& age : groupAges) largest = std::max(largest, age.seconds);
  return largest;
}

void WriteCounts::Count(std::string_view result, Reason reason) {
  for (std::size_t k = 0; k < kResultCount; ++k) {
    if (result != kResultNames[k]) continue;
    ++byResult[k];
    if (k == kRefused) ++refusedBy[static_cast<std::size_t>(reason)];
    return;
  }
}
