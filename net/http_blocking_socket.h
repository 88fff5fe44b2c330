// A blocking socket that reads a byte stream line by line through its own 1000-byte buffer.
//
// Error rule: throws CBlockingSocketException ("ReadHeaderLine", "Receive", "Receive timeout").
// Thread rule: one thread at a time (a listener hands the connection to the UI thread and
// takes it back). Ownership: the buffer lives with the object; Close keeps its content.
#pragma once

#include <chrono>
#include <memory>

#include "net/blocking_socket.h"

class CHttpBlockingSocket : public CBlockingSocket {
public:
  static constexpr int kLineBufferSize = 1000;

  CHttpBlockingSocket();

  // The next LF-terminated line: copies at most capacity - 1 bytes of it (CR LF included) and a
  // NUL into line, consumes the whole line, keeps what follows it, returns the count copied.
  // Never rescans bytes it has already searched.
  int ReadHeaderLine(char* line, int capacity, int seconds);
  // The same with deadlines instead of seconds per piece: no wait for more bytes goes beyond
  // waitUntil (after it, only bytes that are there already are taken), and after takeUntil
  // nothing more is taken. Throws "Receive timeout" when the line is not complete by then.
  int ReadHeaderLine(char* line, int capacity, std::chrono::steady_clock::time_point waitUntil,
                     std::chrono::steady_clock::time_point takeUntil);
  // The length of the last line handed out as it arrived (line end included), also when the
  // copy was cut to the capacity; 0 before the first line.
  int LastLineLength() const { return m_nLastLineLength; }

  // What a wait for a line ended with.
  enum class LineWait {
    kLine,        // a whole line is buffered
    kTimedOut,    // no line within the time given; more may still come
    kPeerClosed,  // the peer closed or the connection failed (or there is no socket)
    kBufferFull,  // 1000 bytes are buffered without a line feed
  };
  // Waits until a whole line is buffered, without consuming it; never throws.
  LineWait WaitForLine(int seconds);

  // Bytes buffered and not yet handed out.
  int BufferedBytes() const { return m_nLineBytes; }
  // Appends bytes to the buffer as if they had been received (for fuzzing and tests): takes at
  // most the free room and returns the count taken.
  int Feed(const char* bytes, int count);

private:
  // Searches the bytes not yet searched; the line feed's index, or -1.
  int FindLineFeed();
  // The line-reading rule shared by both ReadHeaderLine forms; receive fills the buffer's free
  // tail and returns the count (as Receive does).
  template <typename ReceiveMore>
  int TakeLine(char* line, int capacity, ReceiveMore receive);

  std::unique_ptr<char[]> m_pLineBuffer;
  int m_nLineBytes = 0;
  int m_nSearched = 0;  // bytes at the front already known to hold no LF
  int m_nLastLineLength = 0;
};
