// Test helpers on 127.0.0.1: a UDP receiver, a TCP client, a scratch working directory, and a
// wait-until-deadline loop. Header-only so that every test folder can include it.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "platform/socket_api.h"

namespace testing_loopback {

constexpr std::uint32_t kLoopback = 0x7F000001;

inline SocketAddressIn LoopbackAddress(std::uint16_t port) {
  SocketAddressIn address;
  address.port = HostToNet16(port);
  address.address = HostToNet32(kLoopback);
  return address;
}

inline std::uint16_t LocalPort(SocketHandle socket) {
  SocketAddressIn local;
  if (!SocketGetSockName(socket, local)) return 0;
  return NetToHost16(local.port);
}

// Polls condition with short waits until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A UDP socket bound to 127.0.0.1 on a port the system chose.
class UdpReceiver {
public:
  UdpReceiver() {
    m_socket = SocketCreate(kSockDgram);
    SocketBind(m_socket, LoopbackAddress(0));
    m_port = LocalPort(m_socket);
  }
  ~UdpReceiver() { SocketClose(m_socket); }
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  std::uint16_t Port() const { return m_port; }

  // The next datagram, or nothing when none arrives in time.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (SocketWaitReadableMs(m_socket, static_cast<int>(timeout.count())) <= 0) return {};
    char buffer[65536];
    SocketAddressIn from;
    const int count = SocketReceiveFrom(m_socket, buffer, sizeof buffer, from);
    if (count < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(count));
  }

  // Sends a marker datagram to itself; used to show that nothing arrived before it.
  void SendMarker(const std::string& marker) {
    SocketHandle sender = SocketCreate(kSockDgram);
    SocketSendTo(sender, marker.data(), static_cast<int>(marker.size()), LoopbackAddress(m_port));
    SocketClose(sender);
  }

private:
  SocketHandle m_socket = kNoSocket;
  std::uint16_t m_port = 0;
};

// A TCP client socket connected to 127.0.0.1:port.
class TcpClient {
public:
  explicit TcpClient(std::uint16_t port) {
    m_socket = SocketCreate(kSockStream);
    m_connected = SocketConnect(m_socket, LoopbackAddress(port));
  }
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connected() const { return m_connected; }
  SocketHandle Handle() const { return m_socket; }
  void Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int count =
          SocketSend(m_socket, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (count <= 0) return;
      sent += static_cast<std::size_t>(count);
    }
  }
  void Close() {
    SocketClose(m_socket);
    m_socket = kNoSocket;
  }

private:
  SocketHandle m_socket = kNoSocket;
  bool m_connected = false;
};

// A TCP port that was free a moment ago (bound to port 0, then released).
inline std::uint16_t FreeTcpPort() {
  SocketHandle probe = SocketCreate(kSockStream);
  SocketAddressIn any;
  SocketBind(probe, any);
  const std::uint16_t port = LocalPort(probe);
  SocketClose(probe);
  return port;
}

inline std::string UniqueName(const std::string& prefix) {
  static std::mt19937_64 random{std::random_device{}()};
  std::ostringstream name;
  name << prefix << std::hex << random();
  return name.str();
}

// A fresh directory made the working directory for the object's life.
class ScratchDirectory {
public:
  ScratchDirectory() : m_previous(std::filesystem::current_path()) {
    m_path = std::filesystem::temp_directory_path() / UniqueName("quarnix-test-");
    std::filesystem::create_directories(m_path);
    std::filesystem::current_path(m_path);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return m_path; }

private:
  std::filesystem::path m_previous;
  std::filesystem::path m_path;
};

// The whole content of a file, or empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace testing_loopback
