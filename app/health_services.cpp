#include "app/health_services.h"

#include <algorithm>

#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/service_notify.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

namespace {

// How long a scrape waits for the UI thread's fresh figures before it takes the published ones.
constexpr std::chrono::milliseconds kFreshWait{25};

}  // namespace

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
  m_filler = filler;
  if (m_filler) {
    m_publisher = std::make_unique<CApartmentTimer>(ui);
    Publish();
  }
  if (m_metrics) {
    m_snapshots = std::make_unique<CStatusSnapshots>(ui, [filler](GatewayStatus& status) {
      if (filler) filler(status);
    });
    CStatusSnapshots* snapshots = m_snapshots.get();
    // Fresh figures from the UI thread when it answers at once; when it is held (a server call),
    // the published ones, so that a scrape does not wait for the server.
    m_metrics->Start(
        [snapshots](CStatusSnapshots::Clock::time_point deadline) {
          const auto fresh = std::min(deadline, CStatusSnapshots::Clock::now() + kFreshWait);
          if (std::optional<GatewayStatus> taken = snapshots->Take(fresh)) return taken;
          if (std::optional<GatewayStatus> latest = LatestGatewayStatus()) return latest;
          return snapshots->Take(deadline);
        },
        protection);
  }
  m_started = true;
  ServiceNotify("READY=1\nSTATUS=" + statusText);
  m_keepAliveEvery = ServiceWatchdogInterval();
  if (m_keepAliveEvery.count() > 0) {
    m_watchdog = std::make_unique<CApartmentTimer>(ui);
    KeepAlive();
  }
}

void CHealthServices::Publish() {
  GatewayStatus status;
  m_filler(status);
  PublishGatewayStatus(std::move(status));
  m_publisher->Start(CStatusSnapshots::kPublishEvery, [this] { Publish(); });
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
  if (m_publisher) m_publisher->Stop();
  m_publisher.reset();
  m_filler = nullptr;
  ClearPublishedStatus();
  // What the fill reads (the dispatcher) goes away after Stop: a fill still queued does nothing.
  if (m_snapshots) m_snapshots->Detach();
  if (m_metrics) m_metrics->Stop();
  m_metrics.reset();
  m_snapshots.reset();
}
