// A lost OPC server as requests meet it: noticed from any kind of call, given up without calls
// to it, and every group registered again under its index. The test server plays the dead
// (scripted lost-server codes) and the returning server (the simulator); the test drives the
// recovery timer's ticks itself. The connection's own recovery rules (watchdog, back-off, retry)
// are tested in tests/opc/server_connection_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opc/server_loss.h"
#include "platform/codepage.h"
#include "tests/opc/opc_test_helpers.h"
#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

namespace {

std::string Code(HRESULT hr) {
  return std::to_string(static_cast<long>(hr)) + "\t";
}

}  // namespace

class ServerRecoveryTest : public DispatcherTest {
protected:
  ServerRecoveryTest() {
    auto timer = std::make_unique<CManualTimer>();
    m_timer = timer.get();
    m_dispatcher.Connection().SetRecoveryTimer(std::move(timer));
    // Group 0 active as the client set it (its item reads 300), group 1 inactive.
    Define("AD\t2\r\ng\tA\t1\r\nStatic.Int2\tA\t0\r\nh\tN\t1\r\nStatic.Boolean\tA\t0\r\n");
    Request("AC\tA\t1\r\n0\r\n");
    EXPECT_EQ(m_timer->delays.back(), 10000);  // the watchdog runs while connected
  }

  // Loses the server through the watchdog's GetStatus.
  void LoseThroughWatchdog(HRESULT code = kRpcServerUnavailable) {
    m_opc.SetFailure(kGetStatus, code);
    m_dispatcher.Connection().OnRecoveryTimer();
    m_opc.ClearFailure(kGetStatus);
    ASSERT_EQ(m_dispatcher.Connection().Server(), nullptr);
  }

  // Group names the server saw added (in order) and those it was asked to activate.
  std::vector<std::u16string> Added() {
    std::vector<std::u16string> names;
    for (const RecordedCall& call : m_opc.CallsOf(kAddGroup)) names.push_back(call.name);
    return names;
  }
  int Activations() {
    int count = 0;
    for (const RecordedCall& call : m_opc.CallsOf(kSetState)) count += call.active ? 1 : 0;
    return count;
  }

  CManualTimer* m_timer = nullptr;
};

struct LossCase {
  OpcMethod method;
  const char* request;
  bool replyCarriesCode;
};

class LossFromEveryKindOfCallTest : public ServerRecoveryTest,
                                    public ::testing::WithParamInterface<LossCase> {};

TEST_P(LossFromEveryKindOfCallTest, IsAnsweredThenGivenUpWithoutCallsAndRecovered) {
  const LossCase& c = GetParam();
  m_opc.ClearCalls();
  m_opc.SetFailure(c.method, kRpcDisconnected);
  const std::string reply = Request(c.request);
  if (c.replyCarriesCode) {
    EXPECT_EQ(reply.rfind(Code(kRpcDisconnected), 0), 0u) << reply;
  }

  // Given up: no RemoveGroup, Unadvise or RemoveItems reached the dead server.
  EXPECT_EQ(m_dispatcher.Connection().Server(), nullptr);
  EXPECT_TRUE(m_dispatcher.Connection().Recovering());
  EXPECT_TRUE(m_frame.Logged("80010108")) << MethodName(c.method);
  EXPECT_EQ(m_opc.CountOf(kRemoveGroup), c.method == kRemoveGroup ? 1 : 0);
  EXPECT_EQ(m_opc.CountOf(kUnadvise), 0);
  EXPECT_EQ(m_opc.CountOf(kRemoveItems), 0);
  EXPECT_EQ(m_timer->delays.back(), 1000);
  for (std::size_t i = 0; i < GroupCount(); ++i) {
    if (Group(i)) {
      EXPECT_EQ(Group(i)->hServerGroup, 0u);
    }
  }

  // Back: every group again under its index, the active one active, then the watchdog.
  m_opc.ClearFailure(c.method);
  m_opc.ClearCalls();
  m_dispatcher.Connection().OnRecoveryTimer();
  ASSERT_NE(m_dispatcher.Connection().Server(), nullptr);
  EXPECT_FALSE(m_dispatcher.Connection().Recovering());
  const auto added = m_opc.CallsOf(kAddGroup);
  ASSERT_GE(added.size(), 1u);
  EXPECT_EQ(added[0].name, u"g");
  EXPECT_EQ(added[0].clientHandle, 0u);
  if (added.size() > 1) {
    EXPECT_EQ(added[1].clientHandle, 1u);
  }
  EXPECT_EQ(Activations(), 1);
  EXPECT_TRUE(m_frame.Logged(SystemText("OpcServer已恢复，") + std::to_string(added.size())));
  EXPECT_EQ(m_timer->delays.back(), 10000);
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "0\t\r\n300\t192\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, LossFromEveryKindOfCallTest,
    ::testing::Values(LossCase{kSyncRead, "SR\t0\t1\t0\r\n0\r\n", true},
                      LossCase{kSyncWrite, "SW\t0\t1\r\n0\t5\r\n", true},
                      LossCase{kAsyncRead, "AR\t0\t1\t7\r\n0\r\n", true},
                      LossCase{kAsyncWrite, "AW\t0\t1\t7\r\n0\t5\r\n", true},
                      LossCase{kSetState, "AC\tN\t1\r\n1\r\n", true},
                      LossCase{kRefresh2, "RF\t7\r\n0\r\n\r\n", true},
                      LossCase{kAddGroup, "AD\t1\r\nk\tA\t1\r\nStatic.Int2\tA\t0\r\n", true},
                      LossCase{kRemoveGroup, "RM\t1\r\n1\r\n", false}),
    [](const auto& info) { return std::string(MethodName(info.param.method)); });

TEST_F(ServerRecoveryTest, ReconnectKeepsAGroupThatFailsDefined) {
  LoseThroughWatchdog();
  // The server comes back without group 1's item: it stays defined but unregistered.
  m_opc.SetItemError(kAddItems, u"Static.Boolean", OPC_E_UNKNOWNITEMID);
  m_dispatcher.Connection().OnRecoveryTimer();
  ASSERT_NE(m_dispatcher.Connection().Server(), nullptr);
  EXPECT_TRUE(m_frame.Logged(SystemText("组 h 重新加入OpcServer失败")));
  EXPECT_TRUE(m_frame.Logged(SystemText("OpcServer已恢复，1 个组已重新加入，1 个组失败")));
  ASSERT_NE(Group(1), nullptr);
  EXPECT_EQ(Request("SR\t1\t1\t0\r\n0\r\n"), "1\tGroup 1 is not registered with the server\r\n");
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "0\t\r\n300\t192\r\n");
}

TEST_F(ServerRecoveryTest, RequestsDuringTheOutageGetTheCreationFailureAndTheFirstSuccessRestores) {
  LoseThroughWatchdog();
  m_opc.SetFailure(kCreateInstance, CO_E_SERVER_EXEC_FAILURE);
  for (const char* request : {"AD\t1\r\nk\tA\t1\r\nStatic.Int2\tA\t0\r\n", "RM\t1\r\n0\r\n",
                              "SR\t0\t1\t0\r\n0\r\n", "SW\t0\t1\r\n0\t5\r\n"})
    EXPECT_EQ(Request(request).rfind(Code(CO_E_SERVER_EXEC_FAILURE), 0), 0u) << request;
  EXPECT_EQ(GroupCount(), 2u);
  ASSERT_NE(Group(0), nullptr);

  // A loss during the re-registration starts the cycle again.
  m_opc.ClearFailure(kCreateInstance);
  m_opc.SetFailure(kAddItems, kRpcServerDied, 1, 1);
  EXPECT_EQ(Request("HBT\r\n").rfind(Code(kRpcServerDied), 0), 0u);
  EXPECT_TRUE(m_dispatcher.Connection().Recovering());

  // The request whose creation succeeds brings the groups back before it is handled.
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "0\t\r\n300\t192\r\n");
  EXPECT_FALSE(m_dispatcher.Connection().Recovering());
  EXPECT_EQ(Group(1)->bActive, FALSE);
  EXPECT_EQ(Activations(), 3);  // "AC", the interrupted pass, the pass that came through
}

TEST_F(ServerRecoveryTest, OperatorCommandsEndTheAutomaticReconnection) {
  LoseThroughWatchdog();
  m_dispatcher.Registry().OnDestroyOpcServer();
  EXPECT_TRUE(m_frame.Logged(SystemText("并未创建OpcServer")));
  EXPECT_FALSE(m_dispatcher.Connection().Recovering());
  EXPECT_FALSE(m_timer->armed);

  LoseThroughWatchdog();  // lost again after a menu create: the create stops the timer too
  m_dispatcher.Registry().OnCreateOpcServer();
  EXPECT_FALSE(m_dispatcher.Connection().Recovering());
  EXPECT_TRUE(m_frame.Logged(SystemText("成功创建OpcServer")));
  EXPECT_EQ(m_timer->delays.back(), 10000);
}

TEST_F(ServerRecoveryTest, ShutdownMakesNoCallToALostServer) {
  // Found lost on the way out: the first RemoveGroup is the last call.
  m_opc.ClearCalls();
  m_opc.SetFailure(kRemoveGroup, kRpcServerUnavailable);
  m_dispatcher.Registry().DestroyOpcSide();
  EXPECT_EQ(m_opc.Calls().size(), 1u);
  EXPECT_EQ(GroupCount(), 0u);
}
