#include "tests/e2e/datagram_inbox.h"

#include <cctype>
#include <cstdio>

#include "platform/socket_api.h"

CDatagramInbox::CDatagramInbox() {
  std::string reason;
  if (m_receiver.Open("127.0.0.1", 0, &reason)) m_port = m_receiver.Port();
}

std::optional<Notification> CDatagramInbox::Next(std::chrono::milliseconds timeout) {
  const auto datagram = m_receiver.Receive(timeout);
  if (!datagram) return std::nullopt;
  Notification notification;
  notification.bytes = datagram->bytes;
  notification.decoded = DecodeDatagram(notification.bytes);
  return notification;
}

std::optional<Notification> CDatagramInbox::WaitFor(
    const std::function<bool(const Notification&)>& fits, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto notification = Next(left);
    if (!notification) return std::nullopt;
    if (fits(*notification)) return notification;
  }
}

std::vector<Notification> CDatagramInbox::Take(std::size_t count,
                                               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<Notification> taken;
  while (taken.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto notification = Next(left);
    if (!notification) break;
    taken.push_back(std::move(*notification));
  }
  return taken;
}

void CDatagramInbox::Drain() {
  while (Next(std::chrono::milliseconds(0))) {
  }
}

void CDatagramInbox::SendMarker(const std::string& marker) {
  const SocketHandle sender = SocketCreate(kSockDgram);
  SocketAddressIn to;
  to.port = HostToNet16(m_port);
  to.address = HostToNet32(0x7F000001);
  SocketSendTo(sender, marker.data(), static_cast<int>(marker.size()), to);
  SocketClose(sender);
}

std::function<bool(const Notification&)> IsKind(DatagramKind kind) {
  return [kind](const Notification& n) { return n.decoded.ok && n.Value().kind == kind; };
}

std::function<bool(const Notification&)> IsGroupKind(DatagramKind kind, int group) {
  return [kind, group](const Notification& n) {
    return n.decoded.ok && n.Value().kind == kind && n.Value().group == group;
  };
}

std::string HexBytes(const std::string& hex) {
  std::string bytes;
  int high = -1;
  for (const char c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  std::string text;
  char pair[4];
  for (const char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02x ", static_cast<unsigned>(static_cast<unsigned char>(c)));
    text += pair;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::string BigEndian16(std::uint32_t value) {
  return {static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string BigEndian32(std::uint32_t value) {
  return BigEndian16(value >> 16) + BigEndian16(value & 0xFFFF);
}
