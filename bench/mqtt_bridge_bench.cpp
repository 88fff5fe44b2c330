// The MQTT bridge under load: 1,000 groups of 10 simulator items of every type (reals and
// strings too) that all change every 100 ms (10,000 items, 100,000 changes per second) go from
// the gateway as typed datagrams ("TD") through quarnix-mqtt to a subscriber on a mosquitto
// broker of the benchmark's own. Measured: messages per second at the
// subscriber against the changes the gateway produces, the bridge's processor share, and the
// latency from a write to Memory.Int4 ("SW" to the gateway) to the subscriber's message, p50 and
// p99, with the bridge idle and under the load. The baseline is the rate at which the gateway
// sends the same items' typed changes to a plain UDP receiver, measured alone before.
#include <mosquitto.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/mqtt_bench_support.h"
#include "client/datagram_decoder.h"
#include "client/gateway_client.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "client/udp_receiver.h"
#include "tests/e2e/running_gateway.h"
#include "tests/mqtt/mqtt_fixtures.h"

namespace {

constexpr int kGroups = 1000;
constexpr const char* kRampItems[] = {"Ramp.Int1",    "Ramp.Int2",  "Ramp.Int4",  "Ramp.UInt1",
                                      "Ramp.UInt2",   "Ramp.UInt4", "Ramp.Real4", "Ramp.Real8",
                                      "Ramp.Boolean", "Ramp.String"};
// Datagrams the system dropped for a full receive buffer on the UDP port ("drops" of
// /proc/net/udp), or -1 when the port is not found.
long UdpDrops(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, field;
    fields >> slot >> local;
    if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) continue;
    while (fields >> field) {
    }
    return std::atol(field.c_str());  // the last column
  }
  return -1;
}

std::string BridgeConfigText(std::uint16_t gatewayPort, std::uint16_t brokerPort, bool load,
                             std::uint16_t udpPort) {
  std::string text = "[gateway]\nhost = 127.0.0.1\nport = " + std::to_string(gatewayPort) +
                     "\nudp_port = " + std::to_string(udpPort) + "\nrequest_timeout = 120\n" +
                     "[broker]\nhost = 127.0.0.1\nport = " + std::to_string(brokerPort) +
                     "\nclient_id = bench" + (load ? "load" : "idle") +
                     "\n[bridge]\nprefix = bench\nwrites = false\n"
                     "[group latency]\nrate = 10\nitem = " +
                     kMemoryItem + "\n";
  for (int g = 0; load && g < kGroups; ++g) {
    text += "[group load" + std::to_string(g) + "]\nrate = 100\n";
    for (const char* item : kRampItems) text += std::string("item = ") + item + "\n";
  }
  return text;
}

// The baseline: the same 10,000 items defined straight on the gateway with "TD", their typed
// value-change entries counted at a plain UDP receiver for the measuring time.
double ProducedPerSecond(const CRunningGateway& gateway, std::chrono::seconds duration) {
  CUdpReceiver receiver;
  std::string reason;
  if (!receiver.Open("127.0.0.1", 0, &reason)) return 0;
  std::vector<GroupDefinition> groups;
  for (int g = 0; g < kGroups; ++g) {
    GroupDefinition group{"raw" + std::to_string(g), true, 100, {}};
    for (const char* item : kRampItems) group.items.push_back(ItemDefinition{item, true, 0});
    groups.push_back(std::move(group));
  }
  const ExchangeResult defined = gateway.Exchange(DefineTypedGroupsRequest(groups, receiver.Port()),
                                                  std::chrono::seconds(120));
  const auto indices = ReplyIndices(defined.reply.text);
  if (!defined.Ok() || !indices) return 0;
  gateway.Exchange(SetGroupsActiveRequest(true, *indices));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  while (receiver.Receive(std::chrono::milliseconds(0))) {
  }
  std::uint64_t entries = 0;
  const long dropsBefore = UdpDrops(receiver.Port());
  const auto start = BenchClock::now();
  while (BenchClock::now() - start < duration) {
    const auto datagram = receiver.Receive(std::chrono::milliseconds(100));
    if (!datagram) continue;
    const DecodeResult decoded = DecodeDatagram(datagram->bytes);
    if (decoded.ok) entries += decoded.datagram.typedItems.size();
  }
  const double seconds = ElapsedMs(start, BenchClock::now()) / 1000;
  PrintLine("baseline receiver: %ld datagrams dropped for a full receive buffer while counting",
            UdpDrops(receiver.Port()) - dropsBefore);
  gateway.Exchange(RemoveGroupsRequest(*indices));
  return entries / seconds;
}

}  // namespace

int main() {
  PrintTitle("MQTT bridge: 10,000 items changing every 100 ms, gateway to bridge to subscriber");
  mosquitto_lib_init();
  CMosquittoBroker broker("allow_anonymous true\nsys_interval 1");
  CRunningGateway gateway;
  if (!broker.Ready() || !gateway.Ready()) {
    std::fprintf(stderr, "the broker or the gateway did not start\n");
    return 1;
  }
  CCountingSubscriber subscriber(broker.Port());
  {
    CBridgeProcess idle(
        BridgeConfigText(gateway.ListenPort(), broker.Port(), false, FreeUdpPort()));
    if (!idle.WaitForLog("groups defined and active", std::chrono::seconds(30))) return 1;
    PrintLatency("bridge idle", WriteLatency(gateway, subscriber, 1000));
  }
  const double produced = ProducedPerSecond(gateway, std::chrono::seconds(10));
  const std::uint16_t udpPort = FreeUdpPort();
  CBridgeProcess bridge(BridgeConfigText(gateway.ListenPort(), broker.Port(), true, udpPort));
  const auto defineStart = BenchClock::now();
  if (!bridge.WaitForLog("groups defined and active", std::chrono::seconds(300))) {
    std::fprintf(stderr, "the bridge did not define its groups:\n%s\n", bridge.Log().c_str());
    return 1;
  }
  PrintLine("defining and activating 1,001 groups: %.0f ms",
            ElapsedMs(defineStart, BenchClock::now()));
  std::this_thread::sleep_for(std::chrono::seconds(3));  // past the first values of every item

  const int pid = bridge.Process().Pid();
  const double cpuBefore = ProcessCpuSeconds(pid);
  const double gatewayCpuBefore = ProcessCpuSeconds(gateway.Process().Pid());
  const std::uint64_t countBefore = subscriber.Count();
  const std::uint64_t brokerBefore = subscriber.BrokerReceived();
  const auto start = BenchClock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double seconds = ElapsedMs(start, BenchClock::now()) / 1000;
  const double delivered = (subscriber.Count() - countBefore) / seconds;
  const double published = (subscriber.BrokerReceived() - brokerBefore) / seconds;
  const double bridgeCpu = (ProcessCpuSeconds(pid) - cpuBefore) / seconds;
  const double gatewayCpu =
      (ProcessCpuSeconds(gateway.Process().Pid()) - gatewayCpuBefore) / seconds;
  PrintComparison("changes delivered to the subscriber", delivered, produced, "/s", "bridge",
                  "gateway sends (measured alone)");
  PrintLine(
      "messages the broker received: %.0f /s, dropped %llu in all (the bridge merges the "
      "changes of an item that come faster than the broker takes them)",
      published, static_cast<unsigned long long>(subscriber.BrokerDropped()));
  PrintLine("bridge processor: %.0f %% of one core; gateway: %.0f %%; bridge memory %ld KiB",
            bridgeCpu * 100, gatewayCpu * 100, ResidentKiB(pid));
  PrintLine("bridge: %ld datagrams dropped for a full receive buffer since it started",
            UdpDrops(udpPort));
  PrintLatency("under the load", WriteLatency(gateway, subscriber, 100000));
  mosquitto_lib_cleanup();
  return 0;
}
