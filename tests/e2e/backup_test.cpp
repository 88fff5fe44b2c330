// A gateway with a backup server (/backup Quarnix.Simulator.2): its client keeps its groups, their
// indices and the value stream when the primary crashes or hangs, and gets them back from the
// primary once that has been healthy for /failback seconds. "Control.Instance" tells which of
// the two simulated servers answers ("Control.Instance1Only" is an item only the first knows).
// Also: both servers lost, a backup that does not exist, and /backup equal to /progId.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "client/request_builder.h"
#include "tests/e2e/datagram_inbox.h"
#include "tests/e2e/gateway_process.h"
#include "tests/e2e/running_gateway.h"
#include "tests/net/loopback.h"

namespace {

using testing_loopback::WaitUntil;
using namespace std::chrono_literals;

// The value of a status key, or "" when the reply has none.
std::string StatusValue(const CRunningGateway& gateway, const std::string& key) {
  const std::string reply = gateway.RawExchange(StatusRequest());
  const std::string prefix = "\r\n" + key + "\t";
  const std::size_t at = reply.find(prefix);
  if (at == std::string::npos) return "";
  const std::size_t start = at + prefix.size();
  return reply.substr(start, reply.find("\r\n", start) - start);
}

// A value-change datagram of group 0 whose item 0 ("Control.Instance") reads instance. Only the
// first report after a group's (re)registration carries that item: the waits below do not drain
// the inbox first, since that report may arrive before the announcement.
std::function<bool(const Notification&)> FromInstance(std::uint32_t instance) {
  return [instance](const Notification& n) {
    const Datagram& d = n.Value();
    if (!n.decoded.ok || d.kind != DatagramKind::kValueChange || d.group != 0) return false;
    for (const ItemEntry& item : d.items)
      if (item.handle == 0) return item.value == instance;
    return false;
  };
}

bool StartupAnnounced(CRunningGateway& gateway) {
  for (;;) {
    const auto datagram = gateway.Announcements().Receive(60s);
    if (!datagram) return false;
    if (datagram->bytes == "Startup Quarnix\r\n") return true;
  }
}

// After a switch to the server numbered instance (1 the primary, 2 the backup): "Startup Quarnix",
// a value change of group 0 from that server, a read of it, and ST naming the server. The read
// comes before ST: a value can arrive while the switch's turn of the UI thread still runs, and an
// ST met then is answered from the figures of before it; the read is answered after that turn
// and publishes fresh figures.
void ExpectServedBy(CRunningGateway& gateway, CDatagramInbox& inbox, std::uint32_t instance) {
  ASSERT_TRUE(StartupAnnounced(gateway)) << gateway.LogFile();
  ASSERT_TRUE(inbox.WaitFor(FromInstance(instance))) << gateway.LogFile();
  const std::string value = std::to_string(instance);
  EXPECT_EQ("0\t\r\n" + value + "\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
  EXPECT_EQ(instance == 1 ? "primary" : "backup", StatusValue(gateway, "server_active"))
      << gateway.LogFile();
}

// 0: active, Control.Instance and a counter; 1: the primary's controls.
std::string DefineFlowAndControls(std::uint16_t port, std::vector<ItemDefinition> controls) {
  return DefineGroupsRequest(
      {Group("flow", true, {{"Control.Instance", true, 0}, {"Ramp.Int4", true, 0}}),
       Group("control", false, std::move(controls))},
      port);
}

TEST(BackupTest, BackupServesTheSameGroupsWhileThePrimaryIsDownAndThePrimaryTakesThemBack) {
  CRunningGateway gateway(
      {"/backup", "Quarnix.Simulator.2", "/failover", "2", "/failback", "5", "/statuscheck", "1"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  // 2: an item that only the primary knows.
  EXPECT_EQ("0\t\r\n0\r\n1\r\n2\r\n",
            gateway.RawExchange(DefineGroupsRequest(
                {Group("flow", true, {{"Control.Instance", true, 0}, {"Ramp.Int4", true, 0}}),
                 Group("control", false, {{"Control.Restart", true, 0}}),
                 Group("primaryonly", false, {{"Control.Instance1Only", true, 0}})},
                inbox.Port())));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(FromInstance(1)));
  EXPECT_EQ("0\t\r\n1\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {0})));
  EXPECT_EQ("primary", StatusValue(gateway, "server_active"));
  // The backup is checked in the background before it is needed.
  ASSERT_TRUE(WaitUntil([&] { return StatusValue(gateway, "server_backup_available") == "1"; }));

  // The primary is down for 8 s: after 2 s the backup serves group 0 under the same index.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "8"}})));
  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 2));
  ASSERT_TRUE(inbox.WaitFor(IsGroupKind(DatagramKind::kValueChange, 0)));
  EXPECT_EQ("Quarnix.Simulator.2", StatusValue(gateway, "server_active_progid"));
  EXPECT_EQ("1", StatusValue(gateway, "server_failovers"));
  // The control group was registered there too (under index 1); the group whose item the
  // backup does not know is kept, unregistered, and a request on it says so.
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(1, {0})));
  EXPECT_EQ("1\tGroup 2 is not registered with the server\r\n",
            gateway.RawExchange(ReadSyncRequest(2, {0})));
  EXPECT_NE(
      gateway.LogFile().find(CGatewayProcess::GatewayText("组 primaryonly 重新加入OpcServer失败")),
      std::string::npos)
      << gateway.LogFile();

  // Back on the primary once it has been healthy for 5 s.
  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 1));
  EXPECT_EQ("1", StatusValue(gateway, "server_failovers"));
  EXPECT_EQ("0\t\r\n0\t192\r\n", gateway.RawExchange(ReadSyncRequest(2, {0})));
  const std::string log = gateway.LogFile();
  EXPECT_NE(log.find(CGatewayProcess::GatewayText("切换到备用OPC服务器 Quarnix.Simulator.2")),
            std::string::npos)
      << log;
  EXPECT_NE(
      log.find(CGatewayProcess::GatewayText("切换到主OPC服务器 Quarnix.Simulator，由它提供数据"
                                            "：主服务器已持续正常 5 秒")),
      std::string::npos)
      << log;
}

// The control group is registered on whichever server serves: after the failover its
// Control.Restart crashes the backup, and the healthy primary takes the groups back at once
// (/failback 0 would otherwise keep them on the backup).
TEST(BackupTest, AHungPrimaryFailsOverTooAndALostBackupGivesTheGroupsBackAtOnce) {
  CRunningGateway gateway({"/backup", "Quarnix.Simulator.2", "/failover", "2", "/failback", "0",
                           "/calltimeout", "2", "/statuscheck", "1"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  EXPECT_EQ("0\t\r\n0\r\n1\r\n",
            gateway.RawExchange(DefineFlowAndControls(
                inbox.Port(), {{"Control.Hang", true, 0}, {"Control.Restart", true, 0}})));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(FromInstance(1)));
  ASSERT_TRUE(WaitUntil([&] { return StatusValue(gateway, "server_backup_available") == "1"; }));

  // An 8 s hang: found at the next status check, given up 2 s later.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "8"}})));
  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 2));
  // The primary's checks see the hang end; with /failback 0 the backup goes on serving. (The
  // wait also leaves no hung server behind for the next test where the server is a process.)
  ASSERT_TRUE(WaitUntil(
      [&] {
        return gateway.LogFile().find(CGatewayProcess::GatewayText(
                   "主OPC服务器 Quarnix.Simulator 又能应答状态查询")) != std::string::npos;
      },
      30s))
      << gateway.LogFile();
  EXPECT_EQ("0\t\r\n2\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
  EXPECT_EQ("1", StatusValue(gateway, "server_failovers"));

  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{1, "5"}})));
  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 1));
  EXPECT_EQ("1", StatusValue(gateway, "server_failovers"));
  EXPECT_NE(gateway.LogFile().find(CGatewayProcess::GatewayText(
                "由它提供数据：备用服务器 Quarnix.Simulator.2 已失去，主服务器正常")),
            std::string::npos)
      << gateway.LogFile();
}

// Both servers lost: the backup, crashed after the primary, comes back first and serves the
// groups under their indices; the primary takes them back once it is back and healthy.
TEST(BackupTest, WithBothServersLostTheOneBackFirstServes) {
  CRunningGateway gateway(
      {"/backup", "Quarnix.Simulator.2", "/failover", "2", "/failback", "3", "/statuscheck", "1"});
  ASSERT_TRUE(gateway.Ready());
  CDatagramInbox inbox;
  ASSERT_TRUE(inbox.Open());
  EXPECT_EQ("0\t\r\n0\r\n1\r\n", gateway.RawExchange(DefineFlowAndControls(
                                     inbox.Port(), {{"Control.Restart", true, 0}})));
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(SetGroupsActiveRequest(true, {0})));
  ASSERT_TRUE(inbox.WaitFor(FromInstance(1)));
  ASSERT_TRUE(WaitUntil([&] { return StatusValue(gateway, "server_backup_available") == "1"; }));

  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "15"}})));
  ASSERT_TRUE(StartupAnnounced(gateway)) << gateway.LogFile();
  ASSERT_TRUE(inbox.WaitFor(FromInstance(2))) << gateway.LogFile();
  // The control group is on the backup now: its own crash leaves no server at all for 3 s.
  EXPECT_EQ("0\t\r\n", gateway.RawExchange(WriteSyncRequest(1, {{0, "3"}})));
  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 2));
  EXPECT_EQ("1", StatusValue(gateway, "server_failovers"));
  EXPECT_NE(gateway.LogFile().find(CGatewayProcess::GatewayText(
                "备用OPC服务器 Quarnix.Simulator.2 已恢复，由它继续提供数据")),
            std::string::npos)
      << gateway.LogFile();

  ASSERT_NO_FATAL_FAILURE(ExpectServedBy(gateway, inbox, 1));
}

TEST(BackupTest, ABackupThatDoesNotExistLeavesThePrimaryServingAndIsLoggedOnce) {
  CRunningGateway gateway({"/backup", "No.Such.Server", "/failover", "1"});
  ASSERT_TRUE(gateway.Ready());
  EXPECT_EQ("0\t\r\n0\r\n", gateway.RawExchange(DefineGroupsRequest(
                                {Group("flow", false, {{"Control.Instance", true, 0}})},
                                gateway.AnnouncementPort())));
  EXPECT_EQ("0\t\r\n1\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
  const std::string line = CGatewayProcess::GatewayText("备用OPC服务器 No.Such.Server 不可用");
  ASSERT_TRUE(WaitUntil([&] { return gateway.LogFile().find(line) != std::string::npos; }))
      << gateway.LogFile();
  // The backup is checked every second; its failure is not logged again within the minute.
  const double since = std::stod(StatusValue(gateway, "uptime_seconds"));
  ASSERT_TRUE(
      WaitUntil([&] { return std::stod(StatusValue(gateway, "uptime_seconds")) > since + 3; }));
  const std::string log = gateway.LogFile();
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
  EXPECT_EQ("primary", StatusValue(gateway, "server_active"));
  EXPECT_EQ("0", StatusValue(gateway, "server_backup_available"));
  EXPECT_EQ("0\t\r\n1\t192\r\n", gateway.RawExchange(ReadSyncRequest(0, {0})));
}

TEST(BackupTest, ABackupEqualToTheProgIdIsRefusedAtStart) {
  const std::filesystem::path dir = CGatewayProcess::MakeWorkDirectory();
  {
    testing_loopback::UdpReceiver receiver;
    CGatewayProcess gateway(
        {"/s", "/lp", std::to_string(FreeLoopbackPort()), "/rp", std::to_string(receiver.Port()),
         "/progId", "Quarnix.Simulator", "/backup", "quarnix.simulator"},
        dir);
    ASSERT_TRUE(gateway.WaitForExit(60s));
    EXPECT_NE(0, gateway.ExitCode());
    EXPECT_NE(gateway.StandardOutput().find(CGatewayProcess::GatewayText(
                  "备用OPC服务器 /backup quarnix.simulator 与主服务器 /progId 相同")),
              std::string::npos)
        << gateway.StandardOutput();
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
