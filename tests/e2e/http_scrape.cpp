#include "tests/e2e/http_scrape.h"

#include <cstdlib>

#include "platform/socket_api.h"
#include "tests/net/loopback.h"

std::string HttpExchange(std::uint16_t port, const std::string& request) {
  const SocketHandle socket = SocketCreate(kSockStream);
  std::string received;
  if (SocketConnect(socket, testing_loopback::LoopbackAddress(port))) {
    SocketSend(socket, request.data(), static_cast<int>(request.size()));
    char buffer[65536];
    while (SocketWaitReadable(socket, 30) > 0) {
      const int got = SocketReceive(socket, buffer, sizeof buffer);
      if (got <= 0) break;
      received.append(buffer, static_cast<std::size_t>(got));
    }
  }
  SocketClose(socket);
  return received;
}

std::string HttpGet(std::uint16_t port, const std::string& path) {
  return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string HttpStatusLine(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}

std::optional<double> SampleValue(const std::string& reply, const std::string& sample) {
  const std::string line = "\n" + sample + " ";
  const auto at = reply.find(line);
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(reply.c_str() + at + line.size(), nullptr);
}
