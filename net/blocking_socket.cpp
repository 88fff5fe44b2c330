#include "net/blocking_socket.h"

#include <cstdio>
#include <cstring>

// --- CSocketAddress ---

CSocketAddress::CSocketAddress() = default;

CSocketAddress::CSocketAddress(std::uint32_t hostOrderAddress, std::uint16_t hostOrderPort) {
  m_addr.family = kAfInet;
  m_addr.port = HostToNet16(hostOrderPort);
  m_addr.address = HostToNet32(hostOrderAddress);
}

std::uint32_t CSocketAddress::HostOrderAddress() const {
  return NetToHost32(m_addr.address);
}

std::uint16_t CSocketAddress::HostOrderPort() const {
  return NetToHost16(m_addr.port);
}

std::unique_ptr<char[]> CSocketAddress::GetDottedAddress() const {
  auto text = std::make_unique<char[]>(16);
  unsigned char bytes[4];
  std::memcpy(bytes, &m_addr.address, 4);  // network order: first byte first
  std::snprintf(text.get(), 16, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

// --- CBlockingSocketException ---

CBlockingSocketException::CBlockingSocketException(const char* operation)
    : CBlockingSocketException(operation, SocketLastError()) {}

CBlockingSocketException::CBlockingSocketException(const char* operation, int errorCode)
    : m_nErrorCode(errorCode), m_strOperation(operation != nullptr ? operation : "") {}

std::string CBlockingSocketException::Message() const {
  char text[300];
  if (m_nErrorCode != 0) {
    std::snprintf(text, sizeof text, "error %s %ud", m_strOperation.c_str(),
                  static_cast<unsigned>(m_nErrorCode));
  } else {
    std::snprintf(text, sizeof text, "Error %s", m_strOperation.c_str());
  }
  return text;
}

bool CBlockingSocketException::GetErrorMessage(char* buffer, unsigned capacity,
                                               unsigned* /*helpContext*/) const {
  if (buffer == nullptr || capacity == 0) return true;
  const std::string message = Message();
  const std::size_t count = std::min<std::size_t>(message.size(), capacity - 1);
  std::memcpy(buffer, message.data(), count);
  buffer[count] = '\0';
  return true;
}

// --- CBlockingSocket ---

void CBlockingSocket::Create(int type) {
  const SocketHandle handle = SocketCreate(type);
  if (handle == kNoSocket) throw CBlockingSocketException("Create");
  m_socket = handle;
}

void CBlockingSocket::Bind(const CSocketAddress& addr) {
  if (!SocketBind(m_socket, addr.m_addr)) throw CBlockingSocketException("Bind");
}

void CBlockingSocket::Listen() {
  // The largest backlog, not 5: a burst of clients must not wait for retransmitted connects.
  if (!SocketListen(m_socket, kListenBacklogMax)) throw CBlockingSocketException("Listen");
}

bool CBlockingSocket::Accept(CBlockingSocket& connection, CSocketAddress& peer) {
  const SocketHandle listening = m_socket;
  // Closed before the call: the same outcome as a close during it.
  if (listening == kNoSocket) return false;
  const SocketHandle accepted = SocketAccept(listening, peer.m_addr);
  if (accepted == kNoSocket) {
    const int error = SocketLastError();
    // Interrupted, or woken because another thread closed this socket: not a failure.
    if (error == kErrorInterrupted || m_socket != listening) return false;
    throw CBlockingSocketException("Accept", error);
  }
  connection.m_socket = accepted;
  return true;
}

// Sends go out at once when the socket has room; only a full socket buffer waits (at most the
// seconds given) for writability. That keeps the bounded wait without a readiness call per send.
int CBlockingSocket::Send(const char* data, int length, int seconds) {
  const SocketHandle handle = m_socket;
  int sent = SocketTrySend(handle, data, length);
  if (sent < 0 && SocketSendWouldBlock()) {
    if (SocketWaitWritable(handle, seconds) == 0) throw CBlockingSocketException("Send timeout");
    sent = SocketSend(handle, data, length);
  }
  if (sent < 0) throw CBlockingSocketException("Send");
  return sent;
}

int CBlockingSocket::SendAll(const char* data, int length, int seconds) {
  int total = 0;
  do {
    const int sent = Send(data + total, length - total, seconds);
    // A stream socket that takes nothing of a non-empty rest would loop for ever.
    if (sent == 0 && total < length) throw CBlockingSocketException("Send");
    total += sent;
  } while (total < length);
  return total;
}

int CBlockingSocket::Receive(char* buffer, int capacity, int seconds) {
  const SocketHandle handle = m_socket;
  if (SocketWaitReadable(handle, seconds) == 0) throw CBlockingSocketException("Receive timeout");
  const int received = SocketReceive(handle, buffer, capacity);
  if (received < 0) throw CBlockingSocketException("Receive");
  return received;
}

int CBlockingSocket::SendDatagram(const char* data, int length, const CSocketAddress& to,
                                  int seconds) {
  const SocketHandle handle = m_socket;
  if (handle == kNoSocket) return 0;
  int sent = SocketTrySendTo(handle, data, length, to.m_addr);
  if (sent < 0 && SocketSendWouldBlock()) {
    if (SocketWaitWritable(handle, seconds) == 0) throw CBlockingSocketException("Send timeout");
    sent = SocketSendTo(handle, data, length, to.m_addr);
  }
  if (sent < 0) throw CBlockingSocketException("SendDatagram");
  return sent;
}

void CBlockingSocket::GetPeerName(CSocketAddress& peer) {
  if (!SocketGetPeerName(m_socket, peer.m_addr)) throw CBlockingSocketException("GetPeerName");
}

void CBlockingSocket::Close() {
  const SocketHandle handle = m_socket.exchange(kNoSocket);
  if (handle != kNoSocket) SocketClose(handle);
}
