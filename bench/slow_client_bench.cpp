// Clients that send too little, too slowly or too much, against a gateway whose active group
// sends a value every 100 ms: the longest another client's "HBT" took and the longest gap
// between value datagrams while they did it. Half-sent requests (the first line of "AD" and
// nothing more) 200 from one address and 30 from 30 addresses; two half-sent requests a second
// for a while (pass the seconds as the first argument, 20 unless given; the gateway's threads
// at the start and at the end show whether a backlog grows); one request of 20 MB; silent
// connections far beyond an open-file limit of 8,192 and a thread limit of 1,500.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint32_t kLoopback = 0x7F000001;

// A connection to the gateway from the given loopback address (host order).
SocketHandle ConnectFrom(std::uint32_t source, std::uint16_t port) {
  const SocketHandle handle = SocketCreate(kSockStream);
  SocketAddressIn local{};
  local.family = kAfInet;
  local.address = HostToNet32(source);
  SocketAddressIn gateway{};
  gateway.family = kAfInet;
  gateway.port = HostToNet16(port);
  gateway.address = HostToNet32(kLoopback);
  if (handle != kNoSocket && SocketBind(handle, local) && SocketConnect(handle, gateway))
    return handle;
  SocketClose(handle);
  return kNoSocket;
}

// A gateway with one active group of a ramp that changes every 100 ms, sending to a UDP port
// of this process, and the watch over another client and the datagrams.
class CWatchedGateway {
public:
  explicit CWatchedGateway(const std::vector<std::string>& options = {}) : m_gateway(options) {
    m_udp = SocketCreate(kSockDgram);
    SocketAddressIn local{};
    local.family = kAfInet;
    local.address = HostToNet32(kLoopback);
    if (m_udp == kNoSocket || !SocketBind(m_udp, local) || !SocketGetSockName(m_udp, local)) return;
    GroupDefinition group;
    group.name = "ramp";
    group.updateRate = 100;
    group.items.push_back(ItemDefinition{"Ramp.Int4", true, 0});
    const std::string defined =
        m_gateway.RawExchange(DefineGroupsRequest({group}, NetToHost16(local.port)));
    const std::size_t index = defined.find("\r\n");
    if (defined.rfind("0\t", 0) != 0 || index == std::string::npos) return;
    const int g = std::atoi(defined.c_str() + index + 2);
    m_ready = m_gateway.RawExchange(SetGroupsActiveRequest(true, {g})) == "0\t\r\n";
  }
  ~CWatchedGateway() { SocketClose(m_udp); }

  bool Ready() const { return m_ready; }
  CRunningGateway& Gateway() { return m_gateway; }

  // Runs load on its own thread while HBT goes back to back and the datagrams are timed; prints
  // the longest HBT and datagram gap. load gets a flag that turns true when the watch ends.
  void Watch(const std::string& name, milliseconds duration,
             const std::function<void(const std::atomic<bool>&)>& load) {
    std::atomic<bool> done{false};
    double longestGapMs = 0;
    std::thread datagrams([&] {
      char buffer[2048];
      auto last = BenchClock::now();
      while (!done) {
        if (SocketWaitReadableMs(m_udp, 100) <= 0) continue;
        SocketAddressIn from{};
        if (SocketReceiveFrom(m_udp, buffer, sizeof buffer, from) <= 0) continue;
        const auto now = BenchClock::now();
        longestGapMs = std::max(longestGapMs, ElapsedMs(last, now));
        last = now;
      }
      longestGapMs = std::max(longestGapMs, ElapsedMs(last, BenchClock::now()));
    });
    std::thread loader([&] { load(done); });
    std::vector<double> heartbeats;
    std::size_t failed = 0;
    const auto until = BenchClock::now() + duration;
    while (BenchClock::now() < until) {
      const auto asked = BenchClock::now();
      if (m_gateway.RawExchange("HBT\r\n", seconds(30)) != "0\tHBT OK!\r\n") ++failed;
      heartbeats.push_back(ElapsedMs(asked, BenchClock::now()));
    }
    done = true;
    loader.join();
    datagrams.join();
    const LatencyFigures hbt = Summarize(heartbeats);
    PrintLine("%-40s HBT p50 %.1f ms, max %.1f ms (%zu, %zu failed); longest datagram gap %.0f ms",
              name.c_str(), hbt.p50Ms, hbt.maxMs, hbt.count, failed, longestGapMs);
  }

private:
  CRunningGateway m_gateway;
  SocketHandle m_udp = kNoSocket;
  bool m_ready = false;
};

// count half-sent requests spread over addresses loopback addresses, all sent at once; they stay
// open until the gateway closes them.
void HalfSent(int count, int addresses) {
  CWatchedGateway watched;
  if (!watched.Ready()) return;
  const std::uint16_t port = watched.Gateway().ListenPort();
  watched.Watch(
      std::to_string(count) + " half-sent from " + std::to_string(addresses) + " address(es)",
      seconds(3), [&](const std::atomic<bool>& done) {
        std::vector<SocketHandle> open;
        for (int i = 0; i < count; ++i) {
          const SocketHandle handle = ConnectFrom(kLoopback + 1 + i % addresses, port);
          if (handle != kNoSocket && SendAllBytes(handle, "AD\r\n")) open.push_back(handle);
        }
        while (!done) std::this_thread::sleep_for(milliseconds(10));
        for (const SocketHandle handle : open) SocketClose(handle);
      });
}

// Two half-sent requests a second, each left open until the gateway closes it.
void SteadyHalfSent(int totalSeconds) {
  CWatchedGateway watched;
  if (!watched.Ready()) return;
  const std::uint16_t port = watched.Gateway().ListenPort();
  const int pid = watched.Gateway().Process().Pid();
  const long threadsBefore = ProcessThreadCount(pid);
  long threadsMost = threadsBefore;
  watched.Watch("2 half-sent/s for " + std::to_string(totalSeconds) + " s", seconds(totalSeconds),
                [&](const std::atomic<bool>& done) {
                  std::vector<SocketHandle> open;
                  auto next = BenchClock::now();
                  while (!done) {
                    const SocketHandle handle = ConnectFrom(kLoopback, port);
                    if (handle != kNoSocket && SendAllBytes(handle, "SR\t0\t2\t1\r\n0\r\n"))
                      open.push_back(handle);
                    threadsMost = std::max(threadsMost, ProcessThreadCount(pid));
                    next += milliseconds(500);
                    std::this_thread::sleep_until(next);
                  }
                  for (const SocketHandle handle : open) SocketClose(handle);
                });
  PrintLine("gateway threads: %ld before, at most %ld during, %ld at the end", threadsBefore,
            threadsMost, ProcessThreadCount(pid));
}

// "AD" with group and item lines, 20 MB in all, sent as fast as the gateway takes it.
void HugeRequest() {
  CWatchedGateway watched;
  if (!watched.Ready()) return;
  const std::uint16_t port = watched.Gateway().ListenPort();
  std::string request = "AD\r\n";
  for (int g = 0; request.size() < (20u << 20); ++g) {
    request += "huge" + std::to_string(g) + "\tN\t1000\r\n";
    for (int i = 0; i < 1000; ++i) request += "Static.Int2\tA\t0\r\n";
  }
  std::string reply;
  double replyMs = 0;
  watched.Watch("one request of 20 MB", seconds(8), [&](const std::atomic<bool>&) {
    const auto start = BenchClock::now();
    const SocketHandle handle = ConnectFrom(kLoopback, port);
    SendAllBytes(handle, request);  // fails once the gateway has closed the connection
    char buffer[512];
    while (SocketWaitReadable(handle, 30) > 0) {
      const int count = SocketReceive(handle, buffer, sizeof buffer);
      if (count <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(count));
    }
    replyMs = ElapsedMs(start, BenchClock::now());
    SocketClose(handle);
  });
  PrintLine("its reply after %.0f ms: %s", replyMs, reply.substr(0, reply.find("\r\n")).c_str());
}

// count silent connections to a gateway that a launcher script (launch, run in the gateway's
// work directory with the command line as its arguments) starts under a limit, then one HBT from
// another client. With connectFirst the server is connected before the silent connections come;
// without, that HBT also creates the server, whose threads must still find room.
void SilentBeyondALimit(const std::string& limit, int count, const std::string& launch,
                        bool connectFirst) {
  const auto launcher = std::filesystem::temp_directory_path() / "quarnix-bench-launcher";
  {
    std::ofstream script(launcher);
    script << "#!/bin/sh\n" << launch << "\n";
  }
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  const int wanted = static_cast<int>(std::min<rlim_t>(count, files.rlim_cur - 200));
  ::setenv("QUARNIX_E2E_LAUNCHER", launcher.c_str(), 1);
  CRunningGateway gateway({"/maxconn", "100000"});
  ::unsetenv("QUARNIX_E2E_LAUNCHER");
  std::filesystem::remove(launcher);
  if (!gateway.Ready()) {
    PrintLine("%s: the gateway did not start under the limit (prlimit, setpriv, root?)",
              limit.c_str());
    return;
  }
  if (connectFirst) gateway.RawExchange("HBT\r\n");
  std::vector<SocketHandle> silent;
  const auto start = BenchClock::now();
  for (int i = 0; i < wanted; ++i) {
    const SocketHandle handle = ConnectFrom(kLoopback + 1 + i % 200, gateway.ListenPort());
    if (handle == kNoSocket) break;
    silent.push_back(handle);
  }
  const double connectMs = ElapsedMs(start, BenchClock::now());
  const auto asked = BenchClock::now();
  const std::string reply = gateway.RawExchange("HBT\r\n", seconds(30));
  const double heartbeatMs = ElapsedMs(asked, BenchClock::now());
  PrintLine("%s: %zu silent connections in %.0f ms, then HBT %s in %.0f ms (%ld threads)",
            limit.c_str(), silent.size(), connectMs,
            reply == "0\tHBT OK!\r\n" ? "answered" : ("NOT answered: \"" + reply + "\"").c_str(),
            heartbeatMs, ProcessThreadCount(gateway.Process().Pid()));
  for (const SocketHandle handle : silent) SocketClose(handle);
}

}  // namespace

int main(int argc, char** argv) {
  SocketStartup();
  PrintTitle("Slow, half-sent and huge requests; silent connections beyond the limits");
  HalfSent(200, 1);
  HalfSent(30, 30);
  SteadyHalfSent(argc > 1 ? std::atoi(argv[1]) : 20);
  HugeRequest();
  SilentBeyondALimit("open-file limit 8,192", 20000, "exec prlimit --nofile=8192:8192 -- \"$@\"",
                     true);
  // The thread limit counts a user's threads, and not for root: the gateway runs as nobody. The
  // server is first needed once the listeners have met the limit.
  SilentBeyondALimit("thread limit 1,500", 3000,
                     "chmod 777 . && exec setpriv --reuid=65534 --regid=65534 --clear-groups "
                     "prlimit --nproc=1500 -- \"$@\"",
                     false);
  return 0;
}
