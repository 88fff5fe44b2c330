// The gateway's health outlets besides the status request: the metrics port (/metrics PORT, off
// by default) and the service manager's readiness and watchdog (systemd's NOTIFY_SOCKET; nothing
// when the gateway was not started by such a unit, nor on Windows).
//
// OpenMetrics binds the metrics port at start-up, next to the request port; Start begins serving
// it and tells the service manager READY once the request port listens; the watchdog keep-alive
// is sent from the UI thread by an apartment timer, so a hung UI thread stops it and the service
// manager restarts the gateway. Start also publishes the figures every
// CStatusSnapshots::kPublishEvery for readers that must not wait for the UI thread (the status
// request, the metrics port). Stop tells STOPPING and ends them all.
//
// Error rule: OpenMetrics returns false with an operator's message (naming the port) when the
// port cannot be opened; nothing throws. Thread rule: UI thread (the metrics server's own
// threads never touch the UI thread's data: figures come through a CStatusSnapshots).
// Ownership: owns the metrics server, the snapshot source and the watchdog timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "health/gateway_status.h"
#include "health/metrics_server.h"
#include "health/status_snapshots.h"
#include "net/protection_settings.h"
#include "platform/apartment_timer.h"

class CHealthServices {
public:
  using StatusFiller = std::function<void(GatewayStatus&)>;

  ~CHealthServices();  // Stop()

  // Opens the metrics port on the /bind address (port 0: nothing to open). False with message
  // set when the port cannot be opened.
  bool OpenMetrics(std::uint16_t port, std::uint32_t bindAddress, std::string& message);
  // Serves the metrics port (when open) with figures from filler on the UI thread's apartment,
  // tells READY with statusText, and starts the watchdog keep-alive when one is asked for.
  void Start(StatusFiller filler, const ProtectionSettings& protection,
             const std::string& statusText);
  // Tells STOPPING (once, when Start ran), stops the keep-alive and the metrics server.
  void Stop();

private:
  void KeepAlive();
  // Publishes the figures (health/status_snapshots.h) and arms the next publication.
  void Publish();

  std::unique_ptr<CMetricsServer> m_metrics;
  std::unique_ptr<CStatusSnapshots> m_snapshots;
  std::unique_ptr<CApartmentTimer> m_watchdog;
  std::unique_ptr<CApartmentTimer> m_publisher;
  StatusFiller m_filler;
  std::chrono::milliseconds m_keepAliveEvery{0};
  bool m_started = false;
};
