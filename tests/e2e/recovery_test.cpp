// The gateway survives its OPC server: the simulator crashes through "Control.Restart" while an
// active group sends values, and without any request the gateway notices, reconnects, registers
// the groups again under their indices and announces it; the client's values flow on.
#include <gtest/gtest.h>

#include <chrono>

#include "client/request_builder.h"
#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::WaitUntil;
using namespace std::chrono_literals;

GroupDefinition Group(const std::string& name, bool active, std::vector<ItemDefinition> items) {
  GroupDefinition group;
  group.name = name;
  group.active = active;
  group.updateRate = 50;
  group.items = std::move(items);
  return group;
}

TEST(RecoveryTest, ValuesComeBackUnderTheSameGroupAfterTheServerRestarts) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  // 0: active counter; 1: inactive counter; 2: the restart control and a memory item.
  EXPECT_EQ(
      "0\t\r\n0\r\n1\r\n2\r\n",
      gateway.RawExchange(DefineGroupsRequest(
          {Group("flowing", true, {{"Ramp.Int4", true, 0}}),
           Group("idle", false, {{"Ramp.Int4", true, 0}}),
           Group("control", false, {{"Control.Restart", true, 0}, {"Memory.Int4.r", true, 0}})},
          inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{1, "7"}})));

  // One second of downtime; the write is answered first.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{0, "1"}})));
  const auto startup = [&] {
    for (;;) {
      const auto datagram = gateway.Announcements().Receive(60s);
      if (!datagram || datagram->bytes == "Startup Quarnix\r\n") return datagram.has_value();
    }
  };
  ASSERT_TRUE(startup()) << gateway.LogFile();

  // Values of the active group flow again under its index, without any request; the inactive
  // group stays silent.
  inbox.Drain();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  inbox.SendMarker("marker");
  for (;;) {
    const auto next = inbox.Next();
    ASSERT_TRUE(next);
    if (next->bytes == "marker") break;
    EXPECT_EQ(next->Value().group, 0) << ToHex(next->bytes);
  }

  // The old indices serve every request; the new server remembers nothing.
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {1})));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(2, {{1, "9"}})));
  EXPECT_EQ("0\t\r\n9\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {1})));
  EXPECT_EQ("0\t\r\n1\r\n", gateway.RawExchange(QueryGroupIndexesRequest({"idle"})));
  EXPECT_EQ(0, gateway.RawExchange(RefreshGroupsRequest(5, {0})).rfind("0\t", 0));
  EXPECT_TRUE(WaitUntil([&] {
    return gateway.LogFile().find(CGatewayProcess::GatewayText(
               "OpcServer已恢复，3 个组已重新加入")) != std::string::npos;
  })) << gateway.LogFile();
}

}  // namespace
