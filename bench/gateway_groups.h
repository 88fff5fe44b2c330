// Many active groups defined on a running gateway, a hundred to a request, for the benchmarks
// that measure how the gateway brings them back (recovery, failover).
//
// Error rule: false when a definition or an activation was not answered with code 0.
// Thread rule: the caller's thread. Ownership: none kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

// Defines groups "<prefix>0" ... "<prefix><count - 1>" (update rate 100 ms, each with items)
// under the indices 0 to count - 1, their datagrams to port, and activates them.
bool DefineAndActivateGroups(CRunningGateway& gateway, std::uint16_t port,
                             const std::string& prefix, int count,
                             const std::vector<ItemDefinition>& items);

// Defines one inactive group named name with the one item itemId (a Control item of the
// simulator, written to crash or hang it) under the next free index.
bool DefineControlGroup(CRunningGateway& gateway, std::uint16_t port, const std::string& name,
                        const std::string& itemId);
