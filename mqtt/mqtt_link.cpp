#include "mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mqtt/topic_payload.h"

namespace {

constexpr int kWindow = 2000;  // messages on their way at most
constexpr std::chrono::seconds kLongestBackoff{30};

}  // namespace

CMqttLink::CMqttLink(const BridgeConfig& config, LogFunction log, Handlers handlers)
    : m_config(config), m_log(std::move(log)), m_handlers(std::move(handlers)) {}

CMqttLink::~CMqttLink() {
  if (m_client != nullptr) mosquitto_destroy(m_client);
}

bool CMqttLink::Setup(std::string* error) {
  m_client = mosquitto_new(m_config.clientId.c_str(), true, this);
  if (m_client == nullptr) {
    *error = "cannot create the MQTT client";
    return false;
  }
  mosquitto_connect_callback_set(m_client, &CMqttLink::OnConnect);
  mosquitto_disconnect_callback_set(m_client, &CMqttLink::OnDisconnect);
  mosquitto_publish_callback_set(m_client, &CMqttLink::OnPublish);
  mosquitto_message_callback_set(m_client, &CMqttLink::OnMessage);
  const std::string will = StatusPayload(false, "unknown");
  const std::string statusTopic = m_config.prefix + "/$status";
  int rc = mosquitto_will_set(m_client, statusTopic.c_str(), static_cast<int>(will.size()),
                              will.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !m_config.username.empty()) {
    rc = mosquitto_username_pw_set(m_client, m_config.username.c_str(),
                                   m_config.password.empty() ? nullptr : m_config.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && m_config.tls) {
    rc = mosquitto_tls_set(m_client, m_config.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "broker: cannot use the CA file " + m_config.caFile + ": " + mosquitto_strerror(rc);
      return false;
    }
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("broker: ") + mosquitto_strerror(rc);
    return false;
  }
  mosquitto_max_inflight_messages_set(m_client, 0);  // our own window bounds what is on its way
  return true;
}

int CMqttLink::Socket() const {
  return m_state != State::kIdle ? mosquitto_socket(m_client) : -1;
}

bool CMqttLink::WantWrite() const {
  return m_state != State::kIdle && mosquitto_want_write(m_client);
}

bool CMqttLink::CanPublish() const {
  return m_state == State::kConnected && m_outstanding < kWindow;
}

void CMqttLink::Service(bool readable, bool writable) {
  if (Socket() < 0) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (readable) rc = mosquitto_loop_read(m_client, 64);
  if (rc == MOSQ_ERR_SUCCESS && writable && Socket() >= 0) rc = mosquitto_loop_write(m_client, 64);
  if (rc != MOSQ_ERR_SUCCESS) ConnectionLost(mosquitto_strerror(rc));
}

void CMqttLink::Tick(Clock::time_point now) {
  if (m_state != State::kIdle) {
    const int rc = mosquitto_loop_misc(m_client);
    // A socket the library closed itself: no answer to a keep-alive ping.
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_client) < 0) {
      ConnectionLost(rc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(rc) : "no answer from the broker");
    }
    return;
  }
  if (now < m_nextAttempt) return;
  m_nextAttempt = now + m_backoff;
  m_backoff = std::min(m_backoff * 2, kLongestBackoff);
  errno = 0;
  const int rc = m_triedBefore ? mosquitto_reconnect_async(m_client)
                               : mosquitto_connect_async(m_client, m_config.brokerHost.c_str(),
                                                         m_config.brokerPort, m_config.keepAliveS);
  if (rc != MOSQ_ERR_SUCCESS) {
    ConnectionLost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    return;
  }
  m_triedBefore = true;
  m_state = State::kConnecting;
}

void CMqttLink::ConnectionLost(const std::string& why) {
  // The socket stays with the library until the next attempt closes it; it is not served
  // meanwhile.
  if (m_state == State::kConnected) {
    m_log("broker connection lost (" + why + "); values are kept and published when it is back");
  } else if (why != m_lastReason) {
    m_log("broker " + m_config.brokerHost + ":" + std::to_string(m_config.brokerPort) +
          " cannot be reached (" + why + "); trying again after 1, 2, 4 ... 30 s");
  }
  m_lastReason = why;
  m_state = State::kIdle;
  m_outstanding = 0;
}

void CMqttLink::OnConnect(mosquitto*, void* self, int rc) {
  auto& link = *static_cast<CMqttLink*>(self);
  if (rc != 0) {
    // The library then ends the connection; the next attempt follows the back-off.
    const std::string why =
        std::string("the broker refused the connection: ") + mosquitto_connack_string(rc) +
        (rc == 4 || rc == 5 ? " (check username and password in [broker])" : "");
    link.ConnectionLost(why);
    return;
  }
  link.m_state = State::kConnected;
  link.m_outstanding = 0;
  link.m_backoff = std::chrono::seconds(1);
  link.m_lastReason.clear();
  link.m_log("broker " + link.m_config.brokerHost + ":" + std::to_string(link.m_config.brokerPort) +
             " connected");
  if (link.m_handlers.connected) link.m_handlers.connected();
}

void CMqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
  auto& link = *static_cast<CMqttLink*>(self);
  if (link.m_state != State::kIdle && rc != 0) link.ConnectionLost(mosquitto_strerror(rc));
  link.m_state = State::kIdle;
}

void CMqttLink::OnPublish(mosquitto*, void* self, int mid) {
  auto& link = *static_cast<CMqttLink*>(self);
  if (link.m_outstanding > 0) --link.m_outstanding;
  if (link.m_handlers.published) link.m_handlers.published(mid);
}

void CMqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& link = *static_cast<CMqttLink*>(self);
  if (!link.m_handlers.message || message->topic == nullptr) return;
  const std::string payload(static_cast<const char*>(message->payload),
                            static_cast<std::size_t>(std::max(message->payloadlen, 0)));
  link.m_handlers.message(message->topic, payload);
}

bool CMqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (m_state != State::kConnected) return false;
  // Counted first: a QoS 0 message written at once is reported done inside the call.
  ++m_outstanding;
  const int rc =
      mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), m_config.qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    ConnectionLost(mosquitto_strerror(rc));
    return false;
  }
  return true;
}

bool CMqttLink::PublishQueued(const std::string& topic, const std::string& payload, int* mid) {
  if (m_state != State::kConnected) return false;
  ++m_outstanding;
  const int rc = mosquitto_publish(m_client, mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), std::max(m_config.qos, 1), false);
  if (rc != MOSQ_ERR_SUCCESS) {
    ConnectionLost(mosquitto_strerror(rc));
    return false;
  }
  return true;
}

bool CMqttLink::Subscribe(const std::string& pattern) {
  return m_state == State::kConnected &&
         mosquitto_subscribe(m_client, nullptr, pattern.c_str(), m_config.qos) == MOSQ_ERR_SUCCESS;
}

void CMqttLink::Close(const std::string& offlinePayload, std::chrono::milliseconds timeout) {
  if (m_state != State::kConnected) return;
  const std::string topic = m_config.prefix + "/$status";
  ++m_outstanding;
  mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(offlinePayload.size()),
                    offlinePayload.data(), 1, true);
  const auto deadline = Clock::now() + timeout;
  // Wait until the broker has everything (QoS 1 acknowledged), then leave cleanly.
  while (m_state == State::kConnected && m_outstanding > 0 && Clock::now() < deadline) {
    pollfd entry{Socket(), static_cast<short>(POLLIN | (WantWrite() ? POLLOUT : 0)), 0};
    if (::poll(&entry, 1, 50) > 0) Service(entry.revents & POLLIN, entry.revents & POLLOUT);
  }
  m_state = State::kIdle;
  mosquitto_disconnect(m_client);  // written at once: this thread is not inside a callback
}
