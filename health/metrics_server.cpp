#include "health/metrics_server.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices so that Stop is seen soon.
constexpr int kSliceMs = 200;

int SliceUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
}

}  // namespace

CMetricsServer::~CMetricsServer() {
  Stop();
}

void CMetricsServer::Open(std::uint32_t address, std::uint16_t port) {
  m_listen.Create(kSockStream);
  try {
    m_listen.Bind(CSocketAddress(address, port));
    m_listen.Listen();
  } catch (...) {
    m_listen.Close();
    throw;
  }
}

std::uint16_t CMetricsServer::Port() const {
  SocketAddressIn local;
  if (!SocketGetSockName(m_listen.m_socket.load(), local)) return 0;
  return NetToHost16(local.port);
}

bool CMetricsServer::Start(TimedSource source, const ProtectionSettings& protection) {
  return Start(
      [source = std::move(source)](const std::optional<HttpRequestLine>& request,
                                   Clock::time_point deadline) {
        return MetricsReply(request, [&] { return source ? source(deadline) : std::nullopt; });
      },
      protection);
}

bool CMetricsServer::Start(Responder responder, const ProtectionSettings& protection) {
  if (m_listen.m_socket == kNoSocket || m_acceptor.joinable()) return false;
  m_responder = std::move(responder);
  m_guard.Configure(protection);
  m_stopping = false;
  m_acceptor = std::thread(&CMetricsServer::AcceptLoop, this);
  return true;
}

void CMetricsServer::Stop() {
  m_stopping = true;
  m_listen.Close();
  if (m_acceptor.joinable()) m_acceptor.join();
  std::list<Worker> workers;
  {
    std::lock_guard lock(m_mutex);
    workers.swap(m_workers);
  }
  // Workers see m_stopping within a slice and close their own connections.
  for (Worker& worker : workers)
    if (worker.thread.joinable()) worker.thread.join();
  m_busy = 0;
}

void CMetricsServer::AcceptLoop() {
  while (!m_stopping) {
    CBlockingSocket connection;
    CSocketAddress peer;
    bool accepted = false;
    try {
      accepted = m_listen.Accept(connection, peer);
    } catch (const CBlockingSocketException&) {
      accepted = false;
    }
    if (m_stopping) {
      connection.Close();
      break;
    }
    if (!accepted) {
      // A passing failure (a reset connection, no descriptors): try again after a pause.
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    const std::uint32_t address = peer.HostOrderAddress();
    if (m_guard.Admit(address) != CConnectionGuard::Verdict::kAdmitted) {
      connection.Close();  // unread, without a reply
      continue;
    }
    if (!StartWorker(connection.m_socket.load(), address)) {
      m_guard.Release(address);
      connection.Close();
    }
  }
}

bool CMetricsServer::StartWorker(SocketHandle socket, std::uint32_t address) {
  std::lock_guard lock(m_mutex);
  ReapLocked();
  if (m_busy >= kMostWorkers) return false;
  Worker& worker = m_workers.emplace_back();
  worker.socket = socket;
  worker.address = address;
  try {
    worker.thread = std::thread([this, &worker] { Serve(worker); });
  } catch (...) {
    m_workers.pop_back();
    return false;
  }
  ++m_busy;
  return true;
}

void CMetricsServer::ReapLocked() {
  for (auto it = m_workers.begin(); it != m_workers.end();) {
    if (!it->done) {
      ++it;
      continue;
    }
    it->thread.join();  // it has left Serve: the join is immediate
    it = m_workers.erase(it);
  }
}

void CMetricsServer::Serve(Worker& worker) {
  const Clock::time_point deadline = Clock::now() + kRequestTime;
  std::string head;
  const HttpHeadScan scan = ReadHead(worker.socket, head, deadline);
  if (scan != HttpHeadScan::kIncomplete && !m_stopping) {
    const auto request = scan == HttpHeadScan::kComplete ? ParseHttpRequestLine(head)
                                                         : std::optional<HttpRequestLine>();
    const Clock::time_point figuresBy = std::min(deadline, Clock::now() + kFiguresWait);
    const HttpReply reply =
        m_responder ? m_responder(request, figuresBy) : PlainReply(503, "no figures to serve\n");
    SendAll(worker.socket, reply.Bytes(), deadline);
  }
  SocketClose(worker.socket);
  m_guard.Release(worker.address);
  std::lock_guard lock(m_mutex);
  worker.done = true;
  --m_busy;
}

HttpHeadScan CMetricsServer::ReadHead(SocketHandle socket, std::string& head,
                                      Clock::time_point deadline) const {
  char buffer[2048];
  while (!m_stopping && Clock::now() < deadline) {
    const int ready = SocketWaitReadableMs(socket, SliceUntil(deadline));
    if (ready < 0) break;
    if (ready == 0) continue;
    const std::size_t room = kMostHttpHeadBytes - std::min(head.size(), kMostHttpHeadBytes);
    const int got = SocketReceive(
        socket, buffer, static_cast<int>(std::min(sizeof buffer, std::max<std::size_t>(room, 1))));
    if (got <= 0) break;  // closed or failed
    head.append(buffer, static_cast<std::size_t>(got));
    const HttpHeadScan scan = ScanHttpHead(head);
    if (scan != HttpHeadScan::kIncomplete) return scan;
  }
  return HttpHeadScan::kIncomplete;
}

bool CMetricsServer::SendAll(SocketHandle socket, const std::string& bytes,
                             Clock::time_point deadline) const {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (m_stopping || Clock::now() >= deadline) return false;
    const int count =
        SocketTrySend(socket, bytes.data() + sent,
                      static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 65536)));
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
    } else if (count < 0 && SocketSendWouldBlock()) {
      if (SocketWaitWritable(socket, 1) < 0) return false;
    } else {
      return false;
    }
  }
  return true;
}
