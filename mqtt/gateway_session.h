// The bridge's groups on the gateway: defined with "TD" (typed datagrams), activated with "AC",
// checked with "Q?", refreshed with "RF", written with "SW", each as one request of the client
// library. A gateway that answers "TD" with "Unknown command: TD" (an older version) gets "AD"
// instead, with a line in the log; each Establish tries "TD" again.
//
// Establish first removes groups of the configured names that an earlier run left on the gateway
// ("Q?", "RM"), then defines each group in a request of its own with the bridge's UDP port. An
// item the server refuses is logged with the gateway's reply and left out, and the group is
// defined again without it; any other refusal undoes what was defined and fails (the caller
// tries again later). Check asks for the groups by name: a gateway that restarted (or lost
// them) no longer answers with the same indices. Items keep their configured positions for
// the caller: ConfigItem and GatewayItem translate between those and the gateway's item indices.
//
// Error rule: nothing throws; each call returns whether it succeeded and logs why not.
// Thread rule: one thread; requests block for at most the configured timeout.
// Ownership: the session owns its client and its index tables.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/gateway_client.h"
#include "mqtt/bridge_config.h"
#include "mqtt/topic_payload.h"

using LogFunction = std::function<void(const std::string& line)>;

class CGatewaySession {
public:
  CGatewaySession(const BridgeConfig& config, LogFunction log);

  // Defines and activates every group; true when all are serving.
  bool Establish();
  // True when the gateway still holds every group under its index.
  bool Check();
  // "AC A" for every group (after the gateway announced its start: a server created again
  // registers the groups inactive).
  bool Activate();
  // "RF" for every group, with the transaction number given.
  bool Refresh(std::uint32_t transaction);
  // "SW" of one item (configuration group and item position) with the value's text.
  ExchangeResult Write(std::size_t group, std::uint16_t item, const std::string& value) const;
  // The VARTYPE in which the server holds an item ("TR" from its cache); nullopt when the
  // gateway cannot say (an older gateway, a failed read, no connection).
  std::optional<std::uint16_t> ServerType(std::size_t group, std::uint16_t item) const;
  // True when the groups were defined with "TD".
  bool Typed() const { return m_typed; }

  // "RM" of the groups, when the bridge stops: the gateway stops sending their datagrams.
  void Remove();
  // Forgets the groups (after a failed check): the next Establish starts over.
  void Lost() { m_serving = false; }
  bool Serving() const { return m_serving; }
  // "connected", "unreachable", "refused" (requests answered with errors) or "starting".
  const std::string& StateText() const { return m_state; }
  // "ST": the server that serves the gateway, kept for the status message; nothing when the
  // gateway has no backup server (or does not say). A failure changes nothing else.
  void AskActiveServer();
  const std::optional<ActiveServer>& Active() const { return m_active; }

  // The configuration group of a datagram's group handle, when it is one of ours.
  std::optional<std::size_t> ConfigGroup(std::uint16_t handle) const;
  // The configured item position of a gateway item index (nullopt for none).
  std::optional<std::uint16_t> ConfigItem(std::size_t group, std::uint16_t gatewayItem) const;
  // The gateway's item index of a configured item (nullopt when the server refused it).
  std::optional<std::uint16_t> GatewayItem(std::size_t group, std::uint16_t configItem) const;

private:
  struct DefinedGroup {
    int index = -1;                    // the gateway's local index
    std::vector<std::uint16_t> items;  // configured positions of the gateway's items, in order
  };
  std::optional<ExchangeResult> Ask(const std::string& request, const char* what);
  bool RemoveLeftovers();
  bool DefineGroup(std::size_t group);
  void Undo();
  std::vector<int> Indices() const;

  const BridgeConfig& m_config;
  LogFunction m_log;
  CGatewayClient m_client;
  std::optional<ActiveServer> m_active;
  std::vector<DefinedGroup> m_groups;
  std::unordered_map<int, std::size_t> m_byIndex;
  bool m_serving = false;
  bool m_typed = true;
  std::string m_state = "starting";
};
