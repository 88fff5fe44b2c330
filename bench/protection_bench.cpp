// Protection: what /allow costs the request rate, what silent connections make the gateway
// hold, and the gateway's resident memory at the default group and item limits.
//
// - HBT with /allow of 100 entries (the client's address last, so every entry is compared)
//   against a gateway without /allow, in the same run, 4 clients (target: ratio >= 0.97).
// - 3,000 silent connections from 12 loopback addresses (250 each, below /maxconn 256): the
//   gateway's threads and resident memory against the same gateway idle, whether HBT is still
//   answered meanwhile, and how many of 300 more connections from one address /maxconn closes.
// - 10,000 groups of 100 items (the /maxgroups and /maxitems defaults): resident memory against
//   the idle gateway, and that one more group is refused.
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

const std::string kHeartbeat = "HBT\r\n";
const std::string kHeartbeatReply = "0\tHBT OK!\r\n";

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = BenchClock::now() + limit;
  while (!condition()) {
    if (BenchClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool AllowListCost() {
  PrintTitle(
      "Request rate: HBT with /allow of 100 entries against none, 4 clients "
      "(target: ratio >= 0.97)");
  std::string list;
  for (int i = 0; i < 99; ++i) list += "10." + std::to_string(i) + ".0.0/16,";
  list += "127.0.0.1";
  CRunningGateway plain;
  CRunningGateway guarded({"/allow", list});
  if (!plain.Ready() || !guarded.Ready()) {
    PrintLine("a gateway did not start");
    return false;
  }
  std::string reply;
  OneRequest(plain.ListenPort(), kHeartbeat, reply);
  OneRequest(guarded.ListenPort(), kHeartbeat, reply);
  const auto request = [](int, std::uint64_t) { return kHeartbeat; };
  const auto check = [](int, std::uint64_t, const std::string& r) { return r == kHeartbeatReply; };
  // Alternating rounds, so that both see the same noise.
  double plainRate = 0;
  double guardedRate = 0;
  std::size_t failures = 0;
  for (int round = 0; round < 3; ++round) {
    const LoadFigures a = RunLoad(plain.ListenPort(), 4, std::chrono::seconds(2), request, check);
    const LoadFigures b = RunLoad(guarded.ListenPort(), 4, std::chrono::seconds(2), request, check);
    plainRate += a.requestsPerSecond;
    guardedRate += b.requestsPerSecond;
    failures += a.failures + b.failures;
  }
  PrintComparison("HBT requests/s", guardedRate / 3, plainRate / 3, "requests/s",
                  "with /allow of 100", "without /allow");
  PrintLine("%-44s %zu", "failed requests", failures);
  return failures == 0;
}

// A connection from a given loopback address that sends nothing.
SocketHandle SilentConnection(std::uint32_t from, std::uint16_t port) {
  const SocketHandle socket = SocketCreate(kSockStream);
  SocketAddressIn local;
  local.address = HostToNet32(from);
  SocketAddressIn gateway;
  gateway.address = HostToNet32(0x7F000001);
  gateway.port = HostToNet16(port);
  if (!SocketBind(socket, local) || !SocketConnect(socket, gateway)) {
    SocketClose(socket);
    return kNoSocket;
  }
  return socket;
}

bool SilentConnections() {
  PrintTitle("3,000 silent connections from 12 addresses: threads and resident memory");
  CRunningGateway gateway;
  if (!gateway.Ready()) return false;
  const int pid = gateway.Process().Pid();
  std::string reply;
  OneRequest(gateway.ListenPort(), kHeartbeat, reply);
  const long idleThreads = ProcessThreadCount(pid);
  const long idleKiB = ResidentKiB(pid);

  std::vector<SocketHandle> silent;
  for (int i = 0; i < 3000; ++i) {
    const SocketHandle socket = SilentConnection(0x7F000002 + i / 250, gateway.ListenPort());
    if (socket != kNoSocket) silent.push_back(socket);
  }
  WaitFor([&] { return ProcessThreadCount(pid) >= idleThreads + 3000; }, std::chrono::seconds(30));
  const long threads = ProcessThreadCount(pid);
  const long loadedKiB = ResidentKiB(pid);
  const auto start = BenchClock::now();
  const bool answered =
      OneRequest(gateway.ListenPort(), kHeartbeat, reply) && reply == kHeartbeatReply;
  const double heartbeatMs = ElapsedMs(start, BenchClock::now());

  PrintLine("%-44s %zu", "silent connections open", silent.size());
  PrintComparison("threads (baseline: idle)", threads, idleThreads, "threads");
  PrintComparison("resident memory (baseline: idle)", static_cast<double>(loadedKiB) / 1024.0,
                  static_cast<double>(idleKiB) / 1024.0, "MiB");
  PrintLine("%-44s %s in %.1f ms", "HBT meanwhile", answered ? "answered" : "NOT answered",
            heartbeatMs);

  // /maxconn: 300 more from one address that holds 250 already; all but 6 are closed at once.
  int closedAtOnce = 0;
  std::vector<SocketHandle> more;
  for (int i = 0; i < 300; ++i) {
    const SocketHandle socket = SilentConnection(0x7F000002, gateway.ListenPort());
    if (socket != kNoSocket) more.push_back(socket);
  }
  for (const SocketHandle socket : more) {
    char byte;
    if (SocketWaitReadableMs(socket, 2000) > 0 && SocketReceive(socket, &byte, 1) <= 0)
      ++closedAtOnce;
  }
  PrintLine("%-44s %d of %zu (expected %zu)", "more from one address closed by /maxconn",
            closedAtOnce, more.size(), more.size() - 6);
  for (const SocketHandle socket : more) SocketClose(socket);
  for (const SocketHandle socket : silent) SocketClose(socket);
  WaitFor([&] { return ProcessThreadCount(pid) <= idleThreads + 2; }, std::chrono::seconds(30));
  PrintLine("%-44s %ld", "threads after they closed", ProcessThreadCount(pid));
  return answered;
}

bool DefaultLimitsFootprint() {
  constexpr int kGroups = 10000;
  constexpr int kItems = 100;
  constexpr int kGroupsPerRequest = 50;
  PrintTitle("Resident memory at the default limits: 10,000 groups of 100 items");
  CRunningGateway gateway;
  if (!gateway.Ready()) return false;
  const int pid = gateway.Process().Pid();
  if (!gateway.Exchange(kHeartbeat).Ok()) return false;
  const long idleKiB = ResidentKiB(pid);
  const auto start = BenchClock::now();
  for (int first = 0; first < kGroups; first += kGroupsPerRequest) {
    std::vector<GroupDefinition> groups;
    for (int g = first; g < first + kGroupsPerRequest; ++g) {
      GroupDefinition group;
      group.name = "limit" + std::to_string(g);
      group.active = false;
      for (int i = 0; i < kItems; ++i) {
        const std::string id = i % 2 == 0
                                   ? "Memory.Int4.g" + std::to_string(g) + "_" + std::to_string(i)
                                   : std::string("Static.Int4");
        group.items.push_back(ItemDefinition{id, true, 0});
      }
      groups.push_back(std::move(group));
    }
    const ExchangeResult defined =
        gateway.Exchange(DefineGroupsRequest(groups), std::chrono::seconds(120));
    if (!defined.Ok() || defined.reply.code != 0) {
      PrintLine("cannot define groups %d and on: %s %s", first, defined.message.c_str(),
                defined.raw.substr(0, 200).c_str());
      return false;
    }
  }
  const double defineMs = ElapsedMs(start, BenchClock::now());
  const long loadedKiB = ResidentKiB(pid);
  GroupDefinition extra;
  extra.name = "one_more";
  extra.items.push_back(ItemDefinition{"Static.Int4", true, 0});
  const ExchangeResult refused = gateway.Exchange(DefineGroupsRequest({extra}));
  PrintComparison("resident memory (baseline: idle, server connected)",
                  static_cast<double>(loadedKiB) / 1024.0, static_cast<double>(idleKiB) / 1024.0,
                  "MiB");
  PrintLine("%-44s %.0f ms", "time to define them", defineMs);
  PrintLine("%-44s %s", "one group more", refused.raw.substr(0, refused.raw.size() - 2).c_str());
  return refused.Ok() && refused.reply.code == 1;
}

}  // namespace

int main() {
  bool ok = AllowListCost();
  ok = SilentConnections() && ok;
  ok = DefaultLimitsFootprint() && ok;
  return ok ? 0 : 1;
}
