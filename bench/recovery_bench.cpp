// Recovery: with 1,000 active groups of 10 items, the simulated server crashes (a write to
// "Control.Restart") and comes back. Measured from the request that finds the server creatable
// again (it brings every group back before it is answered) to the first value-change datagram
// of a re-registered group, and to the moment every group has reported again.
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/gateway_groups.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "client/udp_receiver.h"
#include "tests/e2e/running_gateway.h"

namespace {

constexpr int kGroups = 1000;
constexpr int kItems = 10;

// The group handle of a value-change datagram, or -1 for anything else.
int ValueChangeGroup(const std::string& bytes) {
  if (bytes.size() < 16 || bytes[0] != 'C') return -1;
  return (static_cast<unsigned char>(bytes[7]) << 8) | static_cast<unsigned char>(bytes[8]);
}

// A 30 s hang ("Control.Hang") while a client sends "SR" every 200 ms: the gateway gives the
// server up at the call deadline (10 s) and gets it back once the hang is over. Measured from the
// end of the hang to the first value change of a re-registered group.
bool MeasureHang(CRunningGateway& gateway, CUdpReceiver& receiver) {
  if (!DefineControlGroup(gateway, receiver.Port(), "hang", "Control.Hang")) return false;
  const int index = kGroups + 1;
  const auto hangEnd = BenchClock::now() + std::chrono::seconds(30);
  gateway.Exchange(WriteSyncRequest(index, {{0, "30"}}));
  BenchClock::time_point back{};
  while (back == BenchClock::time_point{} &&
         BenchClock::now() < hangEnd + std::chrono::seconds(90)) {
    gateway.Exchange(ReadSyncRequest(0, {0}), std::chrono::seconds(60));
    while (const auto datagram = receiver.Receive(std::chrono::milliseconds(200))) {
      const int group = ValueChangeGroup(datagram->bytes);
      if (BenchClock::now() < hangEnd || group < 0 || group >= kGroups) continue;
      back = BenchClock::now();
      break;
    }
  }
  if (back == BenchClock::time_point{}) {
    std::fprintf(stderr, "the groups did not come back after the hang\n");
    return false;
  }
  PrintLine(
      "first value change after the end of a 30 s hang %8.1f ms (deadline 10 s, SR every "
      "200 ms)",
      ElapsedMs(hangEnd, back));
  return true;
}

}  // namespace

int main() {
  PrintTitle("Recovery: 1,000 groups of 10 items back after the OPC server restarts");
  CRunningGateway gateway;
  CUdpReceiver receiver;
  std::string reason;
  if (!gateway.Ready() || !receiver.Open("127.0.0.1", 0, &reason)) {
    std::fprintf(stderr, "the gateway or the receiver did not start %s\n", reason.c_str());
    return 1;
  }
  if (!DefineAndActivateGroups(
          gateway, receiver.Port(), "recovery", kGroups,
          std::vector<ItemDefinition>(kItems, ItemDefinition{"Ramp.Int4", true, 0}))) {
    std::fprintf(stderr, "defining the groups failed\n");
    return 1;
  }
  // One second of downtime; a read afterwards meets the dead server and the gateway gives it up.
  DefineControlGroup(gateway, receiver.Port(), "control", "Control.Restart");
  gateway.Exchange(WriteSyncRequest(kGroups, {{0, "1"}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  gateway.Exchange(ReadSyncRequest(0, {0}));
  while (receiver.Receive(std::chrono::milliseconds(0))) {
  }

  const auto start = BenchClock::now();
  const ExchangeResult heartbeat = gateway.Exchange(HeartbeatRequest(), std::chrono::seconds(60));
  const auto answered = BenchClock::now();
  BenchClock::time_point first{};
  std::set<int> reported;
  const auto deadline = start + std::chrono::seconds(60);
  while (static_cast<int>(reported.size()) < kGroups && BenchClock::now() < deadline) {
    const auto datagram = receiver.Receive(std::chrono::milliseconds(500));
    if (!datagram) continue;
    const int group = ValueChangeGroup(datagram->bytes);
    if (group < 0 || group >= kGroups) continue;
    if (reported.empty()) first = BenchClock::now();
    reported.insert(group);
  }
  const auto all = BenchClock::now();
  if (!heartbeat.Ok() || reported.empty()) {
    std::fprintf(stderr, "the groups did not come back: %s\n", heartbeat.raw.c_str());
    return 1;
  }
  PrintLine("request that restored the groups answered after %8.1f ms", ElapsedMs(start, answered));
  PrintLine("first value change of a restored group after  %8.1f ms (target < 2000 ms)",
            ElapsedMs(start, first));
  PrintLine("value changes from %4zu of %d groups after     %8.1f ms", reported.size(), kGroups,
            ElapsedMs(start, all));
  return MeasureHang(gateway, receiver) ? 0 : 1;
}
