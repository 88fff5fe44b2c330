// Shared pieces of the benchmarks: latency figures, a raw baseline request server, a request
// load generator with a lean one-request client, and the report lines.
//
// Every benchmark measures the gateway and a raw baseline in the same run and prints both with
// their ratio, because the machines these run on are shared and noisy.
//
// Error rule: nothing throws; failed requests are counted, not raised. Thread rule: RunLoad
// starts and joins its own client threads; CRawRequestServer serves on one thread of its own.
// Ownership: each object owns its sockets and threads and stops them in its destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_api.h"

using BenchClock = std::chrono::steady_clock;

// Percentiles of a set of durations in milliseconds.
struct LatencyFigures {
  std::size_t count = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
};
LatencyFigures Summarize(std::vector<double> milliseconds);

// Milliseconds between two instants.
double ElapsedMs(BenchClock::time_point from, BenchClock::time_point to);

// A single-threaded accept-read-reply-close server on 127.0.0.1 with the gateway's backlog: it
// reads a request of linesPerRequest lines, writes the canned reply and closes.
class CRawRequestServer {
public:
  CRawRequestServer(std::string reply, int linesPerRequest);
  ~CRawRequestServer();
  CRawRequestServer(const CRawRequestServer&) = delete;
  CRawRequestServer& operator=(const CRawRequestServer&) = delete;

  std::uint16_t Port() const { return m_port; }

private:
  void Serve();

  const std::string m_reply;
  const int m_lines;
  SocketHandle m_listen = kNoSocket;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::thread m_thread;
};

// Sends every byte; false when the connection failed first.
bool SendAllBytes(SocketHandle socket, const std::string& bytes);

// The "Threads:" figure of a Linux process's status; 0 when it cannot be read.
long ProcessThreadCount(int pid);

// One request on a fresh connection to 127.0.0.1:port; the reply is every byte received before
// the peer closed. False when the connection or the exchange failed.
bool OneRequest(std::uint16_t port, const std::string& request, std::string& reply);

struct LoadFigures {
  double requestsPerSecond = 0;
  std::size_t failures = 0;  // failed exchanges and replies that check refused
  LatencyFigures latency;
};

// Runs `clients` threads that each send one request per connection, back to back, for the
// duration (after a short warm-up that is not counted). request(client, n) makes the n-th
// request of a client; check(client, n, reply) tells whether its reply is right.
LoadFigures RunLoad(std::uint16_t port, int clients, std::chrono::milliseconds duration,
                    const std::function<std::string(int, std::uint64_t)>& request,
                    const std::function<bool(int, std::uint64_t, const std::string&)>& check);

// Report lines.
void PrintTitle(const std::string& title);
void PrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "name: gateway X unit, baseline Y unit, ratio X/Y", with other labels where given.
void PrintComparison(const std::string& name, double measured, double baseline,
                     const std::string& unit, const char* measuredLabel = "gateway",
                     const char* baselineLabel = "baseline");
// The value of "VmRSS:" of a process in KiB, 0 when it cannot be read.
long ResidentKiB(int pid);
// The processor time a process has used so far (user and system, all threads), in seconds.
double ProcessCpuSeconds(int pid);
