#include "mqtt/gateway_session.h"

#include <algorithm>
#include <stdexcept>

#include "client/request_builder.h"

CGatewaySession::CGatewaySession(const BridgeConfig& config, LogFunction log)
    : m_config(config),
      m_log(std::move(log)),
      m_client(config.gatewayHost, config.gatewayPort,
               std::chrono::seconds(config.requestTimeoutS)),
      m_groups(config.groups.size()) {}

std::optional<ExchangeResult> CGatewaySession::Ask(const std::string& request, const char* what) {
  ExchangeResult result = m_client.Exchange(request);
  if (!result.Ok()) {
    if (m_state != "unreachable") {
      m_log("gateway " + m_config.gatewayHost + ":" + std::to_string(m_config.gatewayPort) +
            " does not answer (" + what + "): " + result.message);
    }
    m_state = "unreachable";
    m_serving = false;
    return std::nullopt;
  }
  return result;
}

std::vector<int> CGatewaySession::Indices() const {
  std::vector<int> indices;
  for (const DefinedGroup& group : m_groups) {
    if (group.index >= 0) indices.push_back(group.index);
  }
  return indices;
}

bool CGatewaySession::Establish() {
  m_serving = false;
  m_typed = true;
  m_byIndex.clear();
  for (DefinedGroup& group : m_groups) group = DefinedGroup{};
  if (!RemoveLeftovers()) return false;
  for (std::size_t g = 0; g < m_groups.size(); ++g) {
    if (!DefineGroup(g)) {
      Undo();
      return false;
    }
  }
  if (!Activate()) {
    Undo();
    return false;
  }
  for (std::size_t g = 0; g < m_groups.size(); ++g) m_byIndex[m_groups[g].index] = g;
  m_serving = true;
  m_state = "connected";
  m_log("gateway: " + std::to_string(m_groups.size()) + " groups defined and active");
  return true;
}

bool CGatewaySession::RemoveLeftovers() {
  // Groups of our names are an earlier run's: the gateway keeps groups after a client left.
  std::vector<std::string> names;
  for (const BridgeGroup& group : m_config.groups) names.push_back(group.name);
  const auto reply = Ask(QueryGroupIndexesRequest(names), "Q?");
  if (!reply) return false;
  if (reply->reply.code != 0) return true;  // -1: none of them exists
  const auto indices = ReplyIndices(reply->reply.text);
  std::vector<int> leftovers;
  if (indices) {
    for (const int index : *indices) {
      if (index >= 0) leftovers.push_back(index);
    }
  }
  if (leftovers.empty()) return true;
  const auto removed = Ask(RemoveGroupsRequest(leftovers), "RM");
  if (!removed) return false;
  if (removed->reply.code != 0) {
    m_state = "refused";
    m_log("gateway refused to remove the groups of an earlier run: code " +
          std::to_string(removed->reply.code) + " " + removed->reply.text);
    return false;
  }
  m_log("gateway: removed " + std::to_string(leftovers.size()) + " groups of an earlier run");
  return true;
}

bool CGatewaySession::DefineGroup(std::size_t g) {
  const BridgeGroup& group = m_config.groups[g];
  std::vector<std::uint16_t> kept(group.items.size());
  for (std::size_t k = 0; k < kept.size(); ++k) kept[k] = static_cast<std::uint16_t>(k);
  while (!kept.empty()) {
    GroupDefinition definition{group.name, true, group.rateMs, {}};
    for (const std::uint16_t k : kept) {
      definition.items.push_back(
          ItemDefinition{group.items[k].itemId, true, group.items[k].dataType});
    }
    const auto reply = m_typed ? Ask(DefineTypedGroupsRequest({definition}, m_config.udpPort), "TD")
                               : Ask(DefineGroupsRequest({definition}, m_config.udpPort), "AD");
    if (!reply) return false;
    if (m_typed && reply->reply.code == 1 &&
        reply->reply.text.rfind("Unknown command: TD", 0) == 0) {
      m_log(
          "gateway does not know TD (an older version): defining the groups with AD; reals, "
          "strings and 64-bit values are then published as null, and timestamps are the "
          "bridge's");
      m_typed = false;
      continue;
    }
    const auto indices = reply->reply.code == 0 ? ReplyIndices(reply->reply.text) : std::nullopt;
    if (indices && indices->size() == 1) {
      m_groups[g] = DefinedGroup{indices->front(), kept};
      return true;
    }
    // "Add item <ID> on group <name> failed: ..." names an item the server does not know.
    const std::string& text = reply->reply.text;
    const auto refused = std::find_if(kept.begin(), kept.end(), [&](std::uint16_t k) {
      return text.rfind("Add item " + group.items[k].itemId + " on group " + group.name + " failed",
                        0) == 0;
    });
    const std::string replyText = "code " + std::to_string(reply->reply.code) + " " + text;
    if (refused == kept.end()) {
      m_state = "refused";
      m_log("gateway refused group '" + group.name + "': " + replyText);
      return false;
    }
    m_log("gateway refused item '" + group.items[*refused].itemId + "' of group '" + group.name +
          "', left out: " + replyText);
    kept.erase(refused);
  }
  m_state = "refused";
  m_log("gateway refused every item of group '" + group.name + "'");
  return false;
}

void CGatewaySession::Remove() {
  if (!m_serving) return;
  const ExchangeResult result = m_client.Exchange(RemoveGroupsRequest(Indices()));
  m_log(result.Ok() && result.reply.code == 0
            ? "gateway: groups removed"
            : "gateway: could not remove the groups: " +
                  (result.Ok() ? result.reply.text : result.message));
  m_serving = false;
}

void CGatewaySession::Undo() {
  const std::vector<int> indices = Indices();
  if (!indices.empty()) (void)m_client.Exchange(RemoveGroupsRequest(indices));
  for (DefinedGroup& group : m_groups) group = DefinedGroup{};
}

bool CGatewaySession::Activate() {
  const auto reply = Ask(SetGroupsActiveRequest(true, Indices()), "AC");
  if (!reply) return false;
  if (reply->reply.code != 0) {
    m_state = "refused";
    m_log("gateway refused to activate the groups: code " + std::to_string(reply->reply.code) +
          " " + reply->reply.text);
    return false;
  }
  return true;
}

bool CGatewaySession::Check() {
  std::vector<std::string> names;
  for (const BridgeGroup& group : m_config.groups) names.push_back(group.name);
  const auto reply = Ask(QueryGroupIndexesRequest(names), "Q?");
  if (!reply) return false;
  const auto indices = ReplyIndices(reply->reply.text);
  if (reply->reply.code != 0 || !indices || *indices != Indices()) {
    m_log("gateway no longer holds the bridge's groups (restarted?): defining them again");
    m_serving = false;
    m_state = "starting";
    return false;
  }
  m_state = "connected";
  return true;
}

void CGatewaySession::AskActiveServer() {
  const ExchangeResult result = m_client.Exchange(StatusRequest());
  if (!result.Ok() || result.reply.code != 0) return;
  const auto value = [&](const std::string& key) -> std::optional<std::string> {
    const std::size_t at = result.raw.find("\n" + key + "\t");
    if (at == std::string::npos) return std::nullopt;
    const std::size_t start = at + key.size() + 2;
    const std::size_t end = result.raw.find_first_of("\r\n", start);
    return result.raw.substr(start, end == std::string::npos ? std::string::npos : end - start);
  };
  const auto role = value("server_active");
  const auto progId = value("server_active_progid");
  if (role && progId)
    m_active = ActiveServer{*role, *progId};
  else
    m_active.reset();
}

bool CGatewaySession::Refresh(std::uint32_t transaction) {
  const auto reply = Ask(RefreshGroupsRequest(transaction, Indices()), "RF");
  if (!reply) return false;
  if (reply->reply.code != 0) {
    // "Group N is not registered with the server": the operator took the server down and up.
    m_log("gateway refused the refresh: code " + std::to_string(reply->reply.code) + " " +
          reply->reply.text + "; defining the groups again");
    m_serving = false;
    return false;
  }
  return true;
}

ExchangeResult CGatewaySession::Write(std::size_t group, std::uint16_t item,
                                      const std::string& value) const {
  const auto gatewayItem = GatewayItem(group, item);
  ExchangeResult result;
  if (!m_serving || !gatewayItem) {
    result.error = ClientError::kNoReply;
    result.message = m_serving ? "the gateway's server refused this item"
                               : "the gateway is not serving the bridge's groups";
    return result;
  }
  return m_client.Exchange(
      WriteSyncRequest(m_groups[group].index, {ItemWrite{*gatewayItem, value}}));
}

std::optional<std::uint16_t> CGatewaySession::ServerType(std::size_t group,
                                                         std::uint16_t item) const {
  const auto gatewayItem = GatewayItem(group, item);
  if (!m_serving || !m_typed || !gatewayItem) return std::nullopt;
  const ExchangeResult result =
      m_client.Exchange(ReadTypedRequest(m_groups[group].index, {*gatewayItem}, true));
  if (!result.Ok() || result.reply.code != 0) return std::nullopt;
  const auto values = ReplyTypedReadValues(result.reply.text);
  if (!values || values->size() != 1 || values->front().error < 0) return std::nullopt;
  return values->front().vartype;
}

std::optional<std::size_t> CGatewaySession::ConfigGroup(std::uint16_t handle) const {
  const auto found = m_byIndex.find(handle);
  if (!m_serving || found == m_byIndex.end()) return std::nullopt;
  return found->second;
}

std::optional<std::uint16_t> CGatewaySession::ConfigItem(std::size_t group,
                                                         std::uint16_t gatewayItem) const {
  const auto& items = m_groups[group].items;
  if (gatewayItem >= items.size()) return std::nullopt;
  return items[gatewayItem];
}

std::optional<std::uint16_t> CGatewaySession::GatewayItem(std::size_t group,
                                                          std::uint16_t configItem) const {
  const auto& items = m_groups[group].items;
  const auto found = std::find(items.begin(), items.end(), configItem);
  if (found == items.end()) return std::nullopt;
  return static_cast<std::uint16_t>(found - items.begin());
}
