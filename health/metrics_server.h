// The metrics port (/metrics PORT): a small HTTP/1.0 responder on threads of its own, serving
// GET /metrics and GET /health (metrics_http.h) on the /bind address.
//
// One thread accepts. Each accepted connection first passes a connection guard with the
// gateway's /allow list and /maxconn (a refused one is closed unread); then a worker thread of
// its own reads the request head, answers and closes. A connection gets kRequestTime for all of
// that: one that is silent, slow or never ends its head is closed at its deadline without a
// reply, and it holds only its own worker. At most kMostWorkers connections are served at once;
// more are closed at once. The figures come through a StatusSource (for the gateway: a
// CStatusSnapshots, which holds the UI thread for one copy of the figures at most).
//
// Error rule: Open throws CBlockingSocketException ("Bind" with the system's "address in use"
// code when the port is taken); nothing else throws. Thread rule: Open, Start and Stop on one
// thread; the source is called on the worker threads. Ownership: the server owns its sockets
// and threads; no thread outlives Stop (or the destructor).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

#include "health/metrics_http.h"
#include "net/blocking_socket.h"
#include "net/connection_guard.h"
#include "net/protection_settings.h"

class CMetricsServer {
public:
  static constexpr int kMostWorkers = 16;
  static constexpr std::chrono::milliseconds kRequestTime{5000};
  // How long a request waits for the figures.
  static constexpr std::chrono::milliseconds kFiguresWait{2000};

  CMetricsServer() = default;
  ~CMetricsServer();  // Stop()
  CMetricsServer(const CMetricsServer&) = delete;
  CMetricsServer& operator=(const CMetricsServer&) = delete;

  // Opens the listening socket on address:port (host byte order; address 0 = every interface).
  void Open(std::uint32_t address, std::uint16_t port);
  // The port actually bound (useful after Open with port 0).
  std::uint16_t Port() const;
  // Starts accepting with the allow list and /maxconn of protection. False when not open.
  // source is called with the deadline by which the figures must come.
  using TimedSource =
      std::function<std::optional<GatewayStatus>(std::chrono::steady_clock::time_point)>;
  bool Start(TimedSource source, const ProtectionSettings& protection);
  // The same with replies of the caller's own (another program's figures): called on the
  // worker threads with the request line (nullopt: malformed) and the reply's deadline.
  using Responder = std::function<HttpReply(const std::optional<HttpRequestLine>& request,
                                            std::chrono::steady_clock::time_point deadline)>;
  bool Start(Responder responder, const ProtectionSettings& protection);
  // Closes the listening socket and every open connection and joins every thread. Idempotent.
  void Stop();

private:
  struct Worker {
    std::thread thread;
    SocketHandle socket = kNoSocket;
    std::uint32_t address = 0;
    bool done = false;
  };

  void AcceptLoop();
  // Starts a worker for the connection; false when kMostWorkers are busy.
  bool StartWorker(SocketHandle socket, std::uint32_t address);
  void Serve(Worker& worker);
  // Reads the head until complete, too long, silent past the deadline or closed.
  HttpHeadScan ReadHead(SocketHandle socket, std::string& head,
                        std::chrono::steady_clock::time_point deadline) const;
  bool SendAll(SocketHandle socket, const std::string& bytes,
               std::chrono::steady_clock::time_point deadline) const;
  void ReapLocked();

  CBlockingSocket m_listen;
  std::thread m_acceptor;
  CConnectionGuard m_guard;
  Responder m_responder;
  std::atomic<bool> m_stopping{false};
  std::mutex m_mutex;
  std::list<Worker> m_workers;
  int m_busy = 0;
};
