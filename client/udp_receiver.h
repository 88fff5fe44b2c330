// A UDP socket that receives the gateway's notification datagrams.
//
// Error rule: nothing throws; Open returns false with a reason, Receive returns nullopt when
// nothing came in time or the socket failed (Failed() then tells which).
// Thread rule: one thread at a time. Ownership: the object owns its socket and closes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct ReceivedDatagram {
  std::string bytes;
  std::string from;  // "a.b.c.d:port" of the sender
};

class CUdpReceiver {
public:
  CUdpReceiver() = default;
  ~CUdpReceiver();
  CUdpReceiver(const CUdpReceiver&) = delete;
  CUdpReceiver& operator=(const CUdpReceiver&) = delete;

  // Binds to the address and port (port 0: any free port, see Port()). A large receive buffer
  // is asked for, so that a burst of datagrams is not lost while they are being printed.
  bool Open(const std::string& address, std::uint16_t port, std::string* reason);
  // The bound port, after Open.
  std::uint16_t Port() const { return m_port; }
  // Waits at most the timeout for one datagram.
  std::optional<ReceivedDatagram> Receive(std::chrono::milliseconds timeout);
  bool Failed() const { return m_failed; }
  // The socket, for a caller that waits on it together with others (-1 when closed).
  int Handle() const { return m_socket; }
  void Close();

private:
  int m_socket = -1;
  std::uint16_t m_port = 0;
  bool m_failed = false;
};
