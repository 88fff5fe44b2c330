// The end of a gateway's life: "Exit" in background mode and SIGTERM with work in progress.
#include <gtest/gtest.h>

#include <csignal>

#include "client/request_builder.h"
#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::TcpClient;
using testing_loopback::WaitUntil;

TEST(LifecycleTest, ExitIsDeclinedInBackgroundModeAndSigtermEndsTheGatewayCleanly) {
  CRunningGateway gateway;
  ASSERT_TRUE(gateway.Ready());

  // "Exit" is answered; with nobody to confirm the close, the gateway logs that it declined it
  // and goes on serving.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange("Exit\r\n"));
  // (The line ends by naming the platform's stop request, which differs between the builds.)
  const std::string declined =
      " " + CGatewayProcess::GatewayText("后台模式下收到关闭请求，已忽略；");
  EXPECT_TRUE(WaitUntil([&] { return gateway.LogFile().find(declined) != std::string::npos; }))
      << gateway.LogFile();
  EXPECT_EQ("0\tHBT OK!\r\n", gateway.RawExchange("HBT\r\n"));
  EXPECT_FALSE(gateway.Process().WaitForExit(std::chrono::milliseconds(0)));

  // Work in progress at the signal: an active group sending value changes, a silent client.
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  GroupDefinition group;
  group.name = "busy";
  group.updateRate = 10;
  group.items.push_back(ItemDefinition{"Ramp.Int4", true, 3});
  EXPECT_EQ("0\t\r\n0\r\n", gateway.RawExchange(DefineGroupsRequest({group}, inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(IsKind(DatagramKind::kValueChange)));
  TcpClient silent(gateway.ListenPort());
  ASSERT_TRUE(silent.Connected());

  gateway.Process().Signal(SIGTERM);
  const auto exitDatagram = gateway.Announcements().Receive(std::chrono::seconds(60));
  ASSERT_TRUE(exitDatagram);
  EXPECT_EQ("Exit Quarnix\r\n", exitDatagram->bytes);
  ASSERT_TRUE(gateway.Process().WaitForExit(std::chrono::seconds(60)));
  EXPECT_EQ(0, gateway.Process().ExitCode());
  EXPECT_EQ("", gateway.Process().StandardOutput());
  // The listening port is closed.
  TcpClient late(gateway.ListenPort());
  EXPECT_FALSE(late.Connected());
}

}  // namespace
