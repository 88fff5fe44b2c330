#include "client/udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/socket_support.h"

namespace {

// Far above the largest datagram of the gateway (1468 bytes), so an oversized one is seen whole.
constexpr std::size_t kReceiveCapacity = 65536;
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

}  // namespace

CUdpReceiver::~CUdpReceiver() {
  Close();
}

bool CUdpReceiver::Open(const std::string& address, std::uint16_t port, std::string* reason) {
  Close();
  const auto endpoint = ResolveIpv4(address, port, reason);
  if (!endpoint) return false;
  m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_socket < 0) {
    if (reason != nullptr)
      *reason = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return false;
  }
  int bytes = kReceiveBufferBytes;
  ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);  // best effort
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = endpoint->port;
  local.sin_addr.s_addr = endpoint->address;
  if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (reason != nullptr) {
      *reason = "cannot bind UDP " + EndpointText(*endpoint) + ": " + std::strerror(errno);
    }
    Close();
    return false;
  }
  socklen_t size = sizeof local;
  ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &size);
  m_port = ntohs(local.sin_port);
  m_failed = false;
  return true;
}

std::optional<ReceivedDatagram> CUdpReceiver::Receive(std::chrono::milliseconds timeout) {
  if (m_socket < 0) {
    m_failed = true;
    return std::nullopt;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{m_socket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, left <= 0 ? 0 : static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      m_failed = true;
      return std::nullopt;
    }
    if (ready == 0) return std::nullopt;
    ReceivedDatagram datagram;
    datagram.bytes.resize(kReceiveCapacity);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t count = ::recvfrom(m_socket, datagram.bytes.data(), datagram.bytes.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      m_failed = true;
      return std::nullopt;
    }
    datagram.bytes.resize(static_cast<std::size_t>(count));
    datagram.from = EndpointText({from.sin_addr.s_addr, from.sin_port});
    return datagram;
  }
}

void CUdpReceiver::Close() {
  if (m_socket >= 0) ::close(m_socket);
  m_socket = -1;
  m_port = 0;
}
