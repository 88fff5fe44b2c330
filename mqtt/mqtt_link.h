// The bridge's connection to the MQTT broker, on libmosquitto, driven from the caller's own
// loop: the caller polls Socket() (for writing too when WantWrite()), calls Service() with what
// poll saw and Tick() at least once a second. Callbacks run inside those calls, on that thread.
//
// The broker's last will is PREFIX/$status "offline" (retained). A lost or refused connection
// is tried again after 1, 2, 4, 8, 16 and then every 30 seconds; each try is logged once with
// the broker's reason (refused credentials say so). Publish refuses while disconnected and while
// a window of messages is still on its way (sent but not yet handed to the socket, or not yet
// acknowledged for QoS 1 and 2): the caller keeps its latest values meanwhile, so nothing queues
// up without bound.
//
// Error rule: nothing throws; Setup returns false with a message for a configuration the library
// refuses (a CA file it cannot read). Thread rule: one thread.
// Ownership: owns the libmosquitto client; mosquitto_lib_init is the caller's.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "mqtt/bridge_config.h"
#include "mqtt/gateway_session.h"

struct mosquitto;
struct mosquitto_message;

class CMqttLink {
public:
  using Clock = std::chrono::steady_clock;
  struct Handlers {
    std::function<void()> connected;  // after the broker accepted the connection
    std::function<void(const std::string& topic, const std::string& payload)> message;
    std::function<void(int mid)> published;  // a message is done (acknowledged for QoS 1, 2)
  };

  CMqttLink(const BridgeConfig& config, LogFunction log, Handlers handlers);
  ~CMqttLink();
  CMqttLink(const CMqttLink&) = delete;
  CMqttLink& operator=(const CMqttLink&) = delete;

  bool Setup(std::string* error);
  // The socket to poll, or -1 while there is none.
  int Socket() const;
  bool WantWrite() const;
  // Reads and writes what poll reported; notices a lost connection.
  void Service(bool readable, bool writable);
  // Keep-alive, and a new connection attempt when one is due.
  void Tick(Clock::time_point now);
  bool Connected() const { return m_state == State::kConnected; }
  // Room for another message now.
  bool CanPublish() const;
  bool Publish(const std::string& topic, const std::string& payload, bool retain);
  // A message from the queue: QoS 1 (2 when configured), never retained; its message id in *mid.
  bool PublishQueued(const std::string& topic, const std::string& payload, int* mid);
  bool Subscribe(const std::string& pattern);
  // Publishes the offline status (the will is only for a connection that breaks) and
  // disconnects, waiting at most the timeout for the broker to take it.
  void Close(const std::string& offlinePayload, std::chrono::milliseconds timeout);

private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  void ConnectionLost(const std::string& why);

  const BridgeConfig& m_config;
  LogFunction m_log;
  Handlers m_handlers;
  mosquitto* m_client = nullptr;
  enum class State { kIdle, kConnecting, kConnected };
  State m_state = State::kIdle;  // kIdle: no socket to serve, waiting for the next attempt
  bool m_triedBefore = false;    // later attempts reconnect with what the first one stored
  int m_outstanding = 0;
  std::chrono::seconds m_backoff{1};
  Clock::time_point m_nextAttempt{};
  std::string m_lastReason;
};
