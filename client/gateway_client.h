// The request side of a gateway client: one connection per request, one reply per connection.
//
// Exchange connects to the gateway's listening port, sends the request, ends its own sending
// half (so a gateway that wants more lines than were sent learns at once that none follow),
// reads until the gateway closes the connection and parses the reply. The whole exchange is
// bounded by the timeout given.
//
// Error rule: nothing throws; the result names what went wrong as a ClientError and a one-line
// message: a host that cannot be resolved, a refused connection, an unreachable host, a connect
// or reply timeout, a connection closed without or in the middle of a reply, a malformed reply.
// Thread rule: any thread; an object may be shared (Exchange does not change it).
// Ownership: each exchange opens and closes its own socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/gateway_reply.h"

enum class ClientError {
  kNone,
  kBadHost,            // the host name cannot be resolved to an IPv4 address
  kConnectionRefused,  // nobody listens on the port
  kUnreachable,        // no route to the host, or another connect failure
  kConnectTimeout,     // the connection was not set up in time
  kSendFailed,         // the gateway closed the connection while the request was being sent
  kReplyTimeout,       // connected and sent, but the reply did not end in time
  kNoReply,            // the gateway closed the connection without sending anything
  kConnectionReset,    // the connection broke in the middle of a reply
  kMalformedReply,     // bytes came that are not one reply line
};

// A short name for each kind ("connection refused", "reply timeout", ...).
const char* ClientErrorName(ClientError error);

struct ExchangeResult {
  ClientError error = ClientError::kNone;
  std::string message;  // one line naming what happened; empty on success
  std::string raw;      // every byte received
  GatewayReply reply;   // valid when error is kNone
  bool Ok() const { return error == ClientError::kNone; }
};

class CGatewayClient {
public:
  CGatewayClient(std::string host, std::uint16_t port,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Sends one request and returns the reply or the failure.
  ExchangeResult Exchange(std::string_view request) const;

  const std::string& Host() const { return m_host; }
  std::uint16_t Port() const { return m_port; }

private:
  std::string m_host;
  std::uint16_t m_port;
  std::chrono::milliseconds m_timeout;
};
