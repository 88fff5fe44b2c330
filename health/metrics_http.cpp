#include "health/metrics_http.h"

#include "health/prometheus_text.h"
#include "platform/process_figures.h"

namespace {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    default:
      return "Service Unavailable";
  }
}

constexpr char kNoFigures[] =
    "the gateway's UI thread did not answer in time: it is busy or hung\n";

HttpReply Metrics(const StatusSource& source) {
  const std::optional<GatewayStatus> status = source();
  if (!status) return PlainReply(503, kNoFigures);
  return PrometheusReply(PrometheusText(*status, ReadProcessFigures()));
}

HttpReply Health(const StatusSource& source) {
  const std::optional<GatewayStatus> status = source();
  if (!status) return PlainReply(503, kNoFigures);
  if (status->AwaitingFirstRequest()) {
    // Not a loss: the server is connected at the first request, as started.
    return PlainReply(
        503,
        "the OPC server is not connected yet: no request has asked for it (nothing was "
        "lost; start the gateway with /connect to connect it at start)\n");
  }
  if (!status->serverConnected) return PlainReply(503, "the OPC server is not connected\n");
  return PlainReply(200, "ok: the OPC server is connected\n");
}

}  // namespace

HttpHeadScan ScanHttpHead(std::string_view received) {
  const std::size_t crlf = received.find("\r\n\r\n");
  const std::size_t lf = received.find("\n\n");
  const std::size_t end = std::min(crlf == std::string_view::npos ? crlf : crlf + 4,
                                   lf == std::string_view::npos ? lf : lf + 2);
  if (end != std::string_view::npos && end <= kMostHttpHeadBytes) return HttpHeadScan::kComplete;
  if (received.size() >= kMostHttpHeadBytes) return HttpHeadScan::kTooLong;
  return HttpHeadScan::kIncomplete;
}

std::optional<HttpRequestLine> ParseHttpRequestLine(std::string_view head) {
  const std::size_t end = head.find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view line = head.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (first == 0 || second == std::string_view::npos) return std::nullopt;
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (target.empty() || target[0] != '/' || version.substr(0, 7) != "HTTP/1." ||
      version.size() != 8) {
    return std::nullopt;
  }
  for (const char c : method)
    if (c < 'A' || c > 'Z') return std::nullopt;
  for (const char c : target)
    if (static_cast<unsigned char>(c) <= ' ' || c == 127) return std::nullopt;
  return HttpRequestLine{std::string(method), std::string(target.substr(0, target.find('?')))};
}

std::string HttpReply::Bytes() const {
  std::string bytes = "HTTP/1.0 " + std::to_string(status) + ' ' + ReasonPhrase(status) + "\r\n";
  bytes += "Content-Type: " + contentType + "\r\n";
  bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (status == 405) bytes += "Allow: GET, HEAD\r\n";
  bytes += "Connection: close\r\n\r\n";
  if (!headOnly) bytes += body;
  return bytes;
}

HttpReply PlainReply(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

HttpReply PrometheusReply(std::string text) {
  HttpReply reply = PlainReply(200, std::move(text));
  reply.contentType = kPrometheusContentType;
  return reply;
}

HttpReply PathsReply(const std::optional<HttpRequestLine>& request, const HttpPage& metrics,
                     const HttpPage& health) {
  if (!request) return PlainReply(400, "malformed request\n");
  const bool isMetrics = request->path == "/metrics";
  if (!isMetrics && request->path != "/health")
    return PlainReply(404, "not found: this port serves /metrics and /health\n");
  const bool head = request->method == "HEAD";
  if (!head && request->method != "GET") return PlainReply(405, "only GET and HEAD are served\n");
  HttpReply reply = isMetrics ? metrics() : health();
  reply.headOnly = head;
  return reply;
}

HttpReply MetricsReply(const std::optional<HttpRequestLine>& request, const StatusSource& source) {
  return PathsReply(
      request, [&] { return Metrics(source); }, [&] { return Health(source); });
}
