#include "net/http_blocking_socket.h"

#include <algorithm>
#include <chrono>
#include <cstring>

CHttpBlockingSocket::CHttpBlockingSocket() = default;

int CHttpBlockingSocket::FindLineFeed() {
  if (m_nSearched < m_nStart) m_nSearched = m_nStart;
  if (m_nSearched >= m_nLineBytes) return -1;
  const char* buffer = m_buffer.data();
  const void* found =
      std::memchr(buffer + m_nSearched, '\n', static_cast<std::size_t>(m_nLineBytes - m_nSearched));
  if (found == nullptr) {
    m_nSearched = m_nLineBytes;
    return -1;
  }
  m_nSearched = static_cast<int>(static_cast<const char*>(found) - buffer);
  return m_nSearched;
}

int CHttpBlockingSocket::MakeRoom() {
  const int room =
      std::max(0, std::min(kLineBufferSize - BufferedBytes(), kMostRequestBytes - m_nLineBytes));
  const auto needed = static_cast<std::size_t>(m_nLineBytes + room);
  if (m_buffer.size() < needed) {
    // Grows by doubling, so that a long request is copied a few times only.
    const std::size_t doubled = std::max<std::size_t>(m_buffer.size() * 2, kLineBufferSize);
    m_buffer.resize(std::min<std::size_t>(std::max(needed, doubled), kMostRequestBytes));
  }
  return room;
}

void CHttpBlockingSocket::ThrowEndOfReceived() const {
  if (m_endFailure) {
    SetSocketLastError(m_endFailure->m_nErrorCode);
    throw *m_endFailure;
  }
  throw CBlockingSocketException("Receive timeout");
}

template <typename ReceiveMore>
int CHttpBlockingSocket::TakeLine(char* line, int capacity, ReceiveMore receive) {
  int lineFeed = FindLineFeed();
  while (lineFeed < 0) {
    if (m_replaying) ThrowEndOfReceived();
    const int room = MakeRoom();
    const int received = receive(m_buffer.data() + m_nLineBytes, room);
    if (received <= 0) throw CBlockingSocketException("ReadHeaderLine");
    m_nLineBytes += received;
    lineFeed = FindLineFeed();
  }
  const int lineLength = lineFeed + 1 - m_nStart;
  int count = lineLength < capacity ? lineLength : capacity - 1;
  if (count < 0) count = 0;
  if (line != nullptr && capacity > 0) {
    std::memcpy(line, m_buffer.data() + m_nStart, static_cast<std::size_t>(count));
    line[count] = '\0';
  }
  // The whole line is consumed, also the part of a cut line that was not handed out; its bytes
  // stay in the buffer for Rewind.
  m_nStart += lineLength;
  m_nSearched = m_nStart;
  m_nLastLineLength = lineLength;
  return count;
}

int CHttpBlockingSocket::ReadHeaderLine(char* line, int capacity, int seconds) {
  return TakeLine(line, capacity,
                  [this, seconds](char* free, int room) { return Receive(free, room, seconds); });
}

int CHttpBlockingSocket::ReadHeaderLine(char* line, int capacity,
                                        std::chrono::steady_clock::time_point waitUntil,
                                        std::chrono::steady_clock::time_point takeUntil) {
  return TakeLine(line, capacity, [this, waitUntil, takeUntil](char* free, int room) {
    const SocketHandle handle = m_socket;
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= takeUntil) throw CBlockingSocketException("Receive timeout");
      // Past waitUntil, bytes that are there already are still taken: it bounds waiting, not
      // the work between lines.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waitUntil - now);
      const int ready =
          SocketWaitReadableMs(handle, left.count() > 0 ? static_cast<int>(left.count()) : 0);
      if (ready == 0) throw CBlockingSocketException("Receive timeout");
      if (ready < 0 && SocketLastError() == kErrorInterrupted) continue;
      const int received = SocketReceive(handle, free, room);
      if (received < 0) throw CBlockingSocketException("Receive");
      return received;
    }
  });
}

CHttpBlockingSocket::LineWait CHttpBlockingSocket::WaitForLine(int seconds) {
  if (FindLineFeed() >= 0) return LineWait::kLine;
  const SocketHandle handle = m_socket;
  if (handle == kNoSocket || m_replaying) return LineWait::kPeerClosed;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
  while (BufferedBytes() < kLineBufferSize) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return LineWait::kTimedOut;
    const int ready = SocketWaitReadableMs(handle, static_cast<int>(left));
    if (ready == 0) return LineWait::kTimedOut;
    if (ready < 0) {
      if (SocketLastError() == kErrorInterrupted) continue;
      return LineWait::kPeerClosed;
    }
    const int room = MakeRoom();
    if (room == 0) return LineWait::kBufferFull;
    const int received = SocketReceive(handle, m_buffer.data() + m_nLineBytes, room);
    if (received <= 0) return LineWait::kPeerClosed;
    m_nLineBytes += received;
    if (FindLineFeed() >= 0) return LineWait::kLine;
  }
  return LineWait::kBufferFull;
}

int CHttpBlockingSocket::Feed(const char* bytes, int count) {
  const int room = MakeRoom();
  const int taken = count < 0 ? 0 : (count < room ? count : room);
  if (taken > 0)
    std::memcpy(m_buffer.data() + m_nLineBytes, bytes, static_cast<std::size_t>(taken));
  m_nLineBytes += taken;
  return taken;
}

void CHttpBlockingSocket::EndReceiving(const std::optional<CBlockingSocketException>& failure) {
  m_endFailure = failure;
}

void CHttpBlockingSocket::Rewind() {
  m_nStart = 0;
  m_nSearched = 0;
  m_nLastLineLength = 0;
  m_replaying = true;
}

void CHttpBlockingSocket::SetReceived(std::string_view bytes) {
  const std::size_t count = std::min<std::size_t>(bytes.size(), kMostRequestBytes);
  m_buffer.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
  m_nLineBytes = static_cast<int>(count);
  // The peer closed after its bytes: a read past them fails as a close does.
  m_endFailure = CBlockingSocketException("ReadHeaderLine", 0);
  Rewind();
}

void CHttpBlockingSocket::GetPeerName(CSocketAddress& peer) {
  if (m_peer) {
    peer = *m_peer;
    return;
  }
  CBlockingSocket::GetPeerName(peer);
}

void CHttpBlockingSocket::QueueReply(std::string_view bytes) {
  m_reply.append(bytes);
  const SocketHandle handle = m_socket;
  if (m_replyFailed || handle == kNoSocket) return;
  while (m_sent < m_reply.size()) {
    const int sent =
        SocketTrySend(handle, m_reply.data() + m_sent, static_cast<int>(m_reply.size() - m_sent));
    if (sent <= 0) {
      // Full: the rest waits for SendPending. Failed: the reply is lost.
      if (sent < 0 && !SocketSendWouldBlock()) m_replyFailed = true;
      return;
    }
    m_sent += static_cast<std::size_t>(sent);
  }
}

void CHttpBlockingSocket::SendPending(int seconds) {
  if (m_replyFailed || m_sent >= m_reply.size() || m_socket == kNoSocket) return;
  try {
    SendAll(m_reply.data() + m_sent, static_cast<int>(m_reply.size() - m_sent), seconds);
    m_sent = m_reply.size();
  } catch (const CBlockingSocketException&) {
    m_replyFailed = true;  // the client is gone or stopped reading: the reply is lost
  }
}
