// A client's UDP port for group datagrams, with waits that decode what arrives.
//
// Binds 127.0.0.1 on a port the system chooses; that port is the receive port a test names in
// its "AD" request. Each wait returns at its deadline at the latest.
//
// Error rule: nothing throws; a wait that sees nothing fitting returns nullopt (or fewer
// datagrams than asked for); undecodable bytes come back with decoded.ok false.
// Thread rule: one thread. Ownership: owns its socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/datagram_decoder.h"
#include "client/udp_receiver.h"

struct Notification {
  std::string bytes;
  DecodeResult decoded;
  const Datagram& Value() const { return decoded.datagram; }
};

class CDatagramInbox {
public:
  CDatagramInbox();

  bool Open() const { return m_port != 0; }
  std::uint16_t Port() const { return m_port; }

  // The next datagram, whatever it is.
  std::optional<Notification> Next(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The first datagram that fits; the ones before it are dropped.
  std::optional<Notification> WaitFor(const std::function<bool(const Notification&)>& fits,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The next count datagrams (fewer when the deadline passes first).
  std::vector<Notification> Take(std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Drops everything that has arrived so far.
  void Drain();
  // Sends a datagram to this port from another socket: a marker that shows, when it comes back,
  // that nothing arrived before it.
  void SendMarker(const std::string& marker);

private:
  CUdpReceiver m_receiver;
  std::uint16_t m_port = 0;
};

// Matchers for WaitFor.
std::function<bool(const Notification&)> IsKind(DatagramKind kind);
std::function<bool(const Notification&)> IsGroupKind(DatagramKind kind, int group);

// The bytes of a string of hex pairs ("43 00 1C"); blanks and '|' are ignored.
std::string HexBytes(const std::string& hex);
// Bytes as hex pairs separated by blanks, for readable failure messages.
std::string ToHex(const std::string& bytes);
// A 16-bit and a 32-bit number as big-endian bytes.
std::string BigEndian16(std::uint32_t value);
std::string BigEndian32(std::uint32_t value);
