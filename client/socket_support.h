// Small helpers shared by the client library's socket code: name resolution and address text.
//
// Error rule: nothing throws; failures return nullopt with a reason. Thread rule: any thread.
// Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// An IPv4 endpoint with address and port in network byte order.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// A dotted address or a host name resolved to its first IPv4 address.
std::optional<Ipv4Endpoint> ResolveIpv4(const std::string& host, std::uint16_t port,
                                        std::string* reason);

// "a.b.c.d:port".
std::string EndpointText(const Ipv4Endpoint& endpoint);
