// Small helpers of the OPC tests: a recording frame view, a timer the test ticks itself, whether
// COM is initialised, a scratch working directory, a UDP receiver on 127.0.0.1 and the gateway's
// notification socket aimed at it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/blocking_socket.h"
#include "net/datagram_sender.h"
#include "net/gateway_counters.h"
#include "opc/opcda.h"
#include "platform/apartment_timer.h"
#include "platform/socket_api.h"

// Keeps every line written to the window.
class CRecordingView : public IFrameView {
public:
  void LogToWindow(std::string text) override { lines.push_back(std::move(text)); }
  void SetMessageText(std::string text) override { status = std::move(text); }
  void ShowErrorMessage(const std::string& text) override { errors.push_back(text); }
  void PostCloseRequest() override { ++closeRequests; }

  bool Has(const std::string& line) const {
    for (const auto& l : lines)
      if (l == line) return true;
    return false;
  }

  std::vector<std::string> lines;
  std::vector<std::string> errors;
  std::string status;
  int closeRequests = 0;
};

// Stands in for the UI thread's timer: records what was asked, never fires by itself.
class CManualTimer : public CApartmentTimer {
public:
  void Start(std::chrono::milliseconds delay, std::function<void()>) override {
    armed = true;
    delays.push_back(static_cast<long>(delay.count()));
  }
  void Stop() override { armed = false; }

  bool armed = false;
  std::vector<long> delays;  // ms, in the order asked
};

// True while the calling thread has COM initialised.
inline bool ComInitialised() {
  static const CLSID kUnregisteredClsid = {0x0BADC0DE, 0x1, 0x2, {0, 0, 0, 0, 0, 0, 0, 1}};
  void* out = nullptr;
  return CoCreateInstance(kUnregisteredClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &out) !=
         CO_E_NOTINITIALIZED;
}

// Moves the process into a fresh directory (the log file is written to the working directory)
// and back out again, removing it.
class CScratchDir {
public:
  CScratchDir() : m_previous(std::filesystem::current_path()) {
    static int counter = 0;
    m_path = m_previous /
             ("opc-scratch-" + std::to_string(UniqueId()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
    std::filesystem::current_path(m_path);
  }
  ~CScratchDir() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
    std::filesystem::remove_all(m_path, ignored);
  }

  // The whole log file ("" when it does not exist).
  static std::string LogFile() {
    std::ifstream in("RV_Morvantel.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    std::istringstream in(LogFile());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }

private:
  // A number that differs between test processes running at the same time.
  static unsigned long UniqueId() {
    std::random_device random;
    return static_cast<unsigned long>(random()) ^
           static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::filesystem::path m_previous;
  std::filesystem::path m_path;
};

// A UDP socket bound to 127.0.0.1 on a free port.
class CUdpReceiver {
public:
  CUdpReceiver() {
    m_socket = SocketCreate(kSockDgram);
    SocketSetReceiveBuffer(m_socket, 4 * 1024 * 1024);
    SocketAddressIn address;
    address.address = HostToNet32(0x7F000001);
    SocketBind(m_socket, address);
    SocketAddressIn local;
    SocketGetSockName(m_socket, local);
    m_port = NetToHost16(local.port);
  }
  ~CUdpReceiver() { SocketClose(m_socket); }
  CUdpReceiver(const CUdpReceiver&) = delete;
  CUdpReceiver& operator=(const CUdpReceiver&) = delete;

  std::uint16_t Port() const { return m_port; }

  // The next datagram, waiting at most timeoutMs; false when none came.
  bool Receive(std::vector<std::uint8_t>& out, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left < 0) return false;
      if (SocketWaitReadableMs(m_socket, static_cast<int>(left)) > 0) break;
    }
    std::uint8_t buffer[65536];
    SocketAddressIn from;
    const int n = SocketReceiveFrom(m_socket, buffer, sizeof buffer, from);
    if (n < 0) return false;
    out.assign(buffer, buffer + n);
    return true;
  }

  std::vector<std::uint8_t> Next(int timeoutMs = 5000) {
    std::vector<std::uint8_t> out;
    Receive(out, timeoutMs);
    return out;
  }

private:
  SocketHandle m_socket = kNoSocket;
  std::uint16_t m_port = 0;
};

// The gateway's notification socket and a datagram sender on it aimed by default at a
// receiver, with log switches and counters of its own.
class CNotifySockets {
public:
  explicit CNotifySockets(std::uint16_t defaultPort)
      : sender(socket, DatagramAddress{0x7F000001, defaultPort}, log.logValueChanges, counters) {
    socket.Create(kSockDgram);
  }
  ~CNotifySockets() { socket.Close(); }

  CBlockingSocket socket;
  LogSwitches log;
  GatewayCounters counters;
  CDatagramSender sender;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

inline std::vector<std::uint8_t> TextBytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}
