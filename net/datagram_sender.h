// The sender of the gateway's notification datagrams: the announcements ("Startup Quarnix",
// "Exit Quarnix") to the default destination and each group's datagrams to its own.
//
// The application makes one sender once the command line is read and hands it to whoever sends
// (the group registry and its data-callback sink). It is given its UDP socket, the default
// destination (/remoteHost, /remotePort), the value-change log switch and the counters when it
// is made; a send names only the bytes and, for a group, the destination. The log switch is
// read here alone: with value changes logged, each send writes its line to the log file.
//
// A send tries the socket at once; only when the socket's buffer is full does it wait for room,
// up to the sender's timeout (100 s unless given), and drops the datagram after that.
//
// Error rule: never throws, reports nothing: a datagram that cannot be sent is dropped and
// counted (GatewayCounters::datagramFailures). Thread rule: the UI thread. Ownership: the socket,
// the log switch and the counters are borrowed and must outlive the sender; bytes are borrowed
// for the call.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

class CBlockingSocket;
struct GatewayCounters;

extern const char kStartupDatagram[];  // "Startup Quarnix\r\n" (17 bytes)
extern const char kExitDatagram[];     // "Exit Quarnix\r\n" (14 bytes)

// An IPv4 destination in host byte order. A destination without a port gets nothing.
struct DatagramAddress {
  std::uint32_t host = 0;
  std::uint16_t port = 0;
};

class CDatagramSender {
public:
  static constexpr std::chrono::seconds kDefaultTimeout{100};
  using Bytes = std::span<const std::uint8_t>;

  CDatagramSender(CBlockingSocket& socket, DatagramAddress defaultDestination,
                  const bool& logValueChanges, GatewayCounters& counters,
                  std::chrono::seconds timeout = kDefaultTimeout);
  CDatagramSender(const CDatagramSender&) = delete;
  CDatagramSender& operator=(const CDatagramSender&) = delete;

  DatagramAddress DefaultDestination() const { return m_default; }
  // A group's destination: the host and receive port of its definition, where a receive port
  // of 0 (and a host of 0) stand for the default destination's.
  DatagramAddress GroupDestination(std::uint32_t host, std::uint16_t port) const;

  // A text (the announcements) to the default destination.
  void SendText(std::string_view text);
  // Bytes to destination. The log line, when value changes are logged, ends with note, or with
  // "(null)" in the form without one.
  void SendTo(Bytes bytes, DatagramAddress destination);
  void SendTo(Bytes bytes, DatagramAddress destination, std::string_view note);

  // Whether sends are logged now: a caller builds a costly note only then.
  bool LogsValueChanges() const { return m_logValueChanges; }

private:
  void Send(Bytes bytes, DatagramAddress destination, std::string_view note);

  CBlockingSocket& m_socket;
  const DatagramAddress m_default;
  const bool& m_logValueChanges;
  GatewayCounters& m_counters;
  const int m_timeoutSeconds;
};
