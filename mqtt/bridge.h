// The bridge: the gateway's value changes of the configured groups, published to the broker.
//
// One thread runs everything in a loop: it polls the UDP socket that receives the gateway's
// datagrams and the broker connection, keeps the latest value of each item, publishes what
// changed (retained, on PREFIX/<item>) while the broker takes it, defines the groups again when
// the gateway lost them, and carries writes from PREFIX/<item>/set to "SW" requests when the
// configuration allows them. A write value must fit the item's type: the configured one, else
// the server's (from the typed datagrams, or asked with "TR"). Every /set message gets one log
// line: topic, item, value and outcome. Its state is on PREFIX/$status (retained; "offline" is
// also the broker's last will). A message the broker refuses (too large, not authorised) is
// counted, logged (once a minute at most) and left out, never sent again; a queued one leaves
// the queue. With [bridge] metrics_port its figures are served for Prometheus
// (bridge_metrics.h), updated every turn of the loop.
//
// Error rule: nothing throws past Run; Run returns the exit status: 0 after a stop request, 1
// when the UDP port cannot be bound, the broker settings are refused, the state directory
// cannot be used or the metrics port cannot be opened. Everything else (a
// gateway or broker that goes away, refused items, bad write messages) is logged and worked
// around. Thread rule: Run on one thread; the stop flag may be set by a signal handler.
// Ownership: the bridge owns its sockets, its broker client and its latest values.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "client/datagram_decoder.h"
#include "client/udp_receiver.h"
#include "mqtt/bridge_config.h"
#include "mqtt/bridge_metrics.h"
#include "mqtt/disk_queue.h"
#include "mqtt/gateway_session.h"
#include "mqtt/latest_values.h"
#include "mqtt/mqtt_link.h"

class CBridge {
public:
  CBridge(BridgeConfig config, LogFunction log);

  int Run(const volatile std::sig_atomic_t& stop);

private:
  using Clock = std::chrono::steady_clock;
  struct WriteMessage {
    std::string topic;  // PREFIX/<item>/set
    std::string payload;
  };

  void GatewayTasks(Clock::time_point now);
  void PublishStatus(bool force);
  void Flush();
  void WaitAndServe();
  void DrainDatagrams();
  void TakeDatagram(const ReceivedDatagram& received);
  void TakeValues(const Datagram& datagram);
  void TakeTypedValues(const Datagram& datagram);
  std::uint16_t WriteType(std::size_t slotIndex);
  void LogWrite(const WriteMessage& write, const std::string& itemId, const std::string& outcome);
  void Queue(const ItemSlot& slot);
  void Keep(std::size_t group, std::uint16_t item, const ItemValue& value,
            std::chrono::system_clock::time_point at);
  void Replay(Clock::time_point now);
  void ReplayRestart();
  void Acknowledged(int mid);
  void Refused(const std::string& topic, std::size_t bytes, const std::string& why);
  void QueueTasks(Clock::time_point now);
  std::optional<QueueFigures> Figures() const;
  void BrokerConnected();
  void BrokerMessage(const std::string& topic, const std::string& payload);
  void CarryOutWrite(const WriteMessage& write);
  void Stop();
  void UpdateMetrics();

  BridgeConfig m_config;
  LogFunction m_log;
  CUdpReceiver m_receiver;
  CGatewaySession m_session;
  CLatestValues m_values;
  CMqttLink m_link;
  std::string m_gatewayAddress;  // dotted; datagrams from elsewhere are ignored
  std::deque<WriteMessage> m_writes;
  std::unique_ptr<CDiskQueue> m_queue;
  struct InFlight {
    std::uint64_t sequence;
    std::int64_t receivedMs;
    int mid;
    bool acknowledged;
  };
  std::deque<InFlight> m_inFlight;  // replayed, not yet acknowledged, in queue order
  double m_replayCredit = 0;
  Clock::time_point m_lastReplay{};
  Clock::time_point m_nextSync{};
  Clock::time_point m_nextDropNote{};
  Clock::time_point m_nextStatus{};
  std::unique_ptr<CBridgeMetrics> m_metrics;
  Clock::time_point m_started = Clock::now();
  std::uint64_t m_published = 0;      // live value messages handed to the broker
  std::uint64_t m_replayedTotal = 0;  // queued messages sent, since the start
  std::uint64_t m_refused = 0;        // messages the broker would not take
  std::map<std::string, Clock::time_point> m_nextRefusedNote;  // by reason
  std::uint64_t m_droppedNoted = 0;
  std::uint64_t m_replayed = 0;   // sent from the queue since it was last empty
  std::uint64_t m_delivered = 0;  // of those, acknowledged
  std::string m_statusSent;
  bool m_startupSeen = false;
  std::uint32_t m_transaction = 0;
  std::chrono::seconds m_backoff{1};
  Clock::time_point m_nextEstablish{};
  Clock::time_point m_nextCheck{};
  Clock::time_point m_nextRefresh{};
  Clock::time_point m_nextForeignNote{};
};
