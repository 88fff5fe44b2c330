// A test fixture whose tests share one gateway process (started once per test suite), and
// small request helpers on top of the client library.
//
// Tests of one suite run in order against the same gateway, so each uses group names of its
// own (UniqueGroupName) and learns its groups' local indices from the replies.
// Error rule: helpers report failures through gtest expectations and return empty results.
// Thread rule: the helpers may be called from several test threads at once (each request has
// its own connection). Ownership: the suite owns the gateway from SetUpTestSuite to
// TearDownTestSuite.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/gateway_reply.h"
#include "client/request_builder.h"
#include "tests/e2e/running_gateway.h"

class SharedGatewayTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { s_gateway = std::make_unique<CRunningGateway>(); }
  static void TearDownTestSuite() { s_gateway.reset(); }
  void SetUp() override { ASSERT_TRUE(s_gateway && s_gateway->Ready()) << "gateway did not start"; }

  static CRunningGateway& Gateway() { return *s_gateway; }
  static std::string Raw(const std::string& request) { return s_gateway->RawExchange(request); }

  // Defines the groups (receive port as given) and returns their local indices; empty after a
  // failure, which the test then reports.
  static std::vector<int> Define(const std::vector<GroupDefinition>& groups,
                                 std::uint16_t receivePort = 0) {
    const ExchangeResult result = s_gateway->Exchange(DefineGroupsRequest(groups, receivePort));
    EXPECT_TRUE(result.Ok()) << result.message;
    if (!result.Ok()) return {};
    EXPECT_EQ(0, result.reply.code) << result.raw;
    const auto indices = ReplyIndices(result.reply.text);
    if (result.reply.code != 0 || !indices) return {};
    return *indices;
  }
  static int DefineOne(const GroupDefinition& group, std::uint16_t receivePort = 0) {
    const std::vector<int> indices = Define({group}, receivePort);
    return indices.size() == 1 ? indices[0] : -1;
  }

  static GroupDefinition Group(const std::string& name, std::vector<ItemDefinition> items,
                               bool active = true, std::optional<std::int32_t> rate = {}) {
    GroupDefinition group;
    group.name = name;
    group.active = active;
    group.updateRate = rate;
    group.items = std::move(items);
    return group;
  }
  static ItemDefinition Item(const std::string& id, std::uint16_t type = 0, bool active = true) {
    ItemDefinition item;
    item.itemId = id;
    item.dataType = type;
    item.active = active;
    return item;
  }

  inline static std::unique_ptr<CRunningGateway> s_gateway;
};

// Data types used by the tests (VARTYPE numbers).
constexpr std::uint16_t kVtI2 = 2;
constexpr std::uint16_t kVtI4 = 3;
constexpr std::uint16_t kVtBool = 11;
constexpr std::uint16_t kVtUi1 = 17;
constexpr std::uint16_t kVtUi4 = 19;
