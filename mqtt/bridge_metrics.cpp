#include "mqtt/bridge_metrics.h"

#include <arpa/inet.h>

#include "health/metrics_server.h"
#include "health/prometheus_text.h"
#include "platform/socket_api.h"

std::string BridgePrometheusText(const BridgeFigures& f, const ProcessFigures& process) {
  CPrometheusText out;
  out.Gauge("quarnix_mqtt_uptime_seconds", "Seconds since the bridge started.",
            PrometheusNumber(f.uptimeSeconds));
  out.Counter("quarnix_mqtt_published_total", "Live value messages handed to the broker.",
              f.published);
  out.Counter("quarnix_mqtt_replayed_total",
              "Queued messages sent to the broker after an outage, repeats included.", f.replayed);
  out.Counter("quarnix_mqtt_refused_total",
              "Messages the broker would not take (too large, not authorised), left out.",
              f.refused);
  out.Counter("quarnix_mqtt_dropped_total",
              "Queued changes dropped: the queue was full or the disk, or they were too old.",
              f.dropped);
  out.Gauge("quarnix_mqtt_queued_messages", "Changes waiting in the queue for the broker.",
            std::to_string(f.queued));
  out.Gauge("quarnix_mqtt_queue_bytes", "The queue's size on disk.", std::to_string(f.queueBytes));
  out.Gauge("quarnix_mqtt_queue_oldest_age_seconds",
            "Age of the oldest change waiting in the queue; 0 when none waits.",
            PrometheusNumber(f.oldestAgeSeconds));
  out.Family("quarnix_mqtt_broker_connected", "gauge",
             "1 while the bridge is connected to the broker of the label, else 0.");
  out.Sample("quarnix_mqtt_broker_connected", "broker=\"" + PrometheusLabelValue(f.broker) + "\"",
             f.brokerConnected ? "1" : "0");
  out.Gauge("quarnix_mqtt_gateway_connected",
            "1 while the bridge's groups are defined and active on the gateway, else 0.",
            f.gatewayConnected ? "1" : "0");
  if (process.residentBytes >= 0) {
    out.Gauge("quarnix_mqtt_process_resident_memory_bytes",
              "Resident memory of the bridge process.", std::to_string(process.residentBytes));
  }
  return std::move(out.Text());
}

CBridgeMetrics::CBridgeMetrics() = default;

CBridgeMetrics::~CBridgeMetrics() {
  if (m_server) m_server->Stop();
}

bool CBridgeMetrics::Open(const std::string& address, std::uint16_t port, std::string* error) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    *error = "metrics_bind " + address + " is not an IPv4 address";
    return false;
  }
  auto server = std::make_unique<CMetricsServer>();
  try {
    server->Open(ntohl(parsed.s_addr), port);
  } catch (const CBlockingSocketException& failure) {
    *error = "cannot serve the metrics on " + address + ":" + std::to_string(port) + ": " +
             (failure.m_nErrorCode == kErrorAddressInUse
                  ? "another program (or a second bridge) uses that port"
                  : failure.Message());
    return false;
  }
  server->Start(
      [this](const std::optional<HttpRequestLine>& request, std::chrono::steady_clock::time_point) {
        BridgeFigures figures;
        {
          std::lock_guard lock(m_mutex);
          figures = m_figures;
        }
        return PathsReply(
            request,
            [&] { return PrometheusReply(BridgePrometheusText(figures, ReadProcessFigures())); },
            [&] {
              if (!figures.brokerConnected) {
                return PlainReply(503, "the broker is not connected (" + figures.broker + ")\n");
              }
              if (!figures.gatewayConnected) {
                return PlainReply(503, "the gateway is " + figures.gatewayState + "\n");
              }
              return PlainReply(200, "ok: broker and gateway connected\n");
            });
      },
      ProtectionSettings{});
  m_server = std::move(server);
  return true;
}

void CBridgeMetrics::Update(const BridgeFigures& figures) {
  std::lock_guard lock(m_mutex);
  m_figures = figures;
}
