#include "net/send_notification.h"

#include <cstring>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/gateway_counters.h"
#include "net/gateway_sockets.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

const char kStartupDatagram[] = "Startup Quarnix\r\n";
const char kExitDatagram[] = "Exit Quarnix\r\n";

void SendNotification(const void* message, int length, int timeout, std::uint32_t host,
                      std::uint16_t port, const char* note) {
  CGatewaySockets* app = GatewaySockets();
  if (app == nullptr || message == nullptr) return;
  if (port == 0 && app->remotePort == 0) return;
  const char* bytes = static_cast<const char*>(message);
  if (length < 1) length = static_cast<int>(std::strlen(bytes));
  if (timeout < 1) timeout = 100;
  const std::uint16_t destinationPort = port != 0 ? port : app->remotePort;
  const std::uint32_t destinationHost = host != 0 ? host : app->remoteHost;
  const CSocketAddress destination(destinationHost, destinationPort);

  if (logValueChanges) {
    try {
      // The payload shows as text up to its first NUL, never beyond its length.
      const std::string shown(bytes, strnlen(bytes, static_cast<std::size_t>(length)));
      LogToFile(StringPrintf(SystemText("往%d:%d发送值变化通知 %s 长度 %d %s").c_str(),
                             static_cast<std::int32_t>(destinationHost), destinationPort,
                             shown.c_str(), length, note != nullptr ? note : "(null)"));
    } catch (...) {
      if (pMainFrame != nullptr) {
        pMainFrame->LogToWindow(
            StringPrintf("outputLog(SendDatagram) Error failed. Result=%d", SocketLastError()));
      }
    }
  }

  try {
    app->socketNotify.SendDatagram(bytes, length, destination, timeout);
    Counters().datagramsSent.fetch_add(1, std::memory_order_relaxed);
  } catch (const CBlockingSocketException&) {
    // Not writable in time, or the send failed: the datagram is dropped.
    Counters().datagramFailures.fetch_add(1, std::memory_order_relaxed);
  } catch (...) {
    Counters().datagramFailures.fetch_add(1, std::memory_order_relaxed);
    LogToFile(StringPrintf(
        SystemText("调用theApp.socketNotify.SendDatagram()时，程序抛出了异常。错误代码：%x")
            .c_str(),
        static_cast<unsigned>(SocketLastError())));
  }
}
