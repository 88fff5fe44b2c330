#include "net/datagram_sender.h"

#include <cstring>
#include <string>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/blocking_socket.h"
#include "net/gateway_counters.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

const char kStartupDatagram[] = "Startup Quarnix\r\n";
const char kExitDatagram[] = "Exit Quarnix\r\n";

namespace {
constexpr std::string_view kNoNote = "(null)";
}

CDatagramSender::CDatagramSender(CBlockingSocket& socket, DatagramAddress defaultDestination,
                                 const bool& logValueChanges, GatewayCounters& counters,
                                 std::chrono::seconds timeout)
    : m_socket(socket),
      m_default(defaultDestination),
      m_logValueChanges(logValueChanges),
      m_counters(counters),
      m_timeoutSeconds(static_cast<int>(timeout.count())) {}

DatagramAddress CDatagramSender::GroupDestination(std::uint32_t host, std::uint16_t port) const {
  return DatagramAddress{host != 0 ? host : m_default.host, port != 0 ? port : m_default.port};
}

void CDatagramSender::SendText(std::string_view text) {
  Send(Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), m_default, kNoNote);
}

void CDatagramSender::SendTo(Bytes bytes, DatagramAddress destination) {
  Send(bytes, destination, kNoNote);
}

void CDatagramSender::SendTo(Bytes bytes, DatagramAddress destination, std::string_view note) {
  Send(bytes, destination, note);
}

void CDatagramSender::Send(Bytes bytes, DatagramAddress destination, std::string_view note) {
  if (destination.port == 0) return;
  const char* data = reinterpret_cast<const char*>(bytes.data());
  const int length = static_cast<int>(bytes.size());

  if (m_logValueChanges) {
    try {
      // The payload shows as text up to its first NUL, never beyond its length.
      const std::string shown(data, strnlen(data, bytes.size()));
      LogToFile(StringPrintf(SystemText("往%d:%d发送值变化通知 %s 长度 %d %s").c_str(),
                             static_cast<std::int32_t>(destination.host), destination.port,
                             shown.c_str(), length, std::string(note).c_str()));
    } catch (...) {
      if (pMainFrame != nullptr) {
        pMainFrame->LogToWindow(
            StringPrintf("outputLog(SendDatagram) Error failed. Result=%d", SocketLastError()));
      }
    }
  }

  try {
    m_socket.SendDatagram(data, length, CSocketAddress(destination.host, destination.port),
                          m_timeoutSeconds);
    m_counters.datagramsSent.fetch_add(1, std::memory_order_relaxed);
  } catch (const CBlockingSocketException&) {
    // Not writable in time, or the send failed: the datagram is dropped.
    m_counters.datagramFailures.fetch_add(1, std::memory_order_relaxed);
  } catch (...) {
    m_counters.datagramFailures.fetch_add(1, std::memory_order_relaxed);
    LogToFile(StringPrintf(
        SystemText("调用theApp.socketNotify.SendDatagram()时，程序抛出了异常。错误代码：%x")
            .c_str(),
        static_cast<unsigned>(SocketLastError())));
  }
}
