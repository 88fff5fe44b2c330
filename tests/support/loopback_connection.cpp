#include "tests/support/loopback_connection.h"

#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/socket_api.h"

namespace {

// One listening socket for every connection of the process. A listener per connection took two
// ephemeral ports each time, and a long run of connections (a fuzzer's) ran out of them; the
// clients' ports in TIME_WAIT are reused on loopback.
struct CSharedListener {
  std::mutex mutex;  // one connect and accept at a time
  CBlockingSocket socket;
  SocketAddressIn address{};
};

CSharedListener& SharedListener() {
  static CSharedListener* shared = [] {
    SocketStartup();
    auto* listener = new CSharedListener;
    listener->socket.Create(kSockStream);
    listener->socket.Bind(CSocketAddress(0x7F000001, 0));
    listener->socket.Listen();
    if (!SocketGetSockName(listener->socket.m_socket, listener->address))
      throw std::runtime_error("loopback: no local address");
    return listener;
  }();
  return *shared;
}

}  // namespace

CLoopbackConnection::CLoopbackConnection() {
  try {
    CSharedListener& listener = SharedListener();
    std::lock_guard lock(listener.mutex);
    m_client = SocketCreate(kSockStream);
    if (m_client == kNoSocket) throw std::runtime_error("loopback: no client socket");
    if (!SocketConnect(m_client, listener.address))
      throw std::runtime_error("loopback: connect failed, error " +
                               std::to_string(SocketLastError()));
    SocketAddressIn local;
    if (SocketGetSockName(m_client, local)) m_clientPort = NetToHost16(local.port);
    CSocketAddress peer;
    if (!listener.socket.Accept(m_server, peer))
      throw std::runtime_error("loopback: accept failed");
  } catch (const CBlockingSocketException& e) {
    if (m_client != kNoSocket) SocketClose(m_client);
    throw std::runtime_error("loopback: " + e.Message());
  } catch (...) {
    if (m_client != kNoSocket) SocketClose(m_client);
    m_server.Close();
    throw;
  }
}

CLoopbackConnection::~CLoopbackConnection() {
  CloseClient();
  CloseServer();
}

bool CLoopbackConnection::Send(std::string_view bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (SocketWaitWritable(m_client, 10) <= 0) return false;
    const int count =
        SocketSend(m_client, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void CLoopbackConnection::CloseClient() {
  if (m_client != kNoSocket) {
    SocketClose(m_client);
    m_client = kNoSocket;
  }
}

void CLoopbackConnection::CloseServer() {
  m_server.Close();
}

std::string CLoopbackConnection::ReadAll(std::chrono::milliseconds timeout) {
  return ReadUntil(std::string_view(), timeout);
}

std::string CLoopbackConnection::ReadUntil(std::string_view suffix,
                                           std::chrono::milliseconds timeout) {
  std::string received;
  if (m_client == kNoSocket) return received;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    const int ready = SocketWaitReadableMs(m_client, static_cast<int>(left));
    if (ready == 0) break;
    if (ready < 0 && SocketLastError() == kErrorInterrupted) continue;
    const int count = SocketReceive(m_client, buffer, sizeof buffer);
    if (count <= 0) break;  // the server side closed (or reset)
    received.append(buffer, static_cast<std::size_t>(count));
    if (!suffix.empty() && received.size() >= suffix.size() &&
        received.compare(received.size() - suffix.size(), suffix.size(), suffix) == 0)
      break;
  }
  return received;
}
