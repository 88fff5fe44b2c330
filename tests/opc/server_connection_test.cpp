// The server connection on its own: creation and its texts, the pair of server and COM, and the
// recovery of a lost server (watchdog, give-up without calls, back-off, the group side's turns)
// without a dispatcher or a group list. The test drives the recovery timer's ticks itself.
#include "opc/server_connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opc/server_loss.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "sim/simulator.h"
#include "tests/opc/opc_test_helpers.h"
#include "tests/support/faulty_opc_server.h"

using enum OpcMethod;

namespace {

// The group side: counts its turns and checks that the server is still held when it drops.
class CGroupSide : public IServerGroups {
public:
  explicit CGroupSide(const CServerConnection& connection) : m_connection(connection) {}
  void DropServerState() override {
    ++drops;
    heldAtDrop = m_connection.Server() != nullptr;
  }
  void RestoreGroups() override { ++restores; }
  std::size_t AbandonServerState() override { return 0; }
  void LeaveServerState() override { ++leaves; }

  int drops = 0;
  int leaves = 0;
  int restores = 0;
  bool heldAtDrop = false;

private:
  const CServerConnection& m_connection;
};

class ServerConnectionTest : public ::testing::Test {
protected:
  ServerConnectionTest() {
    auto timer = std::make_unique<CManualTimer>();
    m_timer = timer.get();
    m_connection.SetRecoveryTimer(std::move(timer));
    m_connection.SetGroups(&m_groups);
  }
  ~ServerConnectionTest() override {
    m_connection.EndRecovery();
    m_connection.Release();
    EXPECT_TRUE(m_opc.AllReleased());
    EXPECT_FALSE(ComInitialised());
  }

  // Connected, with the watchdog armed.
  void Connect() {
    std::string text;
    ASSERT_EQ(m_connection.Connect(text), S_OK) << text;
    m_connection.SettleServerState();
    ASSERT_EQ(m_timer->delays.back(), 10000);
  }

  int WindowLinesWith(const std::string& text) const {
    int count = 0;
    for (const std::string& line : m_view.lines)
      count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
  }

  CScratchDir m_scratch;
  CFaultyOpcServer m_opc;
  CRecordingView m_view;
  CServerConnection m_connection{m_view, CFaultyOpcServer::kProgId};
  CGroupSide m_groups{m_connection};
  CManualTimer* m_timer = nullptr;
};

}  // namespace

TEST(ServerLossTest, LostServerCodesAndBackOff) {
  for (HRESULT code : {kRpcDisconnected, kRpcServerDied, kRpcServerDiedDne, kRpcServerUnavailable,
                       kRpcCallFailed, kRpcCallFailedDne, kObjectNotConnected})
    EXPECT_TRUE(IsServerLostCode(code)) << std::hex << code;
  for (HRESULT code : {S_OK, S_FALSE, E_FAIL, E_NOINTERFACE, CO_E_SERVER_EXEC_FAILURE,
                       OPC_E_UNKNOWNITEMID, static_cast<HRESULT>(1)})
    EXPECT_FALSE(IsServerLostCode(code)) << std::hex << code;
  std::vector<long> seconds;
  for (unsigned attempt = 0; attempt < 8; ++attempt)
    seconds.push_back(static_cast<long>(ReconnectDelay(attempt).count() / 1000));
  EXPECT_EQ(seconds, (std::vector<long>{1, 2, 4, 8, 16, 30, 30, 30}));
}

// --- Creation ------------------------------------------------------------------------------------

TEST_F(ServerConnectionTest, ConnectHoldsOneServerReferenceWithComAndReleaseEndsBoth) {
  Connect();
  ASSERT_NE(m_connection.Server(), nullptr);
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 1);
  EXPECT_EQ(m_opc.OutstandingReferences(), 1);
  EXPECT_TRUE(ComInitialised());
  m_connection.Release();
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_TRUE(m_opc.AllReleased());
  EXPECT_FALSE(ComInitialised());
}

TEST_F(ServerConnectionTest, UnknownOrEmptyProgIdFailsWithTheClsidText) {
  for (const std::u16string& progId : {std::u16string(u"No.Such.Server"), std::u16string()}) {
    CServerConnection connection(m_view, progId);
    std::string text;
    EXPECT_EQ(connection.Connect(text), CO_E_CLASSSTRING);
    EXPECT_EQ(connection.Server(), nullptr);
    EXPECT_EQ(text, progId.empty() ? "获取  的CLSID失败" : "获取 No.Such.Server 的CLSID失败");
    EXPECT_FALSE(ComInitialised());
  }
}

TEST_F(ServerConnectionTest, FactoryFailureOrExceptionGivesTheCreationTextAndNoCom) {
  std::string text;
  m_opc.SetFailure(kCreateInstance, E_OUTOFMEMORY);
  EXPECT_EQ(m_connection.Connect(text), E_OUTOFMEMORY);
  EXPECT_EQ(text, "创建 IOPCServer 对象失败");
  EXPECT_FALSE(ComInitialised());

  // An exception is a failure even with the last error 0.
  m_opc.ClearFailure(kCreateInstance);
  m_opc.SetFactoryThrows(true);
  SetSocketLastError(0);
  EXPECT_EQ(m_connection.Connect(text), E_FAIL);
  EXPECT_EQ(text, "创建 OpcServer Quarnix.FaultyServer 请求出错。错误代码：0");
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_FALSE(ComInitialised());
}

TEST_F(ServerConnectionTest, CreationThatMeetsAnEndingServerIsTriedOnceMore) {
  m_opc.SetFailure(kCreateInstance, kRpcCallFailed, 0, 1);
  std::string text;
  EXPECT_EQ(m_connection.ConnectWithRetry(text), S_OK);
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 2);
}

// --- Recovery ------------------------------------------------------------------------------------

TEST_F(ServerConnectionTest, WatchdogLossIsGivenUpWithoutCallsAndReconnectsWithBackOff) {
  Connect();
  m_opc.SetFailure(kGetStatus, kRpcServerUnavailable);
  m_connection.OnRecoveryTimer();
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_TRUE(m_connection.Recovering());
  EXPECT_EQ(m_groups.drops, 1);
  EXPECT_TRUE(m_groups.heldAtDrop);  // the group side drops before the server goes
  EXPECT_EQ(WindowLinesWith("800706ba"), 1);
  EXPECT_FALSE(ComInitialised());

  // Each new error is logged once; the waits back off to 30 s.
  m_opc.SetFailure(kCreateInstance, CO_E_SERVER_EXEC_FAILURE);
  for (int i = 0; i < 6; ++i) m_connection.OnRecoveryTimer();
  m_opc.SetFailure(kCreateInstance, kRpcServerUnavailable);
  m_connection.OnRecoveryTimer();
  EXPECT_EQ(m_timer->delays,
            (std::vector<long>{10000, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
  EXPECT_EQ(WindowLinesWith(SystemText("重新连接OpcServer失败")), 2);
  EXPECT_EQ(m_groups.restores, 0);

  // Back: the group side registers again, the watchdog resumes.
  m_opc.ClearFailure(kCreateInstance);
  m_connection.OnRecoveryTimer();
  ASSERT_NE(m_connection.Server(), nullptr);
  EXPECT_FALSE(m_connection.Recovering());
  EXPECT_EQ(m_groups.restores, 1);
  EXPECT_EQ(m_timer->delays.back(), 10000);
}

TEST_F(ServerConnectionTest, ConnectAtStartRetriesWithBackOffAndCountsNoReconnect) {
  EXPECT_EQ(m_connection.CurrentState(), CServerConnection::State::kNotYetAsked);
  m_opc.SetFailure(kCreateInstance, CO_E_SERVER_EXEC_FAILURE);
  m_connection.ConnectAtStart();
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_EQ(m_connection.CurrentState(), CServerConnection::State::kConnecting);
  m_connection.OnRecoveryTimer();
  EXPECT_EQ(m_timer->delays, (std::vector<long>{1000, 2000}));
  EXPECT_EQ(m_connection.CurrentState(), CServerConnection::State::kConnecting);

  m_opc.ClearFailure(kCreateInstance);
  m_connection.OnRecoveryTimer();
  ASSERT_NE(m_connection.Server(), nullptr);
  EXPECT_EQ(m_connection.CurrentState(), CServerConnection::State::kConnected);
  EXPECT_EQ(m_connection.Counts().reconnects, 0u);  // nothing was lost
  EXPECT_EQ(m_connection.Counts().losses, 0u);
  EXPECT_EQ(m_groups.restores, 0);
  EXPECT_EQ(m_timer->delays.back(), 10000);  // the watchdog
  EXPECT_EQ(WindowLinesWith(SystemText("将按重新连接的间隔继续重试")), 1);

  // A later loss is a loss: told apart from the start's connecting.
  m_opc.SetFailure(kGetStatus, kRpcServerUnavailable);
  m_connection.OnRecoveryTimer();
  EXPECT_EQ(m_connection.CurrentState(), CServerConnection::State::kLost);
}

TEST_F(ServerConnectionTest, OperatorStopEndsTheReconnectionAndARequestAfterALossRestores) {
  Connect();
  m_connection.NoteServerResult(kRpcDisconnected);
  m_connection.SettleServerState();
  m_connection.StopRecovery();
  EXPECT_FALSE(m_connection.Recovering());
  EXPECT_FALSE(m_timer->armed);

  // A request's connection restores only after a loss.
  std::string text;
  EXPECT_EQ(m_connection.ConnectForRequest(text), S_OK);
  EXPECT_EQ(m_groups.restores, 0);
  m_connection.NoteServerResult(kObjectNotConnected);
  m_connection.SettleServerState();
  EXPECT_EQ(m_connection.ConnectForRequest(text), S_OK);
  EXPECT_EQ(m_groups.restores, 1);
  EXPECT_EQ(m_groups.drops, 2);
}

// --- A backup server
// ------------------------------------------------------------------------------

// A primary that answers its status check with a state other than running is left, while it still
// answers, for the backup that the background check found healthy (/failover 0: at once). It
// takes the groups back only once it answers "running" again for the failback time.
TEST_F(ServerConnectionTest, APrimaryNotRunningIsLeftForTheBackupAndTakesBackOnlyWhenRunning) {
  using namespace std::chrono_literals;
  RegisterSimulator();
  FailoverSettings failover;
  failover.backupProgId = kSimulator2ProgId;
  failover.failoverSeconds = 0;
  failover.failbackSeconds = 1;
  {
    CServerConnection connection(m_view, CFaultyOpcServer::kProgId, ConnectionTimes{}, failover);
    connection.SetRecoveryTimer(std::make_unique<CManualTimer>());
    CGroupSide groups(connection);
    connection.SetGroups(&groups);
    std::string text;
    ASSERT_EQ(connection.Connect(text), S_OK) << text;
    connection.SettleServerState();
    const std::shared_ptr<CApartment> apartment = CApartment::ForCurrentThread();
    ASSERT_TRUE(apartment->RunUntil([&] { return connection.BackupAvailable(); }, 10s));
    EXPECT_FALSE(connection.BackupActive());

    m_opc.SetServerState(OPC_STATUS_FAILED);
    connection.OnRecoveryTimer();  // the watchdog's GetStatus
    EXPECT_TRUE(connection.BackupActive());
    EXPECT_EQ(u"Quarnix.Simulator.2", connection.ActiveProgId());
    EXPECT_EQ(1u, connection.Failovers());
    EXPECT_EQ(1, groups.leaves);
    EXPECT_EQ(1, groups.restores);
    EXPECT_EQ(0, groups.drops);
    EXPECT_EQ(1, WindowLinesWith(SystemText("的状态 2 持续 0 秒不是运行中")));

    // The primary is checked in the background and answers, but not "running": it stays out.
    const int asked = m_opc.CountOf(kGetStatus);
    ASSERT_TRUE(apartment->RunUntil([&] { return m_opc.CountOf(kGetStatus) >= asked + 3; }, 10s));
    EXPECT_TRUE(connection.BackupActive());
    // Running again: after the failback time the groups go back to it.
    m_opc.SetServerState(std::nullopt);
    ASSERT_TRUE(apartment->RunUntil([&] { return !connection.BackupActive(); }, 10s));
    EXPECT_EQ(2, groups.leaves);
    EXPECT_EQ(2, groups.restores);
    EXPECT_EQ(1u, connection.Failovers());
    EXPECT_EQ(1, WindowLinesWith(SystemText("主服务器已持续正常 1 秒")));
    connection.EndRecovery();
    connection.Release();
  }
}
