// What slow clients and the log cost: "AD" of 1,000 one-item groups in background mode (each
// group writes a log line), the request dispatcher on in-memory connections (the dispatcher fuzz
// target's path, inputs per second), and the threads, descriptors and resident memory that 3,000
// silent connections hold, with the time another client's "HBT" takes meanwhile.
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "client/request_builder.h"
#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/http_blocking_socket.h"
#include "platform/apartment.h"
#include "protocol/request_dispatcher.h"
#include "sim/simulator.h"
#include "tests/e2e/running_gateway.h"
#include "tests/support/silent_frame_view.h"
#include "tests/support/unsent_datagrams.h"

namespace {

constexpr int kDefinedGroups = 1000;
constexpr int kSilentConnections = 3000;
const auto kInputDuration = std::chrono::seconds(2);

long OpenFiles(int pid) {
  std::error_code failed;
  long count = 0;
  for (auto it =
           std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", failed);
       !failed && it != std::filesystem::directory_iterator(); it.increment(failed))
    ++count;
  return count;
}

double TimedExchangeMs(const CRunningGateway& gateway, const std::string& request, bool& ok) {
  const auto start = BenchClock::now();
  ok = gateway.RawExchange(request, std::chrono::seconds(60)).rfind("0\t", 0) == 0;
  return ElapsedMs(start, BenchClock::now());
}

void DefineThousandGroups() {
  PrintTitle("\"AD\" of 1,000 one-item groups in /s with the default switches (target < 0.5 s)");
  CRunningGateway gateway;
  if (!gateway.Ready()) return;
  bool ok = false;
  TimedExchangeMs(gateway, "HBT\r\n", ok);  // connects the server
  std::vector<GroupDefinition> groups;
  for (int g = 0; g < kDefinedGroups; ++g) {
    GroupDefinition group;
    group.name = "bench" + std::to_string(g);
    group.active = false;
    group.items.push_back(ItemDefinition{"Static.Int4", true, 0});
    groups.push_back(std::move(group));
  }
  const double defineMs = TimedExchangeMs(gateway, DefineGroupsRequest(groups), ok);
  const double heartbeatMs = TimedExchangeMs(gateway, "HBT\r\n", ok);
  PrintComparison("AD 1,000 groups", defineMs, heartbeatMs, "ms", "AD", "one HBT");
  PrintLine("%s", ok && defineMs < 500 ? "within target" : "OVER TARGET");
}

// One input as the dispatcher fuzz target runs it: a fresh gateway side with two groups, then a
// few requests, each read whole and answered on an in-memory connection.
void RunInput(CSilentFrameView& frame) {
  CUnsentDatagrams datagrams;
  datagrams.log.logGroupOps = false;
  const RequestSettings settings;
  CRequestDispatcher dispatcher(frame, kSimulatorProgId,
                                {datagrams.sender, settings, datagrams.counters, datagrams.log});
  const char* requests[] = {
      "AD\t2\t9000\r\ng\tA\t2\r\nMemory.Int2.f\tA\t2\r\nStatic.Boolean\tA\t11\r\nh\tN\t1\r\n"
      "Memory.Real8.f\tA\t5\r\n",
      "HBT\r\n",
      "SR\t0\t2\t1\r\n0\r\n1\r\n",
      "SW\t0\t1\r\n0\t17\r\n",
      "AC\tA\t1\r\n0\r\n",
      "Q?\r\ng\r\nh\r\n\r\n",
      "RM\t1\r\n1\r\n",
      "XY\r\n"};
  for (const char* request : requests) {
    CHttpBlockingSocket connection;
    connection.SetReceived(request);
    connection.SetPeer(CSocketAddress(0x7F000001, 50000));
    CRequestDispatcher::ReadRequest(connection);
    dispatcher.OnRequest(connection);
  }
  dispatcher.Registry().DestroyOpcSide();
  CApartment::ForCurrentThread()->RunPending();
}

void InMemoryInputs() {
  PrintTitle(
      "Dispatcher on in-memory connections, as the fuzz target feeds it (target >= 1,000 "
      "inputs/s)");
  RegisterSimulator();
  CSilentFrameView frame;
  pMainFrame = &frame;
  std::size_t inputs = 0;
  const auto start = BenchClock::now();
  while (BenchClock::now() - start < kInputDuration) {
    RunInput(frame);
    ++inputs;
  }
  const double seconds = ElapsedMs(start, BenchClock::now()) / 1000.0;
  pMainFrame = nullptr;
  PrintLine("inputs of 8 requests: %.0f inputs/s (%.0f requests/s)", inputs / seconds,
            inputs * 8 / seconds);
}

// A connection from 127.0.0.1 that never sends anything.
SocketHandle SilentConnection(std::uint16_t port) {
  const SocketHandle handle = SocketCreate(kSockStream);
  SocketAddressIn address{};
  address.family = kAfInet;
  address.port = HostToNet16(port);
  address.address = HostToNet32(0x7F000001);
  if (handle != kNoSocket && SocketConnect(handle, address)) return handle;
  SocketClose(handle);
  return kNoSocket;
}

void SilentConnections() {
  PrintTitle("3,000 silent connections: what they hold, and another client's HBT meanwhile");
  rlimit fileLimit{};
  getrlimit(RLIMIT_NOFILE, &fileLimit);
  fileLimit.rlim_cur = fileLimit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &fileLimit);
  CRunningGateway gateway({"/maxconn", "10000"});
  if (!gateway.Ready()) return;
  const int pid = gateway.Process().Pid();
  bool ok = false;
  const double idleHeartbeatMs = TimedExchangeMs(gateway, "HBT\r\n", ok);
  const long threadsBefore = ProcessThreadCount(pid);
  const long filesBefore = OpenFiles(pid);
  const long rssBefore = ResidentKiB(pid);
  std::vector<SocketHandle> silent;
  for (int i = 0; i < kSilentConnections; ++i) {
    const SocketHandle handle = SilentConnection(gateway.ListenPort());
    if (handle == kNoSocket) break;
    silent.push_back(handle);
  }
  // Accepting is done when a heartbeat behind them is answered.
  const double loadedHeartbeatMs = TimedExchangeMs(gateway, "HBT\r\n", ok);
  const long threads = ProcessThreadCount(pid) - threadsBefore;
  const long files = OpenFiles(pid) - filesBefore;
  const long rssKiB = ResidentKiB(pid) - rssBefore;
  const double count = silent.empty() ? 1.0 : static_cast<double>(silent.size());
  PrintLine(
      "%zu silent connections: +%ld threads (%.2f each), +%ld descriptors, +%ld KiB RSS "
      "(%.1f KiB each)",
      silent.size(), threads, threads / count, files, rssKiB, rssKiB / count);
  PrintComparison("HBT while they wait", loadedHeartbeatMs, idleHeartbeatMs, "ms", "loaded",
                  "idle");
  for (const SocketHandle handle : silent) SocketClose(handle);
}

}  // namespace

int main() {
  SocketStartup();
  DefineThousandGroups();
  InMemoryInputs();
  SilentConnections();
  return 0;
}
