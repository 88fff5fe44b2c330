#include "bench/bench_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kGatewayBacklog = 5;  // the gateway's listening backlog, for a fair baseline
constexpr int kReplySeconds = 10;
const auto kWarmUp = std::chrono::milliseconds(300);

SocketAddressIn Loopback(std::uint16_t port) {
  SocketAddressIn address;
  address.port = HostToNet16(port);
  address.address = HostToNet32(kLoopback);
  return address;
}

}  // namespace

bool SendAllBytes(SocketHandle socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int count =
        SocketSend(socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

long ProcessThreadCount(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stol(line.substr(8));
  return 0;
}

LatencyFigures Summarize(std::vector<double> milliseconds) {
  LatencyFigures figures;
  figures.count = milliseconds.size();
  if (milliseconds.empty()) return figures;
  std::sort(milliseconds.begin(), milliseconds.end());
  const auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(milliseconds.size() - 1));
    return milliseconds[index];
  };
  figures.p50Ms = at(0.50);
  figures.p99Ms = at(0.99);
  figures.maxMs = milliseconds.back();
  return figures;
}

double ElapsedMs(BenchClock::time_point from, BenchClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// --- Raw baseline server ---

CRawRequestServer::CRawRequestServer(std::string reply, int linesPerRequest)
    : m_reply(std::move(reply)), m_lines(linesPerRequest) {
  m_listen = SocketCreate(kSockStream);
  SocketAddressIn address = Loopback(0);
  if (!SocketBind(m_listen, address) || !SocketListen(m_listen, kGatewayBacklog) ||
      !SocketGetSockName(m_listen, address)) {
    return;
  }
  m_port = NetToHost16(address.port);
  m_thread = std::thread([this] { Serve(); });
}

CRawRequestServer::~CRawRequestServer() {
  m_stopping = true;
  SocketClose(m_listen);  // wakes the accept
  if (m_thread.joinable()) m_thread.join();
}

void CRawRequestServer::Serve() {
  char buffer[4096];
  while (!m_stopping) {
    SocketAddressIn peer;
    const SocketHandle connection = SocketAccept(m_listen, peer);
    if (connection == kNoSocket) {
      if (m_stopping) break;
      continue;
    }
    int lines = 0;
    while (lines < m_lines) {
      const int count = SocketReceive(connection, buffer, sizeof buffer);
      if (count <= 0) break;
      lines += static_cast<int>(std::count(buffer, buffer + count, '\n'));
    }
    if (lines >= m_lines) SendAllBytes(connection, m_reply);
    SocketClose(connection);
  }
}

// --- Clients ---

bool OneRequest(std::uint16_t port, const std::string& request, std::string& reply) {
  reply.clear();
  const SocketHandle socket = SocketCreate(kSockStream);
  if (socket == kNoSocket) return false;
  bool ok = SocketConnect(socket, Loopback(port)) && SendAllBytes(socket, request);
  char buffer[4096];
  while (ok) {
    if (SocketWaitReadable(socket, kReplySeconds) <= 0) {
      ok = false;
      break;
    }
    const int count = SocketReceive(socket, buffer, sizeof buffer);
    if (count < 0) ok = false;
    if (count <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(count));
  }
  SocketClose(socket);
  return ok && !reply.empty();
}

LoadFigures RunLoad(std::uint16_t port, int clients, std::chrono::milliseconds duration,
                    const std::function<std::string(int, std::uint64_t)>& request,
                    const std::function<bool(int, std::uint64_t, const std::string&)>& check) {
  const auto start = BenchClock::now();
  const auto countFrom = start + kWarmUp;
  const auto stopAt = countFrom + duration;
  std::mutex mutex;
  std::vector<double> latencies;
  std::size_t failures = 0;
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    threads.emplace_back([&, client] {
      std::vector<double> mine;
      std::size_t myFailures = 0;
      std::string reply;
      for (std::uint64_t n = 0;; ++n) {
        const std::string bytes = request(client, n);
        const auto sent = BenchClock::now();
        if (sent >= stopAt) break;
        const bool ok = OneRequest(port, bytes, reply) && check(client, n, reply);
        const auto done = BenchClock::now();
        if (sent < countFrom || done > stopAt) continue;  // warm-up, or ends after the window
        if (ok) {
          mine.push_back(ElapsedMs(sent, done));
        } else {
          ++myFailures;
        }
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      failures += myFailures;
    });
  }
  for (auto& thread : threads) thread.join();
  LoadFigures figures;
  figures.failures = failures;
  figures.latency = Summarize(std::move(latencies));
  figures.requestsPerSecond =
      static_cast<double>(figures.latency.count) / std::chrono::duration<double>(duration).count();
  return figures;
}

// --- Report ---

void PrintTitle(const std::string& title) {
  std::printf("\n== %s ==\n", title.c_str());
  std::fflush(stdout);
}

void PrintLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintComparison(const std::string& name, double measured, double baseline,
                     const std::string& unit, const char* measuredLabel,
                     const char* baselineLabel) {
  PrintLine("%-44s %s %12.1f %-8s %s %12.1f %-8s ratio %.2f", name.c_str(), measuredLabel, measured,
            unit.c_str(), baselineLabel, baseline, unit.c_str(),
            baseline != 0 ? measured / baseline : 0.0);
}

long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream fields(line.substr(6));
      long kib = 0;
      fields >> kib;
      return kib;
    }
  }
  return 0;
}

double ProcessCpuSeconds(int pid) {
  // Fields 14 and 15 of /proc/<pid>/stat, in the kernel's fixed user tick of 1/100 s. The
  // command name (field 2) is in parentheses and may hold blanks: count from the last ')'.
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::stod(field);
  }
  return ticks / 100.0;
}
