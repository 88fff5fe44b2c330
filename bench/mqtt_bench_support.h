// Pieces of the MQTT bridge benchmarks: a subscriber on the broker that counts the bridge's
// messages (and the broker's own counts) and notes when the memory item shows a value awaited,
// and the write-to-message latency through the gateway and the bridge.
//
// Error rule: nothing throws; a sample that does not arrive within 5 s is left out (the count
// says so). Thread rule: the subscriber's callbacks run on libmosquitto's thread and hand over
// through atomics. Ownership: the subscriber owns its client.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "tests/e2e/running_gateway.h"
#include "tests/mqtt/mqtt_fixtures.h"

inline constexpr int kLatencySamples = 200;
// Written by the latency measurement; every bridge of the benchmarks publishes it under bench/.
inline const std::string kMemoryItem = "Memory.Int4.bench";

// The broker's counts, every second: all packets received (PUBLISH almost only) and PUBLISH
// messages it dropped (publish/messages/received stays 0 in the Debian 12 broker).
inline constexpr const char* kBrokerReceived = "$SYS/broker/messages/received";
inline constexpr const char* kBrokerDropped = "$SYS/broker/publish/messages/dropped";

// Counts every message; notes when the memory item's topic shows the value awaited.
class CCountingSubscriber {
public:
  explicit CCountingSubscriber(std::uint16_t port) {
    m_client = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(m_client, [](mosquitto* client, void*, int) {
      mosquitto_subscribe(client, nullptr, "bench/#", 0);
      mosquitto_subscribe(client, nullptr, kBrokerReceived, 0);
      mosquitto_subscribe(client, nullptr, kBrokerDropped, 0);
    });
    mosquitto_message_callback_set(m_client, &CCountingSubscriber::OnMessage);
    mosquitto_connect(m_client, "127.0.0.1", port, 30);
    mosquitto_loop_start(m_client);
  }
  ~CCountingSubscriber() {
    mosquitto_disconnect(m_client);
    mosquitto_loop_stop(m_client, true);
    mosquitto_destroy(m_client);
  }
  std::uint64_t Count() const { return m_count.load(); }
  std::uint64_t BrokerReceived() const { return m_brokerReceived.load(); }
  std::uint64_t BrokerDropped() const { return m_brokerDropped.load(); }
  void Await(int value) {
    m_seen.store(false);
    m_awaited.store(value);
  }
  bool Seen() const { return m_seen.load(); }
  BenchClock::time_point SeenAt() const { return m_seenAt; }

private:
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& subscriber = *static_cast<CCountingSubscriber*>(self);
    const std::string payload(static_cast<const char*>(message->payload), message->payloadlen);
    if (std::string(message->topic) == kBrokerReceived) {
      subscriber.m_brokerReceived.store(std::strtoull(payload.c_str(), nullptr, 10));
      return;
    }
    if (std::string(message->topic) == kBrokerDropped) {
      subscriber.m_brokerDropped.store(std::strtoull(payload.c_str(), nullptr, 10));
      return;
    }
    subscriber.m_count.fetch_add(1);
    if (std::string(message->topic) != "bench/" + kMemoryItem) return;
    if (!JsonField(payload, "replayed").empty()) return;  // only a live value is timed
    if (JsonField(payload, "value") == std::to_string(subscriber.m_awaited.load())) {
      subscriber.m_seenAt = BenchClock::now();
      subscriber.m_seen.store(true);
    }
  }
  mosquitto* m_client = nullptr;
  std::atomic<std::uint64_t> m_count{0};
  std::atomic<std::uint64_t> m_brokerReceived{0};
  std::atomic<std::uint64_t> m_brokerDropped{0};
  std::atomic<int> m_awaited{-1};
  std::atomic<bool> m_seen{false};
  BenchClock::time_point m_seenAt;
};

// Writes firstValue, firstValue + 1, ... (kLatencySamples of them) to the memory item through a
// group of the benchmark's own and times each value's arrival at the subscriber, live.
LatencyFigures WriteLatency(const CRunningGateway& gateway, CCountingSubscriber& subscriber,
                            int firstValue);
void PrintLatency(const char* when, const LatencyFigures& figures);
