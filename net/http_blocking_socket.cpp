#include "net/http_blocking_socket.h"

#include <chrono>
#include <cstring>

CHttpBlockingSocket::CHttpBlockingSocket() : m_pLineBuffer(new char[kLineBufferSize]) {}

int CHttpBlockingSocket::FindLineFeed() {
  const char* buffer = m_pLineBuffer.get();
  const void* found =
      std::memchr(buffer + m_nSearched, '\n', static_cast<std::size_t>(m_nLineBytes - m_nSearched));
  if (found == nullptr) {
    m_nSearched = m_nLineBytes;
    return -1;
  }
  m_nSearched = static_cast<int>(static_cast<const char*>(found) - buffer);
  return m_nSearched;
}

template <typename ReceiveMore>
int CHttpBlockingSocket::TakeLine(char* line, int capacity, ReceiveMore receive) {
  char* buffer = m_pLineBuffer.get();
  int lineFeed = FindLineFeed();
  while (lineFeed < 0) {
    const int received = receive(buffer + m_nLineBytes, kLineBufferSize - m_nLineBytes);
    if (received <= 0) throw CBlockingSocketException("ReadHeaderLine");
    m_nLineBytes += received;
    lineFeed = FindLineFeed();
  }
  const int lineLength = lineFeed + 1;
  int count = lineLength < capacity ? lineLength : capacity - 1;
  if (count < 0) count = 0;
  if (line != nullptr && capacity > 0) {
    std::memcpy(line, buffer, static_cast<std::size_t>(count));
    line[count] = '\0';
  }
  // The whole line is consumed, also the part of a cut line that was not handed out.
  std::memmove(buffer, buffer + lineLength, static_cast<std::size_t>(m_nLineBytes - lineLength));
  m_nLineBytes -= lineLength;
  m_nSearched = 0;
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
      // the handler's own work between lines.
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
  if (handle == kNoSocket) return LineWait::kPeerClosed;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
  while (m_nLineBytes < kLineBufferSize) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return LineWait::kTimedOut;
    const int ready = SocketWaitReadableMs(handle, static_cast<int>(left));
    if (ready == 0) return LineWait::kTimedOut;
    if (ready < 0) {
      if (SocketLastError() == kErrorInterrupted) continue;
      return LineWait::kPeerClosed;
    }
    const int received =
        SocketReceive(handle, m_pLineBuffer.get() + m_nLineBytes, kLineBufferSize - m_nLineBytes);
    if (received <= 0) return LineWait::kPeerClosed;
    m_nLineBytes += received;
    if (FindLineFeed() >= 0) return LineWait::kLine;
  }
  return LineWait::kBufferFull;
}

int CHttpBlockingSocket::Feed(const char* bytes, int count) {
  const int room = kLineBufferSize - m_nLineBytes;
  const int taken = count < 0 ? 0 : (count < room ? count : room);
  if (taken > 0)
    std::memcpy(m_pLineBuffer.get() + m_nLineBytes, bytes, static_cast<std::size_t>(taken));
  m_nLineBytes += taken;
  return taken;
}
