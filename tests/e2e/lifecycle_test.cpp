// The end of a gateway's life: "Exit" in background mode and SIGTERM with work in progress.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

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

// In background mode nobody sees the window's pane, so the log file gets its lines too (each
// once, also those that go to both), and records each start and normal stop.
TEST(LifecycleTest, BackgroundModeKeepsThePaneLinesAndEachStartAndStopInTheLogFile) {
  CRunningGateway gateway({"/progId", "No.Such.Server"});
  ASSERT_TRUE(gateway.Ready());
  const std::string started = CGatewayProcess::GatewayText("Quarnix 1.0.0 启动，选项：/rh ");
  const std::string opened =
      CGatewayProcess::GatewayText("成功打开套接字端口") + std::to_string(gateway.ListenPort());
  std::string log = gateway.LogFile();
  EXPECT_NE(std::string::npos, log.find(started)) << log;
  EXPECT_NE(std::string::npos,
            log.find(" /lp " + std::to_string(gateway.ListenPort()) + " /progId No.Such.Server /s"))
      << log;
  const std::size_t first = log.find(opened);
  ASSERT_NE(std::string::npos, first) << log;
  EXPECT_EQ(std::string::npos, log.find(opened, first + 1)) << log;  // on file once
  EXPECT_NE(std::string::npos, log.find(CGatewayProcess::GatewayText("尝试启动监听线程"))) << log;

  // A request that cannot create the OPC server: its lines are on record.
  const std::string reply = gateway.RawExchange("HBT\r\n");
  EXPECT_EQ(0u, reply.rfind("-", 0)) << reply;
  // (The reply goes out before its line is logged.)
  const std::string failed = CGatewayProcess::GatewayText(" 创建OpcServer错误：");
  EXPECT_TRUE(WaitUntil([&] { return gateway.LogFile().find(failed) != std::string::npos; }))
      << gateway.LogFile();
  log = gateway.LogFile();
  EXPECT_NE(std::string::npos,
            log.find(CGatewayProcess::GatewayText("处理请求 HBT 前尝试创建OpcServer")))
      << log;
  EXPECT_EQ(std::string::npos, log.find(CGatewayProcess::GatewayText("正常停止"))) << log;

  ASSERT_TRUE(gateway.Stop());
  EXPECT_EQ(0, gateway.Process().ExitCode());
  log = gateway.LogFile();
  EXPECT_NE(std::string::npos, log.find(CGatewayProcess::GatewayText(" Quarnix 1.0.0 正常停止")))
      << log;
}

// The log file stays open; when a rotation renames it, the gateway notices within a second and
// goes on in a new file, and the stop line at SIGTERM is not lost.
TEST(LifecycleTest, RenamedLogFileIsFollowedByANewOneAndTheStopLineReachesIt) {
  CRunningGateway gateway({"/progId", "No.Such.Server"});
  ASSERT_TRUE(gateway.Ready());
  const auto logFile = gateway.WorkDirectory() / "RV_Morvantel.log";
  const auto rotated = gateway.WorkDirectory() / "RV_Morvantel.log.1";
  std::filesystem::rename(logFile, rotated);
  // Each request logs that it tries to create the server; soon one goes to a new file (its
  // reply may come before its lines are logged).
  const std::string tried = CGatewayProcess::GatewayText("处理请求 HBT 前尝试创建OpcServer");
  EXPECT_TRUE(WaitUntil([&] {
    gateway.RawExchange("HBT\r\n");
    return gateway.LogFile().find(tried) != std::string::npos;
  })) << gateway.LogFile();
  ASSERT_TRUE(gateway.Stop());
  const std::string stopped = CGatewayProcess::GatewayText(" Quarnix 1.0.0 正常停止");
  EXPECT_NE(std::string::npos, gateway.LogFile().find(stopped)) << gateway.LogFile();
  std::ifstream old(rotated, std::ios::binary);
  const std::string before((std::istreambuf_iterator<char>(old)), {});
  EXPECT_NE(std::string::npos, before.find(CGatewayProcess::GatewayText("Quarnix 1.0.0 启动")));
  EXPECT_EQ(std::string::npos, before.find(stopped));
}

}  // namespace
