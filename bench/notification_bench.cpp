// Notification figures of the gateway:
// - packing and sending of 121-item value-change datagrams by NotifyNewItemValues, against raw
//   sendto of the same bytes (in this process);
// - the same for typed datagrams of 50 VT_R8 entries with timestamps (a group of "TD");
// - items per second from simulator changes to decoded datagrams at a UDP receiver with an 8 MB
//   receive buffer, losses counted, against a raw sender offering the same datagrams;
// - latency from a write ("SW") to a subscribed Memory item (10 ms update rate) to its
//   value-change datagram, against the write's own reply.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/datagram_decoder.h"
#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "core/activity_log.h"
#include "core/frame_view.h"
#include "net/blocking_socket.h"
#include "net/datagram_sender.h"
#include "net/gateway_counters.h"
#include "opc/group_registry.h"
#include "opc/item_value_packer.h"
#include "opc/opc_data_callback.h"
#include "opc/typed_value_packer.h"
#include "tests/e2e/running_gateway.h"
#include "tests/support/silent_frame_view.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

SocketAddressIn Loopback(std::uint16_t port) {
  SocketAddressIn address;
  address.port = HostToNet16(port);
  address.address = HostToNet32(kLoopback);
  return address;
}

// A UDP socket on 127.0.0.1 with the given receive buffer.
SocketHandle BoundUdpSocket(int receiveBuffer, std::uint16_t& port) {
  const SocketHandle socket = SocketCreate(kSockDgram);
  if (receiveBuffer > 0) SocketSetReceiveBuffer(socket, receiveBuffer);
  SocketAddressIn address = Loopback(0);
  SocketBind(socket, address);
  SocketGetSockName(socket, address);
  port = NetToHost16(address.port);
  return socket;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// ------------------------------------------------------------------------------------------------
// Packing and sending in this process
// ------------------------------------------------------------------------------------------------

// The gateway's sending side in this process: a group list of one group, "bench", whose datagrams
// go to port on 127.0.0.1 through a datagram sender of its own, and the sink a server calls.
struct CInProcessGroup {
  CInProcessGroup(std::uint16_t port, bool typed)
      : sender(socket, DatagramAddress{kLoopback, port}, log.logValueChanges, counters) {
    socket.Create(kSockDgram);
    GroupRecord* group = registry.AppendGroup(AllocWideString(u"bench"));
    group->dwNotifyHost = kLoopback;
    group->wNotifyPort = port;
    group->typed = typed;
    callback->AddRef();
  }
  ~CInProcessGroup() {
    callback->Release();
    socket.Close();
  }
  CInProcessGroup(const CInProcessGroup&) = delete;
  CInProcessGroup& operator=(const CInProcessGroup&) = delete;

  CBlockingSocket socket;
  GatewayCounters counters;
  const LogSwitches log;
  CDatagramSender sender;
  CSilentFrameView view;
  CServerConnection connection{view, u""};
  CGroupRegistry registry{view, connection, sender, log};
  COpcDataCallback* callback = new COpcDataCallback(registry, sender);
};

void PackAndSend() {
  PrintTitle(
      "NotifyNewItemValues: 121-item value-change datagrams packed and sent, against raw "
      "sendto of the same bytes (target: ratio >= 0.9)");
  // The receiver is never read: once its buffer is full the kernel drops what comes, so both
  // senders see the same cost per datagram.
  std::uint16_t port = 0;
  const SocketHandle receiver = BoundUdpSocket(0, port);

  CInProcessGroup gateway(port, false);
  COpcDataCallback* callback = gateway.callback;

  // A realistic mix of value types.
  constexpr DWORD kCount = kItemsPerDatagram;
  std::vector<OPCHANDLE> handles(kCount);
  std::vector<VARIANT> values(kCount);
  std::vector<WORD> qualities(kCount, 0xC0);
  std::vector<HRESULT> errors(kCount, S_OK);
  for (DWORD i = 0; i < kCount; ++i) {
    handles[i] = i;
    VariantInit(&values[i]);
    switch (i % 4) {
      case 0:
        values[i].vt = VT_I2;
        values[i].iVal = static_cast<SHORT>(i);
        break;
      case 1:
        values[i].vt = VT_I4;
        values[i].lVal = static_cast<LONG>(i * 1000);
        break;
      case 2:
        values[i].vt = VT_BOOL;
        values[i].boolVal = VARIANT_TRUE;
        break;
      default:
        values[i].vt = VT_UI4;
        values[i].ulVal = i * 7;
        break;
    }
  }
  const ItemValueCall call{
      kValueChangeKind, 0, 0, S_OK, S_OK, kCount, handles.data(), values.data(), qualities.data(),
      errors.data()};
  BYTE packed[kMaxItemDatagramBytes];
  const std::size_t packedSize = PackItemDatagram(call, 0, kCount, packed);
  const SocketHandle raw = SocketCreate(kSockDgram);
  const SocketAddressIn destination = Loopback(port);

  const auto round = std::chrono::milliseconds(400);
  std::vector<double> gatewayRates;
  std::vector<double> rawRates;
  std::vector<double> waitingRates;
  for (int r = 0; r < 5; ++r) {
    std::uint64_t sent = 0;
    auto start = BenchClock::now();
    while (BenchClock::now() - start < round) {
      for (int k = 0; k < 64; ++k) {
        callback->NotifyNewItemValues(kValueChangeKind, 0, 0, S_OK, S_OK, kCount, handles.data(),
                                      values.data(), qualities.data(), errors.data());
      }
      sent += 64;
    }
    gatewayRates.push_back(static_cast<double>(sent) /
                           std::chrono::duration<double>(BenchClock::now() - start).count());
    sent = 0;
    start = BenchClock::now();
    while (BenchClock::now() - start < round) {
      for (int k = 0; k < 64; ++k) {
        SocketSendTo(raw, packed, static_cast<int>(packedSize), destination);
      }
      sent += 64;
    }
    rawRates.push_back(static_cast<double>(sent) /
                       std::chrono::duration<double>(BenchClock::now() - start).count());
    // The same with the wait for writability that precedes every datagram send of the gateway.
    sent = 0;
    start = BenchClock::now();
    while (BenchClock::now() - start < round) {
      for (int k = 0; k < 64; ++k) {
        if (SocketWaitWritable(raw, 100) > 0) {
          SocketSendTo(raw, packed, static_cast<int>(packedSize), destination);
        }
      }
      sent += 64;
    }
    waitingRates.push_back(static_cast<double>(sent) /
                           std::chrono::duration<double>(BenchClock::now() - start).count());
  }
  const double gatewayRate = Median(gatewayRates);
  const double rawRate = Median(rawRates);
  PrintComparison("datagrams per second (" + std::to_string(packedSize) + " bytes each)",
                  gatewayRate, rawRate, "dgram/s");
  PrintComparison("items per second", gatewayRate * kCount, rawRate * kCount, "items/s");
  PrintComparison("for reference: raw poll for writability + sendto", Median(waitingRates), rawRate,
                  "dgram/s", "poll+send", "baseline");

  for (auto& value : values) VariantClear(&value);
  SocketClose(raw);
  SocketClose(receiver);
}

void TypedPackAndSend() {
  PrintTitle(
      "NotifyNewItemValues of a typed group: 50-entry VT_R8 datagrams with timestamps packed and "
      "sent, against raw sendto of the same bytes (target: ratio >= 0.9)");
  std::uint16_t port = 0;
  const SocketHandle receiver = BoundUdpSocket(0, port);

  CInProcessGroup gateway(port, true);
  COpcDataCallback* callback = gateway.callback;

  constexpr DWORD kCount = 50;  // 16 + 50 x 29 = 1,466 bytes: one datagram
  std::vector<OPCHANDLE> handles(kCount);
  std::vector<VARIANT> values(kCount);
  std::vector<WORD> qualities(kCount, 0xC0);
  std::vector<HRESULT> errors(kCount, S_OK);
  std::vector<FILETIME> stamps(kCount, FILETIME{0x12345678, 0x01DC0000});
  for (DWORD i = 0; i < kCount; ++i) {
    handles[i] = i;
    VariantInit(&values[i]);
    values[i].vt = VT_R8;
    values[i].dblVal = 20.0 + i * 0.1;
  }
  const TypedValueCall call{kTypedValueChangeKind,
                            0,
                            0,
                            S_OK,
                            S_OK,
                            kCount,
                            handles.data(),
                            values.data(),
                            qualities.data(),
                            stamps.data(),
                            errors.data()};
  BYTE packed[kTypedDatagramMaxBytes];
  DWORD next = 0;
  const std::size_t packedSize = PackTypedDatagram(call, 0, next, packed);
  const SocketHandle raw = SocketCreate(kSockDgram);
  const SocketAddressIn destination = Loopback(port);

  const auto round = std::chrono::milliseconds(400);
  std::vector<double> gatewayRates;
  std::vector<double> rawRates;
  for (int r = 0; r < 5; ++r) {
    std::uint64_t sent = 0;
    auto start = BenchClock::now();
    while (BenchClock::now() - start < round) {
      for (int k = 0; k < 64; ++k) {
        callback->NotifyNewItemValues(kValueChangeKind, 0, 0, S_OK, S_OK, kCount, handles.data(),
                                      values.data(), qualities.data(), errors.data(),
                                      stamps.data());
      }
      sent += 64;
    }
    gatewayRates.push_back(static_cast<double>(sent) /
                           std::chrono::duration<double>(BenchClock::now() - start).count());
    sent = 0;
    start = BenchClock::now();
    while (BenchClock::now() - start < round) {
      for (int k = 0; k < 64; ++k) {
        SocketSendTo(raw, packed, static_cast<int>(packedSize), destination);
      }
      sent += 64;
    }
    rawRates.push_back(static_cast<double>(sent) /
                       std::chrono::duration<double>(BenchClock::now() - start).count());
  }
  const double gatewayRate = Median(gatewayRates);
  const double rawRate = Median(rawRates);
  PrintComparison("typed datagrams per second (" + std::to_string(packedSize) + " bytes each)",
                  gatewayRate, rawRate, "dgram/s");
  PrintComparison("typed items per second", gatewayRate * kCount, rawRate * kCount, "items/s");

  SocketClose(raw);
  SocketClose(receiver);
}

// ------------------------------------------------------------------------------------------------
// End to end: simulator changes to decoded datagrams
// ------------------------------------------------------------------------------------------------

// Decodes every datagram that arrives and follows each item's ramp value: an item whose value
// moves on by more than one step missed the updates in between (lost datagrams, or changes that
// were never sent).
class CRampReceiver {
public:
  CRampReceiver(int groups, int items)
      : m_items(items),
        m_last(static_cast<std::size_t>(groups) * static_cast<std::size_t>(items), INT_MIN) {
    m_socket = BoundUdpSocket(kReceiveBufferBytes, m_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~CRampReceiver() {
    m_stopping = true;
    m_thread.join();
    SocketClose(m_socket);
  }

  std::uint16_t Port() const { return m_port; }
  // Starts counting; items and gaps before this are not counted.
  void StartWindow() { m_counting = true; }
  void StopWindow() { m_counting = false; }
  std::uint64_t Items() const { return m_itemsReceived; }
  std::uint64_t Missed() const { return m_missed; }
  std::uint64_t Malformed() const { return m_malformed; }
  std::uint64_t AllItems() const { return m_allItems; }

private:
  void Run() {
    char buffer[2048];
    while (!m_stopping) {
      if (SocketWaitReadableMs(m_socket, 50) <= 0) continue;
      SocketAddressIn from;
      const int count = SocketReceiveFrom(m_socket, buffer, sizeof buffer, from);
      if (count <= 0) continue;
      const DecodeResult decoded =
          DecodeDatagram(std::string_view(buffer, static_cast<std::size_t>(count)));
      const bool counting = m_counting;
      if (!decoded.ok || decoded.datagram.kind != DatagramKind::kValueChange) {
        if (counting) ++m_malformed;
        continue;
      }
      for (const ItemEntry& entry : decoded.datagram.items) {
        const std::size_t slot =
            static_cast<std::size_t>(decoded.datagram.group) * static_cast<std::size_t>(m_items) +
            entry.handle;
        if (slot >= m_last.size()) continue;
        const std::int32_t value = entry.SignedValue();
        std::int32_t& last = m_last[slot];
        if (counting) {
          ++m_itemsReceived;
          if (last != INT_MIN && value > last + 1)
            m_missed += static_cast<std::uint64_t>(value - last - 1);
        }
        last = value;
        ++m_allItems;
      }
    }
  }

  const int m_items;
  std::vector<std::int32_t> m_last;
  SocketHandle m_socket = kNoSocket;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_counting{false};
  std::atomic<std::uint64_t> m_itemsReceived{0};
  std::atomic<std::uint64_t> m_missed{0};
  std::atomic<std::uint64_t> m_malformed{0};
  std::atomic<std::uint64_t> m_allItems{0};
  std::thread m_thread;  // last: starts after every other member is ready
};

constexpr int kRateGroups = 50;
constexpr int kRateItems = 2000;  // 100,000 items, each changing every 100 ms
const auto kRateWindow = std::chrono::seconds(5);

struct RateFigures {
  double itemsPerSecond = 0;
  double senderCpuShare = 0;  // of one core, during the window
  std::uint64_t missed = 0;
  std::uint64_t malformed = 0;
};

// Waits until the receiver has seen at least count items in all, or the deadline passes.
bool WaitForItems(const CRampReceiver& receiver, std::uint64_t count,
                  std::chrono::milliseconds timeout) {
  const auto deadline = BenchClock::now() + timeout;
  while (receiver.AllItems() < count) {
    if (BenchClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

RateFigures MeasureWindow(CRampReceiver& receiver) {
  receiver.StartWindow();
  const auto start = BenchClock::now();
  std::this_thread::sleep_for(kRateWindow);
  receiver.StopWindow();
  const double seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
  RateFigures figures;
  figures.itemsPerSecond = static_cast<double>(receiver.Items()) / seconds;
  figures.missed = receiver.Missed();
  figures.malformed = receiver.Malformed();
  return figures;
}

bool GatewayNotificationRate(RateFigures& figures) {
  CRunningGateway gateway;
  if (!gateway.Ready()) return false;
  CRampReceiver receiver(kRateGroups, kRateItems);
  constexpr int kGroupsPerRequest = 10;
  std::vector<int> indices;
  for (int first = 0; first < kRateGroups; first += kGroupsPerRequest) {
    std::vector<GroupDefinition> groups;
    for (int g = first; g < first + kGroupsPerRequest; ++g) {
      GroupDefinition group;
      group.name = "rate" + std::to_string(g);
      group.updateRate = 50;  // faster than the 100 ms tick, so that every change is reported
      group.items.assign(kRateItems, ItemDefinition{"Ramp.Int4", true, 3});
      groups.push_back(std::move(group));
    }
    const ExchangeResult defined =
        gateway.Exchange(DefineGroupsRequest(groups, receiver.Port()), std::chrono::seconds(120));
    const auto replied = ReplyIndices(defined.reply.text);
    if (!defined.Ok() || defined.reply.code != 0 || !replied) {
      PrintLine("cannot define the groups: %s %s", defined.message.c_str(), defined.raw.c_str());
      return false;
    }
    indices.insert(indices.end(), replied->begin(), replied->end());
  }
  const ExchangeResult activated = gateway.Exchange(SetGroupsActiveRequest(true, indices));
  if (!activated.Ok() || activated.reply.code != 0) return false;
  // Warm-up: the first report of every item, then a few ticks.
  WaitForItems(receiver, 3ull * kRateGroups * kRateItems, std::chrono::seconds(20));
  const int pid = gateway.Process().Pid();
  const double cpuBefore = ProcessCpuSeconds(pid);
  const auto start = BenchClock::now();
  figures = MeasureWindow(receiver);
  figures.senderCpuShare = (ProcessCpuSeconds(pid) - cpuBefore) /
                           std::chrono::duration<double>(BenchClock::now() - start).count();
  return true;
}

// Offers the same datagrams as the simulator would: every 100 ms one ramp step of every item,
// packed 121 items to a datagram, sent back to back.
RateFigures RawNotificationRate() {
  CRampReceiver receiver(kRateGroups, kRateItems);
  const SocketHandle sender = SocketCreate(kSockDgram);
  const SocketAddressIn destination = Loopback(receiver.Port());
  std::atomic<bool> stopping{false};
  std::thread offer([&] {
    std::vector<OPCHANDLE> handles(kRateItems);
    std::vector<VARIANT> values(kRateItems);
    for (int i = 0; i < kRateItems; ++i) {
      handles[static_cast<std::size_t>(i)] = static_cast<OPCHANDLE>(i);
      VariantInit(&values[static_cast<std::size_t>(i)]);
      values[static_cast<std::size_t>(i)].vt = VT_I4;
    }
    BYTE packed[kMaxItemDatagramBytes];
    auto next = BenchClock::now();
    for (LONG tick = 1; !stopping; ++tick) {
      for (auto& value : values) value.lVal = tick;
      for (int g = 0; g < kRateGroups; ++g) {
        const ItemValueCall call{kValueChangeKind,
                                 0,
                                 static_cast<OPCHANDLE>(g),
                                 S_OK,
                                 S_OK,
                                 kRateItems,
                                 handles.data(),
                                 values.data(),
                                 nullptr,
                                 nullptr};
        for (DWORD start = 0; start < kRateItems; start += kItemsPerDatagram) {
          const DWORD end = std::min<DWORD>(start + kItemsPerDatagram, kRateItems);
          const std::size_t size = PackItemDatagram(call, start, end, packed);
          SocketSendTo(sender, packed, static_cast<int>(size), destination);
        }
      }
      next += std::chrono::milliseconds(100);
      std::this_thread::sleep_until(next);
    }
  });
  WaitForItems(receiver, 3ull * kRateGroups * kRateItems, std::chrono::seconds(20));
  const RateFigures figures = MeasureWindow(receiver);
  stopping = true;
  offer.join();
  SocketClose(sender);
  return figures;
}

void NotificationRate() {
  PrintTitle(
      "Notification rate: 100,000 Ramp items (50 groups of 2000, 100 ms changes) to "
      "decoded datagrams at a UDP receiver with an 8 MB buffer");
  RateFigures gateway;
  if (!GatewayNotificationRate(gateway)) {
    PrintLine("the gateway run failed");
    return;
  }
  const RateFigures raw = RawNotificationRate();
  PrintComparison("items per second (offered 1,000,000)", gateway.itemsPerSecond,
                  raw.itemsPerSecond, "items/s");
  PrintLine("%-44s gateway %12llu %-8s baseline %12llu %-8s", "missed updates in the window",
            static_cast<unsigned long long>(gateway.missed), "items",
            static_cast<unsigned long long>(raw.missed), "items");
  PrintLine("%-44s gateway %12llu %-8s baseline %12llu", "undecodable datagrams",
            static_cast<unsigned long long>(gateway.malformed), "",
            static_cast<unsigned long long>(raw.malformed));
  PrintLine("%-44s %.0f%% of one core (simulator included)", "gateway CPU during the window",
            gateway.senderCpuShare * 100.0);
}

// ------------------------------------------------------------------------------------------------
// Latency: write to value-change datagram
// ------------------------------------------------------------------------------------------------

void WriteToDatagramLatency() {
  PrintTitle(
      "Latency: SW of a subscribed Memory item (10 ms update rate) to its value-change "
      "datagram (target: p99 < 15 ms)");
  CRunningGateway gateway;
  if (!gateway.Ready()) {
    PrintLine("the gateway did not start");
    return;
  }
  std::uint16_t port = 0;
  const SocketHandle receiver = BoundUdpSocket(kReceiveBufferBytes, port);
  GroupDefinition group;
  group.name = "latency";
  group.updateRate = 10;
  group.items.push_back(ItemDefinition{"Memory.Int4.latency", true, 3});
  const ExchangeResult defined = gateway.Exchange(DefineGroupsRequest({group}, port));
  const auto indices = ReplyIndices(defined.reply.text);
  if (!defined.Ok() || !indices || indices->size() != 1) {
    PrintLine("cannot define the group: %s", defined.raw.c_str());
    SocketClose(receiver);
    return;
  }
  const int g = (*indices)[0];
  gateway.Exchange(SetGroupsActiveRequest(true, {g}));

  char buffer[2048];
  // Waits for the datagram that carries value; false at the deadline.
  const auto waitForValue = [&](std::int32_t value) {
    const auto deadline = BenchClock::now() + std::chrono::seconds(5);
    while (BenchClock::now() < deadline) {
      if (SocketWaitReadableMs(receiver, 100) <= 0) continue;
      SocketAddressIn from;
      const int count = SocketReceiveFrom(receiver, buffer, sizeof buffer, from);
      if (count <= 0) continue;
      const DecodeResult decoded =
          DecodeDatagram(std::string_view(buffer, static_cast<std::size_t>(count)));
      if (decoded.ok && decoded.datagram.items.size() == 1 &&
          decoded.datagram.items[0].SignedValue() == value) {
        return true;
      }
    }
    return false;
  };
  waitForValue(0);  // the activation report

  constexpr int kSamples = 300;
  std::vector<double> toDatagram;
  std::vector<double> toReply;
  std::size_t lost = 0;
  std::string reply;
  for (int sample = 1; sample <= kSamples; ++sample) {
    const std::string request = WriteSyncRequest(g, {{0, std::to_string(sample)}});
    const auto start = BenchClock::now();
    if (!OneRequest(gateway.ListenPort(), request, reply) || reply != "0\t\r\n") {
      ++lost;
      continue;
    }
    const auto replied = BenchClock::now();
    if (!waitForValue(sample)) {
      ++lost;
      continue;
    }
    const auto arrived = BenchClock::now();
    toReply.push_back(ElapsedMs(start, replied));
    toDatagram.push_back(ElapsedMs(start, arrived));
  }
  const LatencyFigures datagram = Summarize(toDatagram);
  const LatencyFigures alone = Summarize(toReply);
  PrintLine("%-44s p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (%zu samples, %zu lost)",
            "SW to its value-change datagram", datagram.p50Ms, datagram.p99Ms, datagram.maxMs,
            datagram.count, lost);
  PrintLine("%-44s p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms", "baseline: the SW reply alone",
            alone.p50Ms, alone.p99Ms, alone.maxMs);
  PrintLine("%-44s %.2f (a 10 ms update period adds up to 10 ms)", "ratio of the p99 figures",
            alone.p99Ms > 0 ? datagram.p99Ms / alone.p99Ms : 0.0);
  SocketClose(receiver);
}

}  // namespace

int main() {
  PackAndSend();
  TypedPackAndSend();
  WriteToDatagramLatency();
  NotificationRate();
  return 0;
}
