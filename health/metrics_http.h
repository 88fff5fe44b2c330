// The HTTP side of the metrics port, without sockets: recognising the end of a request head,
// reading its request line, and the reply to each request.
//
//   GET /metrics   200, the Prometheus text (prometheus_text.h); 503 when no figures came
//   GET /health    200 when the OPC server is connected, else 503 (a line of text says why)
//   HEAD of both   the same status and headers without the body
//   other method   405 on those two paths; any other path 404; a malformed head 400
// Every reply is HTTP/1.0 with Content-Length and "Connection: close".
//
// Error rule: nothing throws; a head that cannot be read is a 400. Thread rule: any thread.
// Ownership: values returned.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "health/gateway_status.h"

// The most bytes of a request head read; a longer head is answered 400.
inline constexpr std::size_t kMostHttpHeadBytes = 8192;

enum class HttpHeadScan { kIncomplete, kComplete, kTooLong };
// Whether the bytes received so far hold a whole request head (up to an empty line).
HttpHeadScan ScanHttpHead(std::string_view received);

struct HttpRequestLine {
  std::string method;
  std::string path;  // the target without its query
};
// "METHOD SP TARGET SP HTTP/1.x" as the head's first line; nullopt when malformed.
std::optional<HttpRequestLine> ParseHttpRequestLine(std::string_view head);

struct HttpReply {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  bool headOnly = false;  // HEAD: the headers only
  // The bytes on the wire.
  std::string Bytes() const;
};

// A reply of the given status with a line of text.
HttpReply PlainReply(int status, std::string body);
// 200 with a Prometheus exposition text.
HttpReply PrometheusReply(std::string text);

// The reply to a request on the metrics port's two paths (nullopt: malformed), the status
// codes and method rules above; only the page asked for is made.
using HttpPage = std::function<HttpReply()>;
HttpReply PathsReply(const std::optional<HttpRequestLine>& request, const HttpPage& metrics,
                     const HttpPage& health);

// The figures when they can be had, else nullopt (the UI thread did not answer in time).
using StatusSource = std::function<std::optional<GatewayStatus>()>;
// The reply to a request (nullopt: malformed). Asks source only for /metrics and /health.
HttpReply MetricsReply(const std::optional<HttpRequestLine>& request, const StatusSource& source);
