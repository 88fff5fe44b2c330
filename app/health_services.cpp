#include "app/health_services.h"

#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/service_notify.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

CHealthServices::~CHealthServices() {
  Stop();
}

bool CHealthServices::OpenMetrics(std::uint16_t port, std::uint32_t bindAddress,
                                  std::string& message) {
  if (port == 0) return true;
  auto server = std::make_unique<CMetricsServer>();
  try {
    server->Open(bindAddress, port);
  } catch (const CBlockingSocketException& e) {
    message = e.m_nErrorCode == kErrorAddressInUse
                  ? StringPrintf(SystemText("端口%u已被另一个程序占用，Quarnix无法在该端口提供指标"
                                            "（/metrics）。请结束占用该端口的程序，或用/metrics"
                                            "选择另一个端口。")
                                     .c_str(),
                                 static_cast<unsigned>(port))
                  : StringPrintf(SystemText("无法打开指标端口%u（/metrics）：%s").c_str(),
                                 static_cast<unsigned>(port), e.Message().c_str());
    return false;
  }
  m_metrics = std::move(server);
  return true;
}

void CHealthServices::Start(StatusFiller filler, const ProtectionSettings& protection,
                            const std::string& statusText) {
  const std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  if (m_metrics) {
    m_snapshots = std::make_unique<CStatusSnapshots>(ui, [filler](GatewayStatus& status) {
      if (filler) filler(status);
    });
    CStatusSnapshots* snapshots = m_snapshots.get();
    m_metrics->Start([snapshots](auto deadline) { return snapshots->Take(deadline); }, protection);
  }
  m_started = true;
  ServiceNotify("READY=1\nSTATUS=" + statusText);
  m_keepAliveEvery = ServiceWatchdogInterval();
  if (m_keepAliveEvery.count() > 0) {
    m_watchdog = std::make_unique<CApartmentTimer>(ui);
    KeepAlive();
  }
}

void CHealthServices::KeepAlive() {
  // Runs on the UI thread: when that thread hangs, the keep-alive stops.
  ServiceNotify("WATCHDOG=1");
  m_watchdog->Start(m_keepAliveEvery, [this] { KeepAlive(); });
}

void CHealthServices::Stop() {
  if (m_started) ServiceNotify("STOPPING=1");
  m_started = false;
  if (m_watchdog) m_watchdog->Stop();
  m_watchdog.reset();
  // What the fill reads (the dispatcher) goes away after Stop: a fill still queued does nothing.
  if (m_snapshots) m_snapshots->Detach();
  if (m_metrics) m_metrics->Stop();
  m_metrics.reset();
  m_snapshots.reset();
}
