#include "bench/gateway_groups.h"

#include <chrono>

#include "client/gateway_reply.h"

namespace {

constexpr int kGroupsPerRequest = 100;

}  // namespace

bool DefineAndActivateGroups(CRunningGateway& gateway, std::uint16_t port,
                             const std::string& prefix, int count,
                             const std::vector<ItemDefinition>& items) {
  for (int first = 0; first < count; first += kGroupsPerRequest) {
    std::vector<GroupDefinition> groups;
    std::vector<int> indices;
    for (int g = first; g < count && g < first + kGroupsPerRequest; ++g) {
      GroupDefinition group;
      group.name = prefix + std::to_string(g);
      group.updateRate = 100;
      group.items = items;
      groups.push_back(std::move(group));
      indices.push_back(g);
    }
    const ExchangeResult defined =
        gateway.Exchange(DefineGroupsRequest(groups, port), std::chrono::seconds(120));
    if (!defined.Ok() || defined.reply.code != 0) return false;
    const ExchangeResult activated = gateway.Exchange(SetGroupsActiveRequest(true, indices));
    if (!activated.Ok() || activated.reply.code != 0) return false;
  }
  return true;
}

bool DefineControlGroup(CRunningGateway& gateway, std::uint16_t port, const std::string& name,
                        const std::string& itemId) {
  GroupDefinition control;
  control.name = name;
  control.active = false;
  control.items.push_back(ItemDefinition{itemId, true, 0});
  const ExchangeResult defined = gateway.Exchange(DefineGroupsRequest({control}, port));
  return defined.Ok() && defined.reply.code == 0;
}
