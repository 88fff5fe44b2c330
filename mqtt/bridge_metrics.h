// The bridge's own Prometheus metrics, served on [bridge] metrics_port by the gateway's metrics
// server (GET /metrics, GET /health; the same HTTP rules and exposition style, every name
// beginning with quarnix_mqtt_):
//
//   quarnix_mqtt_published_total           live value messages handed to the broker
//   quarnix_mqtt_replayed_total            queued messages sent to the broker (repeats included)
//   quarnix_mqtt_refused_total             messages the broker would not take (too large, ...)
//   quarnix_mqtt_dropped_total             queued changes dropped (queue full, too old, disk)
//   quarnix_mqtt_queued_messages           changes waiting in the queue
//   quarnix_mqtt_queue_bytes               the queue's size on disk
//   quarnix_mqtt_queue_oldest_age_seconds  age of the oldest waiting change; 0 when none waits
//   quarnix_mqtt_broker_connected{broker}  1 while connected to that broker
//   quarnix_mqtt_gateway_connected         1 while the groups are defined and active
// /health is 200 while both connections stand, else 503 with a line saying which is down.
//
// Error rule: nothing throws; Open returns false with a message for a port it cannot listen on.
// Thread rule: Update on the bridge's thread; the server's threads read a copy under a lock.
// Ownership: owns the server and the copy of the figures.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/process_figures.h"

class CMetricsServer;

struct BridgeFigures {
  std::uint64_t published = 0;
  std::uint64_t replayed = 0;
  std::uint64_t refused = 0;
  std::uint64_t dropped = 0;
  std::uint64_t queued = 0;
  std::uint64_t queueBytes = 0;
  double oldestAgeSeconds = 0;
  bool brokerConnected = false;
  std::string broker;  // host:port of the broker connected or tried last
  bool gatewayConnected = false;
  std::string gatewayState;  // as in $status
  double uptimeSeconds = 0;
};

std::string BridgePrometheusText(const BridgeFigures& figures, const ProcessFigures& process);

class CBridgeMetrics {
public:
  CBridgeMetrics();
  ~CBridgeMetrics();
  CBridgeMetrics(const CBridgeMetrics&) = delete;
  CBridgeMetrics& operator=(const CBridgeMetrics&) = delete;

  // Listens on address:port (dotted IPv4) and starts serving.
  bool Open(const std::string& address, std::uint16_t port, std::string* error);
  void Update(const BridgeFigures& figures);

private:
  std::unique_ptr<CMetricsServer> m_server;
  std::mutex m_mutex;
  BridgeFigures m_figures;
};
