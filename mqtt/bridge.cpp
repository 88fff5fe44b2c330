#include "mqtt/bridge.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "client/socket_support.h"

namespace {

constexpr std::size_t kMostDatagramsPerTurn = 2048;
constexpr std::size_t kMessagesBetweenReceives = 256;
constexpr std::size_t kMostMessagesPerTurn = 4096;
constexpr std::size_t kMostWaitingWrites = 256;
constexpr std::chrono::seconds kLongestBackoff{30};
constexpr std::size_t kMostReplayInFlight = 1000;
const std::string kSetSuffix = "/set";

}  // namespace

CBridge::CBridge(BridgeConfig config, LogFunction log)
    : m_config(std::move(config)),
      m_log(std::move(log)),
      m_session(m_config, m_log),
      m_values(m_config),
      m_link(m_config, m_log,
             CMqttLink::Handlers{[this] { BrokerConnected(); },
                                 [this](const std::string& topic, const std::string& payload) {
                                   BrokerMessage(topic, payload);
                                 },
                                 [this](const CMqttLink::Published& done) {
                                   if (!done.refused.empty())
                                     Refused(done.topic, done.bytes, done.refused);
                                   Acknowledged(done.mid);
                                 }}) {}

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Megabytes(double megabytes) {
  std::ostringstream text;
  text << megabytes;
  return text.str();
}

}  // namespace

int CBridge::Run(const volatile std::sig_atomic_t& stop) {
  std::string error;
  if (!m_receiver.Open(m_config.udpBind, m_config.udpPort, &error)) {
    m_log("cannot receive the gateway's datagrams: " + error +
          " (another program, or a second bridge, uses udp_port " +
          std::to_string(m_config.udpPort) + "?)");
    return 1;
  }
  if (!m_link.Setup(&error)) {
    m_log(error);
    return 1;
  }
  if (!m_config.stateDir.empty()) {
    CDiskQueue::Limits limits;
    limits.maxBytes = static_cast<std::uint64_t>(m_config.maxQueueMb * 1024 * 1024);
    limits.maxAgeS = m_config.maxQueueAgeS;
    limits.dropNew = m_config.queueDropNew;
    m_queue = std::make_unique<CDiskQueue>(m_config.stateDir, limits, m_log);
    if (!m_queue->Open(&error)) {
      m_log("cannot keep the queue: " + error);
      return 1;
    }
    m_queue->Expire(NowMs());
    const auto oldest = m_queue->OldestMs();
    m_log("queue in " + m_config.stateDir + " (at most " + Megabytes(m_config.maxQueueMb) +
          " MB, " + std::to_string(m_config.maxQueueAgeS) +
          " s): " + std::to_string(m_queue->Count()) + " messages waiting" +
          (oldest ? ", the oldest from " + UtcTimestamp(std::chrono::system_clock::time_point(
                                               std::chrono::milliseconds(*oldest)))
                  : std::string()));
  }
  if (m_config.metricsPort != 0) {
    m_metrics = std::make_unique<CBridgeMetrics>();
    if (!m_metrics->Open(m_config.metricsBind, m_config.metricsPort, &error)) {
      m_log(error + " (metrics_port in [bridge])");
      return 1;
    }
    m_log("metrics on http://" + m_config.metricsBind + ":" + std::to_string(m_config.metricsPort) +
          "/metrics");
  }
  if (const auto endpoint = ResolveIpv4(m_config.gatewayHost, 0, &error)) {
    m_gatewayAddress = EndpointText(*endpoint);
    m_gatewayAddress.erase(m_gatewayAddress.rfind(':'));
  }
  m_log("started: gateway " + m_config.gatewayHost + ":" + std::to_string(m_config.gatewayPort) +
        ", datagrams on UDP " + std::to_string(m_receiver.Port()) + ", broker " +
        BrokerListText(m_config) + ", " + std::to_string(m_values.Size()) + " items in " +
        std::to_string(m_config.groups.size()) + " groups under " + m_config.prefix + "/, writes " +
        (m_config.writes ? "on" : "off"));
  while (stop == 0) {
    const auto now = Clock::now();
    GatewayTasks(now);
    m_link.Tick(now);
    PublishStatus(false);
    Flush();
    Replay(now);
    QueueTasks(now);
    WaitAndServe();
    UpdateMetrics();
    while (!m_writes.empty() && stop == 0) {
      const WriteMessage write = std::move(m_writes.front());
      m_writes.pop_front();
      CarryOutWrite(write);
    }
  }
  Stop();
  return 0;
}

void CBridge::Stop() {
  m_log("stopping");
  Flush();
  m_link.Close(StatusPayload(false, "stopped", Figures()), std::chrono::seconds(2));
  if (m_queue) {
    // What the broker did not acknowledge stays queued for the next start.
    m_queue->Sync();
    m_log("queue: " + std::to_string(m_queue->Count()) + " messages kept for the next start");
  }
  m_session.Remove();
  m_log("stopped");
}

void CBridge::UpdateMetrics() {
  if (!m_metrics) return;
  BridgeFigures figures;
  figures.published = m_published;
  figures.replayed = m_replayedTotal;
  figures.refused = m_refused;
  if (m_queue) {
    figures.dropped = m_queue->Dropped();
    figures.queued = m_queue->Count();
    figures.queueBytes = m_queue->Bytes();
    if (const auto oldest = m_queue->OldestMs()) {
      figures.oldestAgeSeconds = std::max<double>(0, static_cast<double>(NowMs() - *oldest) / 1000);
    }
  }
  figures.brokerConnected = m_link.Connected();
  figures.broker = m_link.BrokerName();
  figures.gatewayConnected = m_session.Serving();
  figures.gatewayState = m_session.StateText();
  figures.uptimeSeconds = std::chrono::duration<double>(Clock::now() - m_started).count();
  m_metrics->Update(figures);
}

void CBridge::GatewayTasks(Clock::time_point now) {
  if (!m_session.Serving()) {
    if (now < m_nextEstablish) return;
    if (m_session.Establish()) {
      m_backoff = std::chrono::seconds(1);
      m_nextCheck = now + std::chrono::seconds(m_config.checkIntervalS);
      m_nextRefresh = now + std::chrono::seconds(m_config.refreshIntervalS);
      m_startupSeen = false;
    } else {
      m_nextEstablish = Clock::now() + m_backoff;
      m_backoff = std::min(m_backoff * 2, kLongestBackoff);
    }
    return;
  }
  if (m_startupSeen) {
    // A gateway that started anew holds none of our groups; one whose server came back holds
    // them, and values changed meanwhile unseen: activate (a server created again from the menu
    // registers them inactive) and refresh.
    m_startupSeen = false;
    if (m_session.Check() && m_session.Activate()) m_session.Refresh(++m_transaction);
    m_nextCheck = now + std::chrono::seconds(m_config.checkIntervalS);
    return;
  }
  if (now >= m_nextCheck) {
    if (m_session.Check()) m_session.AskActiveServer();
    m_nextCheck = now + std::chrono::seconds(m_config.checkIntervalS);
  }
  if (m_config.refreshIntervalS > 0 && now >= m_nextRefresh && m_session.Serving()) {
    m_session.Refresh(++m_transaction);
    m_nextRefresh = now + std::chrono::seconds(m_config.refreshIntervalS);
  }
}

void CBridge::PublishStatus(bool force) {
  if (!m_link.Connected()) return;
  const std::string status =
      StatusPayload(true, m_session.StateText(), Figures(), m_session.Active());
  if (!force && status == m_statusSent) return;
  // The queue's figures change with every message: once a second at most.
  const auto now = Clock::now();
  if (!force && m_queue && now < m_nextStatus) return;
  if (m_link.Publish(m_config.prefix + "/$status", status, true)) {
    m_statusSent = status;
    m_nextStatus = now + std::chrono::seconds(1);
  }
}

std::optional<QueueFigures> CBridge::Figures() const {
  if (!m_queue) return std::nullopt;
  return QueueFigures{m_queue->Count(), m_queue->OldestMs(), m_queue->Dropped()};
}

void CBridge::Queue(const ItemSlot& slot) {
  m_queue->Append(
      slot.topic, ValuePayload(*slot.latest, slot.at),
      std::chrono::duration_cast<std::chrono::milliseconds>(slot.at.time_since_epoch()).count());
}

void CBridge::Keep(std::size_t group, std::uint16_t item, const ItemValue& value,
                   std::chrono::system_clock::time_point at) {
  if (!m_queue) {
    m_values.Apply(group, item, value, at);
    return;
  }
  // A value still waiting for a full window of the broker connection is not overwritten
  // unseen: it goes to the queue.
  const auto slot =
      m_values.Apply(group, item, value, at, [this](const ItemSlot& waiting) { Queue(waiting); });
  if (!slot || m_link.Connected()) return;
  Queue(m_values.Slot(*slot));
  m_values.SetQueued(*slot);
}

void CBridge::ReplayRestart() {
  m_inFlight.clear();
  m_queue->Rewind();
}

void CBridge::Replay(Clock::time_point now) {
  if (!m_queue) return;
  if (!m_link.Connected()) {
    if (!m_inFlight.empty()) ReplayRestart();
    m_lastReplay = now;
    return;
  }
  const double rate = m_config.replayRate;
  const double elapsed = std::chrono::duration<double>(now - m_lastReplay).count();
  m_lastReplay = now;
  // Bursts of a tenth of a second's worth at most, so replay never crowds out live changes.
  m_replayCredit = std::min(m_replayCredit + elapsed * rate, std::max(1.0, rate / 10));
  while (m_replayCredit >= 1 && m_link.CanPublish() && m_inFlight.size() < kMostReplayInFlight) {
    auto entry = m_queue->Next(NowMs());
    if (!entry) return;
    int mid = 0;
    const std::string payload = ReplayedPayload(entry->payload, entry->sequence);
    std::string refused;
    if (!m_link.PublishQueued(entry->topic, payload, &mid, &refused)) {
      if (refused.empty()) {
        ReplayRestart();
        return;
      }
      // Never sendable: it leaves the queue like a delivered one, counted and logged.
      Refused(entry->topic, payload.size(), refused);
      m_inFlight.push_back(InFlight{entry->sequence, entry->receivedMs, 0, true});
      m_replayCredit -= 1;
      Acknowledged(-1);
      continue;
    }
    m_inFlight.push_back(InFlight{entry->sequence, entry->receivedMs, mid, false});
    m_replayCredit -= 1;
    ++m_replayed;
    ++m_replayedTotal;
  }
}

void CBridge::Refused(const std::string& topic, std::size_t bytes, const std::string& why) {
  ++m_refused;
  // Once a minute at most for each reason, so that one kind does not hide another.
  const auto now = Clock::now();
  Clock::time_point& next = m_nextRefusedNote[why];
  if (now < next) return;
  m_log(
      "broker refused a message" +
      (topic.empty() ? std::string() : " on " + topic + " (" + std::to_string(bytes) + " bytes)") +
      ": " + why + "; it is left out, not sent again (" + std::to_string(m_refused) +
      " refused since the start; noted once a minute at most)");
  next = now + std::chrono::minutes(1);
  if (m_nextRefusedNote.size() > 64) m_nextRefusedNote.clear();
}

void CBridge::Acknowledged(int mid) {
  if (!m_queue) return;
  for (InFlight& sent : m_inFlight) {
    if (sent.mid == mid && !sent.acknowledged) {
      sent.acknowledged = true;
      break;
    }
  }
  // The queue moves on only past entries acknowledged without a gap.
  while (!m_inFlight.empty() && m_inFlight.front().acknowledged) {
    m_queue->Acknowledge(m_inFlight.front().sequence, m_inFlight.front().receivedMs);
    m_inFlight.pop_front();
    ++m_delivered;
  }
  if (m_inFlight.empty() && m_delivered > 0 && m_queue->Count() == 0) {
    m_log("queue: all " + std::to_string(m_delivered) +
          " queued messages delivered to the broker (" + std::to_string(m_replayed) +
          " sent, repeats included)");
    m_delivered = m_replayed = 0;
  }
}

void CBridge::QueueTasks(Clock::time_point now) {
  if (!m_queue) return;
  m_queue->Flush();
  if (now < m_nextSync) return;
  m_nextSync = now + std::chrono::seconds(1);
  m_queue->Expire(NowMs());
  m_queue->Sync();
  const std::uint64_t dropped = m_queue->Dropped();
  if (dropped > m_droppedNoted && now >= m_nextDropNote) {
    m_log("queue: " + std::to_string(dropped - m_droppedNoted) +
          " messages dropped since the last note, " + std::to_string(dropped) +
          " since the start (the queue reached max_queue_mb = " + Megabytes(m_config.maxQueueMb) +
          (m_config.queueDropNew ? ", new ones refused" : ", the oldest dropped") +
          "; or they were older than max_queue_age, or the disk is full)");
    m_droppedNoted = dropped;
    m_nextDropNote = now + std::chrono::minutes(1);
  }
}

void CBridge::Flush() {
  for (std::size_t n = 1; n <= kMostMessagesPerTurn && m_link.CanPublish(); ++n) {
    const auto index = m_values.TakeDirty();
    if (!index) return;
    const ItemSlot& slot = m_values.Slot(*index);
    const std::string payload = ValuePayload(*slot.latest, slot.at);
    std::string refused;
    if (m_link.Publish(slot.topic, payload, true, &refused)) {
      ++m_published;
    } else if (!refused.empty()) {
      Refused(slot.topic, payload.size(), refused);
    }
    // The datagrams go first: a full receive buffer would lose them, a message can wait.
    if (n % kMessagesBetweenReceives == 0) DrainDatagrams();
  }
}

void CBridge::DrainDatagrams() {
  for (std::size_t n = 0; n < kMostDatagramsPerTurn; ++n) {
    const auto received = m_receiver.Receive(std::chrono::milliseconds(0));
    if (!received) return;
    TakeDatagram(*received);
  }
}

void CBridge::WaitAndServe() {
  pollfd entries[2] = {{m_receiver.Handle(), POLLIN, 0}, {m_link.Socket(), POLLIN, 0}};
  if (m_link.WantWrite()) entries[1].events |= POLLOUT;
  // No waiting while values are ready to go out.
  const bool replaying = m_queue && m_link.CanPublish() && m_queue->Count() > m_inFlight.size();
  const int timeout = m_values.DirtyCount() > 0 && m_link.CanPublish() ? 0 : replaying ? 5 : 100;
  if (::poll(entries, entries[1].fd >= 0 ? 2 : 1, timeout) <= 0) return;
  if (entries[1].fd >= 0 && entries[1].revents != 0) {
    const bool failed = (entries[1].revents & (POLLERR | POLLHUP)) != 0;
    m_link.Service((entries[1].revents & POLLIN) != 0 || failed,
                   (entries[1].revents & POLLOUT) != 0);
  }
  if ((entries[0].revents & POLLIN) != 0) DrainDatagrams();
}

void CBridge::TakeDatagram(const ReceivedDatagram& received) {
  const auto now = Clock::now();
  if (!m_gatewayAddress.empty() && received.from.rfind(m_gatewayAddress + ":", 0) != 0) {
    if (now >= m_nextForeignNote) {
      m_log("ignoring datagrams from " + received.from + ": not the gateway (" + m_gatewayAddress +
            ")");
      m_nextForeignNote = now + std::chrono::minutes(1);
    }
    return;
  }
  const DecodeResult decoded = DecodeDatagram(received.bytes);
  if (!decoded.ok) {
    m_log("malformed datagram from " + received.from + " dropped: " + decoded.reason);
    return;
  }
  switch (decoded.datagram.kind) {
    case DatagramKind::kStartup:
      m_log("the gateway announced its start (or its OPC server is back)");
      if (m_session.Serving()) m_startupSeen = true;
      m_nextEstablish = now;
      break;
    case DatagramKind::kExit:
      m_log("the gateway announced that it closes (or its OPC server was taken down)");
      m_nextCheck = now;
      break;
    case DatagramKind::kValueChange:
    case DatagramKind::kReadComplete:
      TakeValues(decoded.datagram);
      break;
    case DatagramKind::kTypedChange:
    case DatagramKind::kTypedRead:
      TakeTypedValues(decoded.datagram);
      break;
    default:
      break;
  }
}

void CBridge::TakeValues(const Datagram& datagram) {
  const auto group = m_session.ConfigGroup(datagram.group);
  if (!group) return;  // another client's group, or one from before a restart
  const auto at = std::chrono::system_clock::now();
  for (const ItemEntry& entry : datagram.items) {
    const auto item = m_session.ConfigItem(*group, entry.handle);
    if (!item) continue;
    ItemValue value;
    value.length = entry.length;
    value.raw = entry.value;
    value.quality = entry.quality.value_or(192);
    value.error = entry.error;
    Keep(*group, *item, value, at);
  }
}

void CBridge::TakeTypedValues(const Datagram& datagram) {
  const auto group = m_session.ConfigGroup(datagram.group);
  if (!group) return;
  const auto at = std::chrono::system_clock::now();
  for (const TypedItemEntry& entry : datagram.typedItems) {
    const auto item = m_session.ConfigItem(*group, entry.handle);
    if (!item) continue;
    ItemValue value;
    value.quality = entry.quality;
    if (entry.error != 0) value.error = entry.error;
    value.typed = ReadTypedValue(entry.vartype, entry.value);
    value.serverTime = entry.timestamp;
    value.cut = entry.Cut();
    Keep(*group, *item, value, at);
  }
}

void CBridge::BrokerConnected() {
  // A broker that restarted may have lost the retained values: every item is published again.
  m_values.MarkAllDirty();
  if (m_queue) ReplayRestart();
  m_statusSent.clear();
  PublishStatus(true);
  const std::string pattern = m_config.prefix + "/+" + kSetSuffix;
  if (!m_link.Subscribe(pattern)) m_log("cannot subscribe to " + pattern);
}

void CBridge::BrokerMessage(const std::string& topic, const std::string& payload) {
  if (topic.size() <= kSetSuffix.size() ||
      topic.compare(topic.size() - kSetSuffix.size(), kSetSuffix.size(), kSetSuffix) != 0) {
    return;
  }
  if (m_writes.size() >= kMostWaitingWrites) {
    m_log("write on " + topic + " dropped: " + std::to_string(kMostWaitingWrites) +
          " writes are already waiting");
    return;
  }
  m_writes.push_back(WriteMessage{topic, payload});
}

namespace {

// A value for a log line: quoted, control bytes and quotes escaped (the line never splits),
// long ones cut.
std::string LoggedValue(const std::string& value) {
  constexpr std::size_t kLongest = 100;
  std::string out = "\"";
  for (std::size_t k = 0; k < value.size() && k < kLongest; ++k) {
    const auto byte = static_cast<unsigned char>(value[k]);
    if (byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += value[k];
    }
  }
  out += "\"";
  if (value.size() > kLongest) out += " (cut, " + std::to_string(value.size()) + " bytes)";
  return out;
}

}  // namespace

void CBridge::LogWrite(const WriteMessage& write, const std::string& itemId,
                       const std::string& outcome) {
  m_log("write from " + write.topic + ": item " + (itemId.empty() ? "(none)" : itemId) +
        ", value " + LoggedValue(write.payload) + ": " + outcome);
}

std::uint16_t CBridge::WriteType(std::size_t slotIndex) {
  const ItemSlot& slot = m_values.Slot(slotIndex);
  if (slot.dataType != 0) return slot.dataType;
  if (slot.latest && slot.latest->typed && slot.latest->typed->vartype != 0) {
    return slot.latest->typed->vartype;
  }
  // No typed value came yet: ask the server's cache.
  return m_session.ServerType(slot.group, slot.item).value_or(0);
}

void CBridge::CarryOutWrite(const WriteMessage& write) {
  const std::string itemTopic = write.topic.substr(0, write.topic.size() - kSetSuffix.size());
  const std::string resultTopic = write.topic + "/result";
  const auto slotIndex = m_values.FindByTopic(itemTopic);
  std::string reason;
  std::optional<std::string> value;
  if (!slotIndex) {
    reason = "no such item in the bridge's configuration";
  } else if (!m_config.writes) {
    reason = "writes are off in this bridge (writes = true in [bridge] turns them on)";
  } else {
    // The item line "<index>\t<value>\r\n" holds at most 99 characters.
    const std::size_t longest = 96 - std::to_string(m_values.Slot(*slotIndex).item).size();
    value = WriteValueText(write.payload, WriteType(*slotIndex), &reason, longest);
  }
  const std::string itemId = slotIndex ? m_values.Slot(*slotIndex).itemId : "";
  if (!value) {
    LogWrite(write, itemId, "refused by the bridge: " + reason);
    m_link.Publish(resultTopic, WriteResultPayload(false, std::nullopt, reason), false);
    return;
  }
  const ItemSlot& slot = m_values.Slot(*slotIndex);
  const ExchangeResult result = m_session.Write(slot.group, slot.item, *value);
  if (!result.Ok()) {
    LogWrite(write, itemId, "sent as " + LoggedValue(*value) + ", failed: " + result.message);
    m_link.Publish(resultTopic, WriteResultPayload(false, std::nullopt, result.message), false);
    return;
  }
  const std::string replyText = result.reply.text.empty() ? "" : ": " + result.reply.text;
  LogWrite(write, itemId,
           "sent as " + LoggedValue(*value) +
               (result.reply.code == 0 ? ", written (code 0)"
                                       : ", refused by the gateway (code " +
                                             std::to_string(result.reply.code) + replyText + ")"));
  m_link.Publish(resultTopic,
                 WriteResultPayload(result.reply.code == 0, result.reply.code, result.reply.text),
                 false);
}
