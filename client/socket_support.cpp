#include "client/socket_support.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

std::optional<Ipv4Endpoint> ResolveIpv4(const std::string& host, std::uint16_t port,
                                        std::string* reason) {
  Ipv4Endpoint endpoint;
  endpoint.port = htons(port);
  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    endpoint.address = parsed.s_addr;
    return endpoint;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error != 0 || found == nullptr) {
    if (reason != nullptr) {
      *reason = "cannot resolve host \"" + host +
                "\": " + (error != 0 ? ::gai_strerror(error) : "no IPv4 address");
    }
    return std::nullopt;
  }
  endpoint.address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return endpoint;
}

std::string EndpointText(const Ipv4Endpoint& endpoint) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr address{};
  address.s_addr = endpoint.address;
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(endpoint.port));
}
