// Request rate of the gateway: "HBT" with 1, 4, 16 and 64 concurrent clients, and a mix of "SR"
// and "SW" on a 10-item group, each against a raw accept-read-reply-close server measured in the
// same run; and HBT with the status check every second beside the default gateway.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

// Each figure is the median of kRounds rounds, gateway and baseline taking turns, so that a
// burst of other work on the machine spoils one round rather than one side.
const auto kDuration = std::chrono::milliseconds(1000);
constexpr int kRounds = 3;
const std::string kHeartbeat = "HBT\r\n";
const std::string kHeartbeatReply = "0\tHBT OK!\r\n";
constexpr int kMixItems = 10;
constexpr int kMixClients = 4;

using RequestMaker = std::function<std::string(int, std::uint64_t)>;
using ReplyCheck = std::function<bool(int, std::uint64_t, const std::string&)>;

// The round with the median request rate; failures of all rounds added up.
LoadFigures MedianRound(std::vector<LoadFigures> rounds) {
  std::size_t failures = 0;
  for (const auto& round : rounds) failures += round.failures;
  std::sort(rounds.begin(), rounds.end(), [](const LoadFigures& a, const LoadFigures& b) {
    return a.requestsPerSecond < b.requestsPerSecond;
  });
  LoadFigures median = rounds[rounds.size() / 2];
  median.failures = failures;
  return median;
}

// Measures the gateway and the baseline in alternating rounds.
void Compare(std::uint16_t gatewayPort, std::uint16_t rawPort, int clients,
             const RequestMaker& request, const ReplyCheck& gatewayCheck,
             const ReplyCheck& rawCheck, LoadFigures& gateway, LoadFigures& raw) {
  std::vector<LoadFigures> gatewayRounds;
  std::vector<LoadFigures> rawRounds;
  for (int round = 0; round < kRounds; ++round) {
    gatewayRounds.push_back(RunLoad(gatewayPort, clients, kDuration, request, gatewayCheck));
    rawRounds.push_back(RunLoad(rawPort, clients, kDuration, request, rawCheck));
  }
  gateway = MedianRound(std::move(gatewayRounds));
  raw = MedianRound(std::move(rawRounds));
}

void PrintLoadRow(const std::string& label, const LoadFigures& gateway, const LoadFigures& raw) {
  PrintLine(
      "%-10s gateway %7.0f req/s p50 %6.3f p99 %6.3f max %7.3f ms | raw %7.0f req/s p50 "
      "%6.3f p99 %6.3f max %7.3f ms | ratio %.2f | failures %zu/%zu",
      label.c_str(), gateway.requestsPerSecond, gateway.latency.p50Ms, gateway.latency.p99Ms,
      gateway.latency.maxMs, raw.requestsPerSecond, raw.latency.p50Ms, raw.latency.p99Ms,
      raw.latency.maxMs,
      raw.requestsPerSecond > 0 ? gateway.requestsPerSecond / raw.requestsPerSecond : 0.0,
      gateway.failures, raw.failures);
}

bool HeartbeatRate(const CRunningGateway& gateway) {
  PrintTitle(
      "Request rate: HBT, one request per connection (target: ratio >= 0.5 at 16 "
      "clients, p99 < 2 ms)");
  CRawRequestServer raw(kHeartbeatReply, 1);
  const auto request = [](int, std::uint64_t) { return kHeartbeat; };
  const auto check = [](int, std::uint64_t, const std::string& reply) {
    return reply == kHeartbeatReply;
  };
  bool ok = true;
  for (const int clients : {1, 4, 16, 64}) {
    LoadFigures gatewayFigures;
    LoadFigures rawFigures;
    Compare(gateway.ListenPort(), raw.Port(), clients, request, check, check, gatewayFigures,
            rawFigures);
    PrintLoadRow(std::to_string(clients) + " client" + (clients > 1 ? "s" : ""), gatewayFigures,
                 rawFigures);
    ok = ok && gatewayFigures.failures == 0;
  }
  return ok;
}

bool ReadWriteMix(const CRunningGateway& gateway) {
  PrintTitle("Request rate: SR and SW alternating on a 10-item group, " +
             std::to_string(kMixClients) + " clients");
  GroupDefinition group;
  group.name = "bench_mix";
  for (int k = 0; k < kMixItems; ++k) {
    group.items.push_back(ItemDefinition{"Memory.Int4.bench_mix_" + std::to_string(k), true, 3});
  }
  const ExchangeResult defined = gateway.Exchange(DefineGroupsRequest({group}));
  const auto indices = ReplyIndices(defined.reply.text);
  if (!defined.Ok() || defined.reply.code != 0 || !indices || indices->size() != 1) {
    PrintLine("cannot define the group: %s", defined.raw.c_str());
    return false;
  }
  const int g = (*indices)[0];
  std::vector<std::uint16_t> items;
  for (int k = 0; k < kMixItems; ++k) items.push_back(static_cast<std::uint16_t>(k));
  const std::string readRequest = ReadSyncRequest(g, items);
  const auto request = [&](int client, std::uint64_t n) {
    if (n % 2 == 0) return readRequest;
    std::vector<ItemWrite> writes;
    for (int k = 0; k < kMixItems; ++k) {
      writes.push_back(ItemWrite{static_cast<std::uint16_t>(k),
                                 std::to_string(client * 1000000 + static_cast<int>(n))});
    }
    return WriteSyncRequest(g, writes);
  };
  const auto check = [](int, std::uint64_t n, const std::string& reply) {
    if (n % 2 == 1) return reply == "0\t\r\n";
    const auto parsed = ParseReply(reply);
    if (!parsed || parsed->code != 0) return false;
    const auto values = ReplySyncReadValues(parsed->text);
    return values && values->size() == static_cast<std::size_t>(kMixItems);
  };

  std::string sampleReply;
  OneRequest(gateway.ListenPort(), readRequest, sampleReply);
  CRawRequestServer raw(sampleReply, 1 + kMixItems);
  const auto rawCheck = [&](int, std::uint64_t, const std::string& reply) {
    return reply == sampleReply;
  };
  LoadFigures gatewayFigures;
  LoadFigures rawFigures;
  Compare(gateway.ListenPort(), raw.Port(), kMixClients, request, check, rawCheck, gatewayFigures,
          rawFigures);
  PrintLoadRow("SR/SW mix", gatewayFigures, rawFigures);
  return gatewayFigures.failures == 0;
}

// The status check every second (/statuscheck 1) against the default (every 10 s), gateway
// against gateway in alternating rounds: HBT at 16 clients and the SR/SW mix need the UI thread
// the check also takes.
bool StatusCheckCost(const CRunningGateway& defaultGateway) {
  PrintTitle(
      "Request rate with /statuscheck 1 (left) beside the default /statuscheck 10 (right, in "
      "place of raw); target: ratio >= 0.95");
  CRunningGateway checked({"/statuscheck", "1"});
  if (!checked.Ready()) {
    PrintLine("the gateway with /statuscheck 1 did not start");
    return false;
  }
  std::string reply;
  OneRequest(checked.ListenPort(), kHeartbeat, reply);
  const auto request = [](int, std::uint64_t) { return kHeartbeat; };
  const auto check = [](int, std::uint64_t, const std::string& answer) {
    return answer == kHeartbeatReply;
  };
  LoadFigures checkedFigures;
  LoadFigures defaultFigures;
  Compare(checked.ListenPort(), defaultGateway.ListenPort(), 16, request, check, check,
          checkedFigures, defaultFigures);
  PrintLoadRow("16 clients", checkedFigures, defaultFigures);
  return checkedFigures.failures == 0 && defaultFigures.failures == 0;
}

}  // namespace

int main() {
  CRunningGateway gateway;
  if (!gateway.Ready()) {
    std::fprintf(stderr, "the gateway did not start\n");
    return 1;
  }
  // The first request connects the server; it is not part of any figure.
  std::string reply;
  OneRequest(gateway.ListenPort(), kHeartbeat, reply);
  bool ok = HeartbeatRate(gateway);
  ok = ReadWriteMix(gateway) && ok;
  ok = StatusCheckCost(gateway) && ok;
  return ok ? 0 : 1;
}
