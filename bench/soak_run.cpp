// The soak run (`make soak`, not part of `make bench` or the tests): the gateway with the simulator
// for SOAK_SECONDS (default 600) under a mixed, bounded load on 127.0.0.1, with a server crash
// and a server hang taking turns every kFaultEvery and the log file renamed under it every
// kRotateEvery. Every minute it prints a row: resident memory, open files, threads, the minute's
// request latency (p50, p99, max), unanswered requests and the datagram rate.
//
// The load: kGroupClients clients that each define a group, read it, write it, activate it,
// refresh it and remove it again, over and over (every other crash is followed by a hang as soon
// as the server is back); a fast group (updateRate 10 ms) of changing
// items sending datagrams as fast as the gateway sends them; a client that browses, asks the
// status and sends HBT; connections that send half a request, and silent ones, kept a while.
//
// It fails (exit status 1) when any request went unanswered (the connection closed without a
// reply, or no reply within 30 s), or when, after the first kSettleMinutes minutes, resident
// memory grew more than kMemoryBoundKiB, or open files more than kFilesBound, above the row at
// kSettleMinutes.
//
// Usage: soak_run [seconds] [table file]; seconds also from SOAK_SECONDS.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

using namespace std::chrono_literals;

constexpr int kGroupClients = 6;
constexpr int kFastItems = 10;
constexpr int kHalfSentAtOnce = 4;
constexpr int kSilentAtOnce = 4;
constexpr auto kFaultEvery = 150s;  // a crash, then a hang 150 s later, and so on
constexpr int kCrashSeconds = 5;
constexpr int kHangSeconds = 8;
constexpr auto kRotateEvery = 60s;
constexpr int kSettleMinutes = 2;
constexpr long kMemoryBoundKiB = 32 * 1024;
constexpr long kFilesBound = 32;

// The requests of the current minute: latencies and the unanswered ones.
class CMinuteFigures {
public:
  void Record(double ms, bool answered) {
    std::lock_guard lock(m_mutex);
    m_latencies.push_back(ms);
    if (!answered) ++m_unanswered;
  }
  void Take(std::vector<double>& latencies, long& unanswered) {
    std::lock_guard lock(m_mutex);
    latencies.swap(m_latencies);
    m_latencies.clear();
    unanswered = m_unanswered;
    m_unanswered = 0;
  }

private:
  std::mutex m_mutex;
  std::vector<double> m_latencies;
  long m_unanswered = 0;
};

class CSoak {
public:
  explicit CSoak(CRunningGateway& gateway) : m_gateway(gateway) {}

  // One request, timed and counted; the reply bytes.
  std::string Exchange(const std::string& request) {
    const auto start = BenchClock::now();
    std::string reply = m_gateway.RawExchange(request, 30s);
    m_minute.Record(ElapsedMs(start, BenchClock::now()), !reply.empty());
    return reply;
  }

  void GroupClient(int client) {
    std::uint64_t round = 0;
    while (!m_stop) {
      GroupDefinition group;
      group.name = "soak_" + std::to_string(client) + "_" + std::to_string(round % 4);
      group.active = false;
      group.updateRate = 200;
      for (int k = 0; k < 3; ++k)
        group.items.push_back(
            {"Memory.Int4.soak_" + std::to_string(client) + "_" + std::to_string(k), true, 0});
      group.items.push_back({"Ramp.Int4", true, 0});
      const std::string defined = Exchange(DefineGroupsRequest({group}, m_datagramPort));
      const auto parsed = ParseReply(defined);
      const auto indices = parsed && parsed->code == 0 ? ReplyIndices(parsed->text) : std::nullopt;
      if (indices && indices->size() == 1 && (*indices)[0] >= 0) {
        const int g = (*indices)[0];
        Exchange(ReadSyncRequest(g, {0, 1, 2, 3}));
        Exchange(WriteSyncRequest(g, {{0, std::to_string(round)}, {1, "7"}}));
        Exchange(SetGroupsActiveRequest(true, {g}));
        Exchange(RefreshGroupsRequest(static_cast<std::uint32_t>(round), {g}));
        Exchange(QueryGroupIndexesRequest({group.name}));
        Exchange(SetGroupsActiveRequest(false, {g}));
        Exchange(RemoveGroupsRequest({g}));
      }
      ++round;
      std::this_thread::sleep_for(200ms);  // the client's pace
    }
  }

  void BrowseAndStatus() {
    while (!m_stop) {
      BrowseQuery query;
      query.pageSize = 50;
      Exchange(BrowseRequest(query));
      Exchange(StatusRequest());
      Exchange(HeartbeatRequest());
      Exchange(ItemPropertiesRequest("Ramp.Int4", {}));
      std::this_thread::sleep_for(100ms);  // the client's pace
    }
  }

  // Connections that send part of a request (or nothing) and hold it for a few seconds.
  void IdleConnections(bool halfSent) {
    const int count = halfSent ? kHalfSentAtOnce : kSilentAtOnce;
    while (!m_stop) {
      std::vector<SocketHandle> held;
      for (int i = 0; i < count; ++i) {
        const SocketHandle socket = SocketCreate(kSockStream);
        if (SocketConnect(socket, testing_loopback::LoopbackAddress(m_gateway.ListenPort()))) {
          if (halfSent) SendAllBytes(socket, "SR\t0\t3\t0\r\n1\r\n");
        }
        held.push_back(socket);
      }
      for (int i = 0; i < 50 && !m_stop; ++i) std::this_thread::sleep_for(100ms);
      for (const SocketHandle socket : held) SocketClose(socket);
    }
  }

  void CountDatagrams() {
    while (!m_stop) {
      if (m_gateway.Announcements().Receive(200ms)) m_datagrams.fetch_add(1);
    }
  }

  bool DefineFixedGroups(int& controlGroup) {
    GroupDefinition fast;
    fast.name = "soak_fast";
    fast.updateRate = 10;
    for (int k = 0; k < kFastItems; ++k)
      fast.items.push_back({k % 2 == 0 ? "Ramp.Int4" : "Random.Real8", true, 0});
    GroupDefinition control;
    control.name = "soak_control";
    control.active = false;
    control.items = {{"Control.Restart", true, 0}, {"Control.Hang", true, 0}};
    const auto parsed = ParseReply(Exchange(DefineGroupsRequest({fast, control})));
    const auto indices = parsed && parsed->code == 0 ? ReplyIndices(parsed->text) : std::nullopt;
    if (!indices || indices->size() != 2) return false;
    controlGroup = (*indices)[1];
    m_datagramPort = 0;  // the clients' groups send to the same receiver
    return true;
  }

  std::atomic<bool> m_stop{false};
  std::atomic<std::uint64_t> m_datagrams{0};
  CMinuteFigures m_minute;

private:
  CRunningGateway& m_gateway;
  std::uint16_t m_datagramPort = 0;
};

long OpenFiles(int pid) {
  std::error_code failed;
  long count = 0;
  for (auto it =
           std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", failed);
       !failed && it != std::filesystem::directory_iterator(); it.increment(failed))
    ++count;
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 600;
  if (const char* env = std::getenv("SOAK_SECONDS")) seconds = std::atol(env);
  if (argc > 1) seconds = std::atol(argv[1]);
  if (seconds < 60) seconds = 60;
  std::FILE* table = argc > 2 ? std::fopen(argv[2], "w") : nullptr;
  const auto row = [&](const char* format, auto... values) {
    std::printf(format, values...);
    std::fflush(stdout);
    if (table != nullptr) {
      std::fprintf(table, format, values...);
      std::fflush(table);
    }
  };

  CRunningGateway gateway({"/calltimeout", "2", "/statuscheck", "5"});
  if (!gateway.Ready()) {
    std::printf("the gateway did not start\n");
    return 1;
  }
  const int pid = gateway.Process().Pid();
  CSoak soak(gateway);
  int controlGroup = -1;
  if (!soak.DefineFixedGroups(controlGroup)) {
    std::printf("cannot define the soak's groups\n");
    return 1;
  }
  std::vector<std::thread> threads;
  for (int c = 0; c < kGroupClients; ++c) threads.emplace_back([&, c] { soak.GroupClient(c); });
  threads.emplace_back([&] { soak.BrowseAndStatus(); });
  threads.emplace_back([&] { soak.IdleConnections(true); });
  threads.emplace_back([&] { soak.IdleConnections(false); });
  threads.emplace_back([&] { soak.CountDatagrams(); });

  row("soak: %ld s, faults every %lld s (crash %d s, hang %d s, /calltimeout 2), log renamed "
      "every %lld s\n",
      seconds, static_cast<long long>(kFaultEvery.count()), kCrashSeconds, kHangSeconds,
      static_cast<long long>(kRotateEvery.count()));
  row("%6s %10s %6s %8s %9s %8s %8s %9s %11s %12s %s\n", "minute", "rss_kib", "fds", "threads",
      "requests", "p50_ms", "p99_ms", "max_ms", "unanswered", "datagrams/s", "event");
  const auto began = BenchClock::now();
  auto nextFault = began + kFaultEvery;
  auto nextRotate = began + kRotateEvery;
  bool crashNext = true;
  bool hangAfterCrash = false;
  int crashes = 0;
  int rotations = 0;
  long totalUnanswered = 0;
  long settledRss = 0;
  long settledFiles = 0;
  bool grew = false;
  std::string events;
  std::uint64_t lastDatagrams = 0;
  auto minuteStart = began;
  for (int minute = 1; BenchClock::now() - began < std::chrono::seconds(seconds); ++minute) {
    const auto minuteEnd = minuteStart + 60s;
    while (BenchClock::now() < minuteEnd) {
      const auto now = BenchClock::now();
      if (now >= nextFault) {
        const int item = crashNext ? 0 : 1;
        const int value = crashNext ? kCrashSeconds : kHangSeconds;
        soak.Exchange(WriteSyncRequest(
            controlGroup, {{static_cast<std::uint16_t>(item), std::to_string(value)}}));
        events += crashNext ? "crash " : "hang ";
        // Every other crash is followed by a hang as soon as the server is back.
        if (crashNext) hangAfterCrash = (++crashes % 2) == 0;
        crashNext = !crashNext;
        nextFault += kFaultEvery;
      } else if (hangAfterCrash &&
                 soak.Exchange(WriteSyncRequest(
                     controlGroup, {{1, std::to_string(kHangSeconds)}})) == "0\t\r\n") {
        events += "hang-after-crash ";
        hangAfterCrash = false;
      }
      if (now >= nextRotate) {
        const auto log = gateway.WorkDirectory() / "RV_Morvantel.log";
        std::error_code failed;
        std::filesystem::rename(log, log.string() + "." + std::to_string(++rotations), failed);
        events += failed ? "rotate-failed " : "rotated ";
        nextRotate += kRotateEvery;
      }
      std::this_thread::sleep_for(200ms);  // the soak's own pace
    }
    minuteStart = minuteEnd;
    std::vector<double> latencies;
    long unanswered = 0;
    soak.m_minute.Take(latencies, unanswered);
    totalUnanswered += unanswered;
    const LatencyFigures figures = Summarize(latencies);
    const std::uint64_t datagrams = soak.m_datagrams.load();
    const long rss = ResidentKiB(pid);
    const long files = OpenFiles(pid);
    if (minute == kSettleMinutes) {
      settledRss = rss;
      settledFiles = files;
    } else if (minute > kSettleMinutes) {
      if (rss > settledRss + kMemoryBoundKiB || files > settledFiles + kFilesBound) grew = true;
    }
    row("%6d %10ld %6ld %8ld %9zu %8.2f %8.2f %9.1f %11ld %12.0f %s\n", minute, rss, files,
        ProcessThreadCount(pid), figures.count, figures.p50Ms, figures.p99Ms, figures.maxMs,
        unanswered, static_cast<double>(datagrams - lastDatagrams) / 60.0, events.c_str());
    lastDatagrams = datagrams;
    events.clear();
  }
  soak.m_stop = true;
  for (std::thread& thread : threads) thread.join();
  const bool stopped = gateway.Stop(30s);
  const bool ok = totalUnanswered == 0 && !grew && stopped;
  row("soak %s: %ld unanswered; resident memory and open files %s (bound: +%ld KiB, +%ld files "
      "over minute %d); the gateway %s\n",
      ok ? "passed" : "FAILED", totalUnanswered, grew ? "GREW beyond the bound" : "stayed within",
      kMemoryBoundKiB, kFilesBound, kSettleMinutes,
      stopped ? "ended on SIGTERM" : "did NOT end on SIGTERM");
  if (table != nullptr) std::fclose(table);
  return ok ? 0 : 1;
}
