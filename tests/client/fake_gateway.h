// A tiny stand-in for the gateway on 127.0.0.1: it answers each connection with the next canned
// reply and records the request bytes, and it sends canned datagrams.
//
// A connection's request is read until the client ends its sending half (the client library
// does so after the request), then the canned reply is sent and the connection closed.
// Error rule: failures show as missing requests or replies, which the tests then report.
// Thread rule: one server thread; the public calls from the test thread.
// Ownership: the object owns its sockets and thread; the destructor stops and joins.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_api.h"

class CFakeGateway {
public:
  enum class Mode {
    kReply,        // send the reply bytes, then close
    kSilent,       // read the request, send nothing, keep the connection open
    kCloseAtOnce,  // close right after accepting, without reading
  };

  CFakeGateway() {
    m_listen = SocketCreate(kSockStream);
    SocketAddressIn local;
    local.address = HostToNet32(0x7F000001);
    SocketBind(m_listen, local);
    SocketListen(m_listen, 5);
    SocketGetSockName(m_listen, local);
    m_port = NetToHost16(local.port);
    m_thread = std::thread([this] { Serve(); });
  }

  ~CFakeGateway() {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    SocketClose(m_listen);  // wakes the accept
    m_thread.join();
    for (const SocketHandle held : m_held) SocketClose(held);
  }

  CFakeGateway(const CFakeGateway&) = delete;
  CFakeGateway& operator=(const CFakeGateway&) = delete;

  std::uint16_t Port() const { return m_port; }

  void AddReply(std::string bytes, Mode mode = Mode::kReply) {
    std::lock_guard lock(m_mutex);
    m_replies.push_back({std::move(bytes), mode});
  }

  // The requests received so far, in order.
  std::vector<std::string> Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }

  // Sends one datagram from 127.0.0.1 to 127.0.0.1:port.
  static void SendDatagram(std::uint16_t port, const std::string& bytes) {
    const SocketHandle sender = SocketCreate(kSockDgram);
    SocketAddressIn to;
    to.address = HostToNet32(0x7F000001);
    to.port = HostToNet16(port);
    SocketSendTo(sender, bytes.data(), static_cast<int>(bytes.size()), to);
    SocketClose(sender);
  }

private:
  struct Canned {
    std::string bytes;
    Mode mode;
  };

  void Serve() {
    for (;;) {
      SocketAddressIn peer;
      const SocketHandle connection = SocketAccept(m_listen, peer);
      if (connection == kNoSocket) {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        continue;
      }
      Canned canned{"", Mode::kReply};
      {
        std::lock_guard lock(m_mutex);
        if (!m_replies.empty()) {
          canned = std::move(m_replies.front());
          m_replies.pop_front();
        }
      }
      if (canned.mode == Mode::kCloseAtOnce) {
        SocketClose(connection);
        continue;
      }
      std::string request;
      char buffer[4096];
      while (SocketWaitReadableMs(connection, 20000) > 0) {
        const int count = SocketReceive(connection, buffer, sizeof buffer);
        if (count <= 0) break;
        request.append(buffer, static_cast<std::size_t>(count));
      }
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
      }
      if (canned.mode == Mode::kSilent) {
        m_held.push_back(connection);
        continue;
      }
      std::size_t sent = 0;
      while (sent < canned.bytes.size()) {
        const int count = SocketSend(connection, canned.bytes.data() + sent,
                                     static_cast<int>(canned.bytes.size() - sent));
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
      }
      SocketClose(connection);
    }
  }

  SocketHandle m_listen = kNoSocket;
  std::uint16_t m_port = 0;
  std::thread m_thread;
  mutable std::mutex m_mutex;
  bool m_stopping = false;
  std::deque<Canned> m_replies;
  std::vector<std::string> m_requests;
  std::vector<SocketHandle> m_held;  // server thread only, until the destructor
};
