// Failover and failback: 1,000 active groups of 10 items on a gateway with a backup server
// (/backup Quarnix.Simulator.2 /failover 2 /failback 5). The primary crashes for 20 s (a write to
// "Control.Restart"); measured from the crash to the first value change of every group from the
// backup (its "Control.Instance" item reads 2), and from the primary's return to the first value
// change of every group from the primary again (1). Target: below 2 s beyond /failover and
// /failback respectively.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/gateway_groups.h"
#include "client/datagram_decoder.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "client/udp_receiver.h"
#include "tests/e2e/running_gateway.h"

namespace {

constexpr int kGroups = 1000;
constexpr int kItems = 10;
constexpr int kFailoverSeconds = 2;
constexpr int kFailbackSeconds = 5;
constexpr int kDownSeconds = 20;

// Control.Instance first (which server answers), then counters.
std::vector<ItemDefinition> Items() {
  std::vector<ItemDefinition> items{ItemDefinition{"Control.Instance", true, 0}};
  items.resize(kItems, ItemDefinition{"Ramp.Int4", true, 0});
  return items;
}

// Waits until every group has sent a value change whose first item reads instance; the time of
// the first such datagram and of the last group's, or nothing by the deadline.
bool WaitForInstance(CUdpReceiver& receiver, std::uint32_t instance,
                     BenchClock::time_point deadline, BenchClock::time_point& first,
                     BenchClock::time_point& all) {
  std::vector<bool> seen(kGroups, false);
  int count = 0;
  while (count < kGroups && BenchClock::now() < deadline) {
    const auto datagram = receiver.Receive(std::chrono::milliseconds(200));
    if (!datagram) continue;
    const DecodeResult decoded = DecodeDatagram(datagram->bytes);
    const Datagram& d = decoded.datagram;
    if (!decoded.ok || d.kind != DatagramKind::kValueChange || d.group >= kGroups) continue;
    for (const ItemEntry& item : d.items) {
      if (item.handle != 0 || item.value != instance || seen[d.group]) continue;
      if (count == 0) first = BenchClock::now();
      seen[d.group] = true;
      ++count;
    }
  }
  all = BenchClock::now();
  if (count < kGroups) std::fprintf(stderr, "only %d of %d groups reported\n", count, kGroups);
  return count == kGroups;
}

}  // namespace

int main() {
  PrintTitle("Failover: 1,000 groups of 10 items to the backup server and back");
  CRunningGateway gateway({"/backup", "Quarnix.Simulator.2", "/failover",
                           std::to_string(kFailoverSeconds), "/failback",
                           std::to_string(kFailbackSeconds), "/statuscheck", "1"});
  CUdpReceiver receiver;
  std::string reason;
  if (!gateway.Ready() || !receiver.Open("127.0.0.1", 0, &reason)) {
    std::fprintf(stderr, "the gateway or the receiver did not start %s\n", reason.c_str());
    return 1;
  }
  if (!DefineAndActivateGroups(gateway, receiver.Port(), "failover", kGroups, Items())) {
    std::fprintf(stderr, "defining the groups failed\n");
    return 1;
  }
  BenchClock::time_point first{};
  BenchClock::time_point all{};
  if (!WaitForInstance(receiver, 1, BenchClock::now() + std::chrono::seconds(60), first, all))
    return 1;
  DefineControlGroup(gateway, receiver.Port(), "control", "Control.Restart");
  // The backup is checked every second: give it a moment to be known ready (as in a plant,
  // where it has been watched long before the primary fails).
  for (int i = 0; i < 50; ++i) {
    const ExchangeResult status = gateway.Exchange(StatusRequest());
    if (status.Ok() && status.raw.find("server_backup_available\t1") != std::string::npos) break;
    receiver.Receive(std::chrono::milliseconds(100));
  }

  const auto crash = BenchClock::now();
  gateway.Exchange(WriteSyncRequest(kGroups, {{0, std::to_string(kDownSeconds)}}));
  if (!WaitForInstance(receiver, 2, crash + std::chrono::seconds(60), first, all)) return 1;
  PrintLine("primary lost -> first value from the backup   %8.1f ms (/failover %d s)",
            ElapsedMs(crash, first), kFailoverSeconds);
  PrintLine("primary lost -> every group from the backup   %8.1f ms (target < %d ms)",
            ElapsedMs(crash, all), (kFailoverSeconds + 2) * 1000);

  const auto back = crash + std::chrono::seconds(kDownSeconds);
  if (!WaitForInstance(receiver, 1, back + std::chrono::seconds(60), first, all)) return 1;
  PrintLine("primary back -> first value from the primary  %8.1f ms (/failback %d s)",
            ElapsedMs(back, first), kFailbackSeconds);
  PrintLine("primary back -> every group from the primary  %8.1f ms (target < %d ms)",
            ElapsedMs(back, all), (kFailbackSeconds + 2) * 1000);
  return 0;
}
