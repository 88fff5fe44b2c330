// A blocking socket that reads a byte stream line by line through its own buffer, and that can
// hold a whole request: read once on the listener side, then carried, split into its fields
// (Request), to the side that answers it, which receives nothing more.
//
// A line is at most 1000 bytes with its line feed, as in a 1000-byte line buffer. Every byte of
// the request stays in the buffer (up to kMostRequestBytes), so that after the listener side has
// read the request, Rewind hands the same lines out again from the start; reading past what was
// received then throws the failure that ended the receiving (or "Receive timeout"), with the
// thread's last error code set to the one it carried. The reply is queued (QueueReply) by the
// side that answers and finished by the side that closes the connection (SendPending), so the
// answering side never waits for a client that does not read.
//
// Error rule: throws CBlockingSocketException ("ReadHeaderLine", "Receive", "Receive timeout").
// Thread rule: one thread at a time (a listener hands the connection to the UI thread and
// takes it back). Ownership: the buffer lives with the object; Close keeps its content.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/blocking_socket.h"
#include "net/received_request.h"

class CHttpBlockingSocket : public CBlockingSocket {
public:
  static constexpr int kLineBufferSize = 1000;
  // The most bytes one request may take in all; more is refused as a line without end.
  static constexpr int kMostRequestBytes = 8 << 20;

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
  int BufferedBytes() const { return m_nLineBytes - m_nStart; }
  // Appends bytes to the buffer as if they had been received (for fuzzing and tests): takes at
  // most the free room of a 1000-byte line buffer and returns the count taken.
  int Feed(const char* bytes, int count);

  // Receiving is over: notes the failure that ended it, if any (kept for Rewind).
  void EndReceiving(const std::optional<CBlockingSocketException>& failure);
  // Hands the request out again from its first byte, without any further receive.
  void Rewind();
  // An in-memory connection: bytes are everything the peer sent before it closed, ready to be
  // read from the start (for fuzzing and tests).
  void SetReceived(std::string_view bytes);

  // The request as its framing read it on the listener side (lines split into fields), carried
  // to the side that answers it; empty and not Framed() until then.
  CReceivedRequest& Request() { return m_request; }
  const CReceivedRequest& Request() const { return m_request; }

  // The peer address as the listener learnt it at Accept, so the answering side needs no
  // system call; GetPeerName answers it when set.
  void SetPeer(const CSocketAddress& peer) { m_peer = peer; }
  void GetPeerName(CSocketAddress& peer);

  // Sends what the socket takes at once and keeps the rest for SendPending; never waits and
  // never throws (a failed send loses the reply, as a failed reply send always did).
  void QueueReply(std::string_view bytes);
  // Sends what QueueReply kept, each partial send waiting at most seconds; never throws.
  void SendPending(int seconds);
  // Every byte queued so far, sent or not (for fuzzing and tests).
  const std::string& QueuedReply() const { return m_reply; }

private:
  // Searches the bytes not yet searched; the line feed's index, or -1.
  int FindLineFeed();
  // Room for the next receive: what a 1000-byte line buffer has free, within kMostRequestBytes;
  // grows the buffer to take it.
  int MakeRoom();
  // Reading ran past what was received: throws the failure that ended it.
  [[noreturn]] void ThrowEndOfReceived() const;
  // The line-reading rule shared by both ReadHeaderLine forms; receive fills the buffer's free
  // tail and returns the count (as Receive does).
  template <typename ReceiveMore>
  int TakeLine(char* line, int capacity, ReceiveMore receive);

  std::vector<char> m_buffer;
  int m_nStart = 0;      // the first byte not yet handed out
  int m_nLineBytes = 0;  // the end of the bytes received
  int m_nSearched = 0;   // bytes from m_nStart up to here hold no LF
  int m_nLastLineLength = 0;
  bool m_replaying = false;  // after Rewind: nothing more is received
  std::optional<CBlockingSocketException> m_endFailure;
  std::optional<CSocketAddress> m_peer;
  CReceivedRequest m_request;
  std::string m_reply;     // every byte queued
  std::size_t m_sent = 0;  // of m_reply
  bool m_replyFailed = false;
};
