// The bridge's connection to the MQTT broker, on libmosquitto, driven from the caller's own
// loop: the caller polls Socket() (for writing too when WantWrite()), calls Service() with what
// poll saw and Tick() at least once a second. Callbacks run inside those calls, on that thread.
//
// The link speaks MQTT 5 (falling back to 3.1.1 for a broker that does not know it), so that a
// message the broker refuses (too large, not authorised) is reported as refused rather than
// sent again and again. The broker's last will is PREFIX/$status "offline" (retained). The brokers
// of the list are tried in turn: after any failure (refused, unreachable, lost) the next one is
// tried at once, and after a whole round failed the first again after 1, 2, 4, 8, 16 and then every
// 30 seconds. The link stays with the broker that works. A reason is logged once per broker until
// it changes (refused credentials say so). With tls the broker's certificate is verified against
// ca_file and, unless tls_insecure, its host name; cert_file and key_file answer a broker that
// asks for a client certificate. Publish refuses while disconnected and while
// a window of messages is still on its way (sent but not yet handed to the socket, or not yet
// acknowledged for QoS 1 and 2): the caller keeps its latest values meanwhile, so nothing queues
// up without bound.
//
// A connection attempt that gets no answer within 10 s counts as a failure. A failure's log line
// carries the library's own error text (a TLS handshake's reason, such as a certificate the
// broker refused or could not verify).
//
// Error rule: nothing throws; Setup returns false with a message naming the key and file for a
// TLS file that cannot be used (unreadable, not PEM, a key protected by a password).
// Thread rule: one thread.
// Ownership: owns the libmosquitto client; mosquitto_lib_init is the caller's.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mqtt/bridge_config.h"
#include "mqtt/gateway_session.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

class CMqttLink {
public:
  using Clock = std::chrono::steady_clock;
  struct Published {
    int mid = 0;
    std::string refused;  // empty, or why the broker said it will not pass the message on
    std::string topic;    // for QoS 1 and 2 (empty for a message sent before a reconnect)
    std::size_t bytes = 0;
  };
  struct Handlers {
    std::function<void()> connected;  // after the broker accepted the connection
    std::function<void(const std::string& topic, const std::string& payload)> message;
    // A message is done (acknowledged for QoS 1, 2).
    std::function<void(const Published& done)> published;
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
  // "host:port" of the broker connected, or tried last.
  std::string BrokerName() const;
  // Room for another message now.
  bool CanPublish() const;
  // False when not sent: not connected (or the connection broke now), or, with a reason in
  // *refused and the connection still up, a message that cannot go (larger than the broker
  // takes): sending it again would not help.
  bool Publish(const std::string& topic, const std::string& payload, bool retain,
               std::string* refused = nullptr);
  // A message from the queue: QoS 1 (2 when configured), never retained; its message id in *mid.
  bool PublishQueued(const std::string& topic, const std::string& payload, int* mid,
                     std::string* refused = nullptr);
  bool Subscribe(const std::string& pattern);
  // Publishes the offline status (the will is only for a connection that breaks) and
  // disconnects, waiting at most the timeout for the broker to take it.
  void Close(const std::string& offlinePayload, std::chrono::milliseconds timeout);

private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid, int reasonCode,
                        const mosquitto_property* properties);
  static void OnLibraryLog(mosquitto*, void* self, int level, const char* text);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  void ConnectionLost(const std::string& reason);
  bool Sent(int rc, std::string* refused);

  const BridgeConfig& m_config;
  LogFunction m_log;
  Handlers m_handlers;
  mosquitto* m_client = nullptr;
  enum class State { kIdle, kConnecting, kConnected };
  State m_state = State::kIdle;   // kIdle: no socket to serve, waiting for the next attempt
  std::size_t m_brokerIndex = 0;  // of the broker tried now or connected
  int m_outstanding = 0;
  std::chrono::seconds m_backoff{1};
  Clock::time_point m_nextAttempt{};
  Clock::time_point m_attemptStarted{};
  std::string m_libraryError;  // the library's error lines since the attempt began
  // QoS 1 and 2 messages on their way since the connection was made: topic and size.
  std::unordered_map<int, std::pair<std::string, std::size_t>> m_acknowledging;
  std::vector<bool> m_olderProtocol;       // per broker: it does not know MQTT 5
  std::vector<std::string> m_lastReasons;  // per broker, so that each reason is logged once
};
