// Footprint: resident memory of the gateway (simulator included, as it runs in the same
// process) with 1,000 groups of 100 items, against the same gateway idle with its server
// connected.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

constexpr int kGroups = 1000;
constexpr int kItems = 100;
constexpr int kGroupsPerRequest = 50;

// Item IDs of several kinds; the Memory items are distinct per group, as a plant's are.
std::string ItemId(int group, int item) {
  switch (item % 4) {
    case 0:
      return "Memory.Int4.g" + std::to_string(group) + "_" + std::to_string(item);
    case 1:
      return "Memory.Int2.g" + std::to_string(group) + "_" + std::to_string(item);
    case 2:
      return "Static.Int4";
    default:
      return "Ramp.Int2";
  }
}

}  // namespace

int main() {
  PrintTitle("Footprint: resident memory with 1,000 groups of 100 items");
  CRunningGateway gateway;
  if (!gateway.Ready()) {
    std::fprintf(stderr, "the gateway did not start\n");
    return 1;
  }
  const int pid = gateway.Process().Pid();
  const ExchangeResult heartbeat = gateway.Exchange("HBT\r\n");  // connects the server
  if (!heartbeat.Ok()) return 1;
  const long idleKiB = ResidentKiB(pid);

  const auto start = BenchClock::now();
  for (int first = 0; first < kGroups; first += kGroupsPerRequest) {
    std::vector<GroupDefinition> groups;
    for (int g = first; g < first + kGroupsPerRequest; ++g) {
      GroupDefinition group;
      group.name = "footprint" + std::to_string(g);
      group.active = false;
      for (int i = 0; i < kItems; ++i) group.items.push_back(ItemDefinition{ItemId(g, i), true, 0});
      groups.push_back(std::move(group));
    }
    const ExchangeResult defined =
        gateway.Exchange(DefineGroupsRequest(groups), std::chrono::seconds(120));
    const auto indices = ReplyIndices(defined.reply.text);
    if (!defined.Ok() || defined.reply.code != 0 || !indices ||
        indices->size() != static_cast<std::size_t>(kGroupsPerRequest)) {
      std::fprintf(stderr, "cannot define the groups: %s %s\n", defined.message.c_str(),
                   defined.raw.c_str());
      return 1;
    }
  }
  const double defineMs = ElapsedMs(start, BenchClock::now());
  const long loadedKiB = ResidentKiB(pid);

  PrintComparison("resident memory (baseline: idle, server connected)",
                  static_cast<double>(loadedKiB) / 1024.0, static_cast<double>(idleKiB) / 1024.0,
                  "MiB");
  PrintLine("%-44s %.0f bytes", "per item defined",
            static_cast<double>(loadedKiB - idleKiB) * 1024.0 / (kGroups * kItems));
  PrintLine("%-44s %.0f ms (%d requests of %d groups)", "time to define them", defineMs,
            kGroups / kGroupsPerRequest, kGroupsPerRequest);
  return 0;
}
