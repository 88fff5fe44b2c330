// The MQTT bridge replaying an outage: 100 groups of 10 simulator items that change every 100 ms
// (10,000 changes a second) go through quarnix-mqtt with a queue on disk to a mosquitto broker
// of the benchmark's own. The broker is stopped for 10 s (about 100,000 changes queued) and
// started again; while the bridge replays the queue at its replay_rate (1,000 a second, the
// default) beside the live changes, it measures the latency from a write to Memory.Int4 ("SW" to
// the gateway) to the subscriber's live message, p50 and p99 (target: p99 within 100 ms), the
// replay rate reached, and the bridge's memory with the queue full. The baseline is the same
// latency with the same load before the outage, when nothing is replayed.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "bench/mqtt_bench_support.h"
#include "tests/e2e/gateway_process.h"
#include "tests/e2e/http_scrape.h"

namespace {

constexpr int kGroups = 100;
constexpr const char* kRampItems[] = {"Ramp.Int1",    "Ramp.Int2",  "Ramp.Int4",  "Ramp.UInt1",
                                      "Ramp.UInt2",   "Ramp.UInt4", "Ramp.Real4", "Ramp.Real8",
                                      "Ramp.Boolean", "Ramp.String"};
constexpr auto kOutage = std::chrono::seconds(10);
constexpr int kReplayRate = 1000;

std::string BridgeConfigText(std::uint16_t gatewayPort, std::uint16_t brokerPort,
                             const std::string& stateDir, std::uint16_t metricsPort) {
  std::string text =
      "[gateway]\nhost = 127.0.0.1\nport = " + std::to_string(gatewayPort) +
      "\nudp_port = " + std::to_string(FreeUdpPort()) + "\nrequest_timeout = 120\n" +
      "[broker]\nhost = 127.0.0.1\nport = " + std::to_string(brokerPort) +
      "\nclient_id = benchreplay\nkeepalive = 5\n[bridge]\nprefix = bench\n"
      "state_dir = " +
      stateDir + "\nreplay_rate = " + std::to_string(kReplayRate) +
      "\nmetrics_port = " + std::to_string(metricsPort) +
      "\nmetrics_bind = 127.0.0.1\n[group latency]\nrate = 10\nitem = " + kMemoryItem + "\n";
  for (int g = 0; g < kGroups; ++g) {
    text += "[group replay" + std::to_string(g) + "]\nrate = 100\n";
    for (const char* item : kRampItems) text += std::string("item = ") + item + "\n";
  }
  return text;
}

double Sample(std::uint16_t metricsPort, const std::string& name) {
  return SampleValue(HttpGet(metricsPort, "/metrics"), name).value_or(-1);
}

}  // namespace

int main() {
  PrintTitle("MQTT bridge: live latency while an outage of 10,000 changes a second is replayed");
  mosquitto_lib_init();
  CMosquittoBroker broker("allow_anonymous true");
  CRunningGateway gateway;
  if (!broker.Ready() || !gateway.Ready()) {
    std::fprintf(stderr, "the broker or the gateway did not start\n");
    return 1;
  }
  const auto stateDir = CGatewayProcess::MakeWorkDirectory();
  const std::uint16_t metricsPort = FreeLoopbackPort();
  CCountingSubscriber subscriber(broker.Port());
  int status = 0;
  {
    CBridgeProcess bridge(
        BridgeConfigText(gateway.ListenPort(), broker.Port(), stateDir.string(), metricsPort));
    if (!bridge.WaitForLog("groups defined and active", std::chrono::seconds(120))) {
      std::fprintf(stderr, "the bridge did not define its groups:\n%s\n", bridge.Log().c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // past the first values of every item
    const LatencyFigures before = WriteLatency(gateway, subscriber, 1000);

    broker.Stop();
    std::this_thread::sleep_for(kOutage);
    const double queued = Sample(metricsPort, "quarnix_mqtt_queued_messages");
    const double queueBytes = Sample(metricsPort, "quarnix_mqtt_queue_bytes");
    const long residentKiB = ResidentKiB(bridge.Process().Pid());
    if (!broker.Start()) return 1;
    const std::string connected =
        "quarnix_mqtt_broker_connected{broker=\"127.0.0.1:" + std::to_string(broker.Port()) + "\"}";
    WaitUntil([&] { return Sample(metricsPort, connected) == 1; }, std::chrono::seconds(30));
    const double replayedBefore = Sample(metricsPort, "quarnix_mqtt_replayed_total");
    const auto start = BenchClock::now();
    const LatencyFigures during = WriteLatency(gateway, subscriber, 100000);
    const double seconds = ElapsedMs(start, BenchClock::now()) / 1000;
    const double replayRate =
        (Sample(metricsPort, "quarnix_mqtt_replayed_total") - replayedBefore) / seconds;
    const double left = Sample(metricsPort, "quarnix_mqtt_queued_messages");

    PrintLine("queued in %.0f s of outage: %.0f changes, %.1f MB on disk; bridge memory %ld KiB",
              std::chrono::duration<double>(kOutage).count(), queued, queueBytes / 1e6,
              residentKiB);
    PrintLatency("before the outage", before);
    PrintLatency("during the replay", during);
    PrintComparison("live latency p99 (target: within 100 ms during the replay)", during.p99Ms,
                    before.p99Ms, "ms", "replaying", "no replay");
    PrintLine(
        "replayed %.0f messages/s while measuring (replay_rate %d); %.0f still queued at "
        "the end%s",
        replayRate, kReplayRate, left,
        left > 0 ? ""
                 : " (the replay ended before the measurement: the figure is partly "
                   "without a replay)");
    status = during.count > 0 ? 0 : 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(stateDir, ignored);
  mosquitto_lib_cleanup();
  return status;
}
