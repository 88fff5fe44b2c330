// The client tools keep their few socket calls here, beside the client library, so that the
// library stands alone (it is what a client author would take away).
#include "client/gateway_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/socket_support.h"

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for one poll event until the deadline: >0 ready, 0 timed out, <0 failed.
int WaitFor(int socket, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{socket, events, 0};
    const int result = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (result < 0 && errno == EINTR) continue;
    return result;
  }
}

class CSocketHolder {
public:
  explicit CSocketHolder(int socket) : m_socket(socket) {}
  ~CSocketHolder() {
    if (m_socket >= 0) ::close(m_socket);
  }
  CSocketHolder(const CSocketHolder&) = delete;
  CSocketHolder& operator=(const CSocketHolder&) = delete;
  int Get() const { return m_socket; }

private:
  int m_socket;
};

// A gateway closes a connection unanswered when the client's address is not in its /allow list
// or already holds /maxconn connections: say so where no reply came.
constexpr char kUnansweredHint[] =
    " (it does so when this computer's address is not in its /allow list, or when this address "
    "holds /maxconn connections already)";

ExchangeResult Failure(ClientError error, std::string message, std::string raw = {}) {
  ExchangeResult result;
  result.error = error;
  result.message = std::move(message);
  result.raw = std::move(raw);
  return result;
}

std::string Seconds(std::chrono::milliseconds timeout) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(timeout.count()) / 1000.0);
  return text;
}

// One request connection: its socket, the text naming the gateway in messages, and the deadline
// that bounds the whole exchange. Each step returns the failure that ends the exchange, if any.
class CConnection {
public:
  CConnection(std::string where, std::chrono::milliseconds timeout, Clock::time_point deadline)
      : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
        m_where(std::move(where)),
        m_timeout(timeout),
        m_deadline(deadline) {}

  // Connects without blocking, so that the deadline bounds it.
  std::optional<ExchangeResult> Connect(const Ipv4Endpoint& endpoint) const {
    if (m_socket.Get() < 0) {
      return Failure(ClientError::kUnreachable,
                     std::string("cannot create a socket: ") + std::strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = endpoint.port;
    address.sin_addr.s_addr = endpoint.address;
    int error = 0;
    if (::connect(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
      error = errno;
      if (error == EINPROGRESS) {
        const int ready = WaitFor(m_socket.Get(), POLLOUT, m_deadline);
        if (ready == 0) {
          return Failure(ClientError::kConnectTimeout,
                         "no connection to " + m_where + " within " + Seconds(m_timeout));
        }
        socklen_t size = sizeof error;
        if (ready < 0 || ::getsockopt(m_socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
          error = errno;
        }
      }
    }
    return ConnectFailure(error);
  }

  // Sends the whole request, then ends the sending half.
  std::optional<ExchangeResult> Send(std::string_view request) const {
    std::size_t sent = 0;
    while (sent < request.size()) {
      const int ready = WaitFor(m_socket.Get(), POLLOUT, m_deadline);
      if (ready == 0) {
        return Failure(
            ClientError::kReplyTimeout,
            "the gateway at " + m_where + " took no request within " + Seconds(m_timeout));
      }
      const ssize_t count =
          ::send(m_socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (count < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return Failure(ClientError::kSendFailed,
                       "the connection to " + m_where +
                           " failed while sending the request: " + std::strerror(errno));
      }
      sent += static_cast<std::size_t>(count);
    }
    ::shutdown(m_socket.Get(), SHUT_WR);
    return std::nullopt;
  }

  // Reads until the gateway closes the connection (the reply text may hold line ends itself)
  // and parses the reply.
  ExchangeResult ReadUntilClose() const {
    std::string raw;
    char buffer[4096];
    for (;;) {
      const int ready = WaitFor(m_socket.Get(), POLLIN, m_deadline);
      if (ready == 0) return ReplyTimeout(std::move(raw));
      const ssize_t count = ::recv(m_socket.Get(), buffer, sizeof buffer, 0);
      if (count > 0) {
        raw.append(buffer, static_cast<std::size_t>(count));
        continue;
      }
      if (count == 0) break;
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // A reset after a whole reply loses nothing: the gateway may close while request bytes
      // it did not need are still unread.
      const int resetError = errno;
      if (ParseReply(raw)) break;
      return ResetFailure(resetError, std::move(raw));
    }
    return Finished(std::move(raw));
  }

private:
  std::optional<ExchangeResult> ConnectFailure(int error) const {
    if (error == 0) return std::nullopt;
    if (error == ECONNREFUSED) {
      return Failure(ClientError::kConnectionRefused,
                     "connection refused by " + m_where + " (no gateway listens there)");
    }
    if (error == ETIMEDOUT) {
      return Failure(ClientError::kConnectTimeout, "connecting to " + m_where + " timed out");
    }
    return Failure(ClientError::kUnreachable,
                   "cannot connect to " + m_where + ": " + std::strerror(error));
  }

  ExchangeResult ReplyTimeout(std::string raw) const {
    std::string message = raw.empty() ? "no reply from " + m_where + " within " + Seconds(m_timeout)
                                      : "the reply from " + m_where + " did not end within " +
                                            Seconds(m_timeout) + " (" + std::to_string(raw.size()) +
                                            " bytes came)";
    return Failure(ClientError::kReplyTimeout, std::move(message), std::move(raw));
  }

  ExchangeResult ResetFailure(int error, std::string raw) const {
    if (raw.empty()) {
      return Failure(ClientError::kNoReply, "the gateway at " + m_where +
                                                " dropped the connection without a reply (" +
                                                std::strerror(error) + ")" + kUnansweredHint);
    }
    return Failure(ClientError::kConnectionReset,
                   "the connection to " + m_where + " broke in the middle of the reply (" +
                       std::strerror(error) + ")",
                   std::move(raw));
  }

  ExchangeResult Finished(std::string raw) const {
    if (raw.empty()) {
      return Failure(
          ClientError::kNoReply,
          "the gateway at " + m_where + " closed the connection without a reply" + kUnansweredHint);
    }
    std::string reason;
    auto reply = ParseReply(raw, &reason);
    if (!reply) return Failure(ClientError::kMalformedReply, "malformed reply: " + reason, raw);
    ExchangeResult result;
    result.raw = std::move(raw);
    result.reply = std::move(*reply);
    return result;
  }

  CSocketHolder m_socket;
  std::string m_where;
  std::chrono::milliseconds m_timeout;
  Clock::time_point m_deadline;
};

}  // namespace

const char* ClientErrorName(ClientError error) {
  switch (error) {
    case ClientError::kNone:
      return "no error";
    case ClientError::kBadHost:
      return "unknown host";
    case ClientError::kConnectionRefused:
      return "connection refused";
    case ClientError::kUnreachable:
      return "gateway unreachable";
    case ClientError::kConnectTimeout:
      return "connect timeout";
    case ClientError::kSendFailed:
      return "send failed";
    case ClientError::kReplyTimeout:
      return "reply timeout";
    case ClientError::kNoReply:
      return "no reply";
    case ClientError::kConnectionReset:
      return "connection reset";
    case ClientError::kMalformedReply:
      return "malformed reply";
  }
  return "unknown error";
}

CGatewayClient::CGatewayClient(std::string host, std::uint16_t port,
                               std::chrono::milliseconds timeout)
    : m_host(std::move(host)), m_port(port), m_timeout(timeout) {}

ExchangeResult CGatewayClient::Exchange(std::string_view request) const {
  const auto deadline = Clock::now() + m_timeout;
  std::string reason;
  const auto endpoint = ResolveIpv4(m_host, m_port, &reason);
  if (!endpoint) return Failure(ClientError::kBadHost, reason);
  const CConnection connection(m_host + ":" + std::to_string(m_port), m_timeout, deadline);
  if (auto failed = connection.Connect(*endpoint)) return std::move(*failed);
  if (auto failed = connection.Send(request)) return std::move(*failed);
  return connection.ReadUntilClose();
}
