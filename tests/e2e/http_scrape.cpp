#include "tests/e2e/http_scrape.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

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

std::map<std::string, double> ParsedScrape(const std::string& reply) {
  const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
  const std::string in = "metrics_scrape.txt";
  const std::string out = "metrics_parsed.txt";
  std::ofstream(in, std::ios::binary) << body;
  const std::string command =
      "/usr/bin/python3 " QUARNIX_SOURCE_DIR "/tests/e2e/parse_metrics.py " + in + " > " + out;
  EXPECT_EQ(0, std::system(command.c_str())) << body;
  std::map<std::string, double> samples;
  std::ifstream parsed(out);
  for (std::string line; std::getline(parsed, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.rfind(' ');
    samples[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
  }
  return samples;
}
