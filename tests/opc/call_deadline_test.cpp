// The deadline on server calls: the watchdog cancels the owning thread's call once it is past
// the deadline and leaves shorter calls and other threads alone; after a cancelled call the
// connection tells a slow server (it still answers GetStatus) from a hung one (lost, its objects
// given up without calls). Hangs come from the simulator's "Control.Hang".
#include "opc/call_deadline.h"

#include <gtest/gtest.h>

#include <thread>

#include "opc/server_connection.h"
#include "platform/codepage.h"
#include "sim/simulator.h"
#include "tests/opc/opc_test_helpers.h"
#include "tests/support/faulty_opc_server.h"

using namespace std::chrono_literals;

TEST(CallDeadlineTest, OnlyTheOwnersCallPastTheDeadlineIsCancelled) {
  CCallDeadline deadline(200ms);
  {
    ComCallFrame frame("Quick");
    EXPECT_EQ(frame.Block(20ms), S_OK);
  }
  EXPECT_FALSE(deadline.TakeCancelled());

  // Another thread's call is not the watchdog's business.
  std::thread other([] {
    ComCallFrame frame("Elsewhere");
    EXPECT_EQ(frame.Block(400ms), S_OK);
  });
  other.join();
  EXPECT_FALSE(deadline.TakeCancelled());

  {
    ComCallFrame frame("Stuck");
    EXPECT_EQ(frame.Block(60s), RPC_E_CALL_CANCELED);  // returns at the deadline, not after 60 s
  }
  const std::optional<CancelledCall> cancelled = deadline.TakeCancelled();
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->method, "Stuck");
  EXPECT_GE(cancelled->lasted, 200ms);
  EXPECT_FALSE(deadline.TakeCancelled());  // taken once
}

namespace {

class CAbandoningGroups : public IServerGroups {
public:
  void DropServerState() override { ++drops; }
  void RestoreGroups() override { ++restores; }
  std::size_t AbandonServerState() override {
    ++abandons;
    return 3;
  }
  void LeaveServerState() override {}
  int drops = 0;
  int abandons = 0;
  int restores = 0;
};

// A connection to the simulator whose calls the simulator makes hang.
class SlowOrHungTest : public ::testing::Test {
protected:
  SlowOrHungTest() { m_connection.SetGroups(&m_groups); }
  ~SlowOrHungTest() override {
    m_connection.EndRecovery();
    m_connection.Release();
    SimulatorHang(std::chrono::milliseconds(0));  // the next test starts on a server that answers
  }

  // Connected; then every call hangs for seconds, and the deadline is deadline.
  void ConnectThenHang(int seconds, std::chrono::milliseconds deadline) {
    std::string text;
    ASSERT_EQ(m_connection.Connect(text), S_OK) << text;
    m_connection.Deadline().SetTimeout(deadline);
    SimulatorHang(std::chrono::seconds(seconds));
  }

  HRESULT CallGetStatus() {
    OPCSERVERSTATUS* status = nullptr;
    const HRESULT hr = m_connection.NoteServerResult(m_connection.Server()->GetStatus(&status));
    if (status != nullptr) {
      CoTaskMemFree(status->szVendorInfo);
      CoTaskMemFree(status);
    }
    return hr;
  }

  bool Logged(const std::string& part) const {
    for (const std::string& line : m_view.lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

  CScratchDir m_scratch;
  CFaultyOpcServer m_opc;
  CRecordingView m_view;
  CServerConnection m_connection{m_view, CFaultyOpcServer::kProgId};
  CAbandoningGroups m_groups;
};

}  // namespace

TEST_F(SlowOrHungTest, ServerThatAnswersStatusAfterACancelledCallIsSlowAndStaysConnected) {
  // The call is cancelled at 0.7 s; the status check (0.5 s) meets the end of the 1 s hang.
  ConnectThenHang(1, 700ms);
  EXPECT_EQ(CallGetStatus(), RPC_E_CALL_CANCELED);
  EXPECT_FALSE(m_connection.ServerLost());
  EXPECT_TRUE(Logged("调用OpcServer的 GetStatus 在 0.7 秒后仍未返回，已取消；OpcServer仍能应答"))
      << (m_view.lines.empty() ? "" : m_view.lines.back());
  m_connection.SettleServerState();
  EXPECT_NE(m_connection.Server(), nullptr);
  EXPECT_EQ(m_groups.abandons + m_groups.drops, 0);
}

TEST_F(SlowOrHungTest, ServerThatAlsoMissesTheStatusCheckIsLostAndGivenUpWithoutCalls) {
  ConnectThenHang(3, 300ms);
  EXPECT_EQ(CallGetStatus(), RPC_E_CALL_CANCELED);
  EXPECT_TRUE(m_connection.ServerLost());
  EXPECT_TRUE(m_connection.ServerHung());
  EXPECT_TRUE(Logged("判定为已失去响应"));
  const int callsBefore = static_cast<int>(m_opc.Calls().size());
  m_connection.SettleServerState();
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_TRUE(m_connection.Recovering());
  EXPECT_EQ(m_groups.abandons, 1);
  EXPECT_EQ(m_groups.drops, 0);
  EXPECT_TRUE(Logged("已放弃其 4 个对象"));
  EXPECT_EQ(static_cast<int>(m_opc.Calls().size()), callsBefore);  // nothing called on it
}

// A creation past its deadline goes on; later tries wait for that same creation (not another
// one each) and the first try after the hang takes its server.
TEST_F(SlowOrHungTest, CreationPastItsDeadlineGoesOnAndALaterTryTakesItsServer) {
  m_connection.Deadline().SetTimeout(300ms);
  SimulatorHang(2s);
  std::string text;
  EXPECT_EQ(m_connection.Connect(text), RPC_E_CALL_CANCELED);
  EXPECT_EQ(m_connection.Connect(text), RPC_E_CALL_CANCELED);
  HRESULT hr = RPC_E_CALL_CANCELED;
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (hr == RPC_E_CALL_CANCELED && std::chrono::steady_clock::now() < until)
    hr = m_connection.Connect(text);
  EXPECT_EQ(hr, S_OK) << text;
  EXPECT_NE(m_connection.Server(), nullptr);
  EXPECT_EQ(m_opc.CountOf(OpcMethod::kCreateInstance), 1);
}

// After a hang the recovery starts the creation without waiting: a request meanwhile is answered
// at once (no second deadline), the creation stays the only one, and once the hang is over a
// request takes its server and the groups come back.
TEST_F(SlowOrHungTest, RecoveryStartsTheCreationAndRequestsMeanwhileDoNotWaitForIt) {
  ConnectThenHang(2, 300ms);
  EXPECT_EQ(CallGetStatus(), RPC_E_CALL_CANCELED);
  ASSERT_TRUE(m_connection.ServerHung());
  m_connection.SettleServerState();
  EXPECT_EQ(m_connection.Server(), nullptr);
  EXPECT_TRUE(m_connection.CreationPending());
  // A request that waited for the creation would now wait out the 2 s hang and be served.
  m_connection.Deadline().SetTimeout(30s);
  std::string text;
  EXPECT_EQ(m_connection.ConnectForRequest(text), RPC_E_CALL_CANCELED);
  EXPECT_NE(text.find(SystemText("正在创建 IOPCServer 对象，尚未完成")), std::string::npos) << text;
  HRESULT hr = RPC_E_CALL_CANCELED;
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (hr != S_OK && std::chrono::steady_clock::now() < until) {
    hr = m_connection.ConnectForRequest(text);
    if (hr != S_OK) std::this_thread::sleep_for(20ms);  // the client's pace
  }
  EXPECT_EQ(hr, S_OK) << text;
  EXPECT_FALSE(m_connection.Recovering());
  EXPECT_FALSE(m_connection.CreationPending());
  EXPECT_EQ(m_opc.CountOf(OpcMethod::kCreateInstance), 2);  // the first server and one more
  EXPECT_EQ(m_groups.restores, 1);
}

// A connection that ends while its creation hangs ends that creation with it.
TEST_F(SlowOrHungTest, ConnectionEndingDuringAHungCreationEndsTheCreation) {
  {
    CServerConnection connection(m_view, CFaultyOpcServer::kProgId);
    connection.Deadline().SetTimeout(200ms);
    SimulatorHang(600s);
    std::string text;
    EXPECT_EQ(connection.Connect(text), RPC_E_CALL_CANCELED);
  }  // ends without waiting out the hang: the creation is cancelled, as a proxy's call would be
  ASSERT_EQ(m_opc.CountOf(OpcMethod::kCreateInstance), 1);
  EXPECT_EQ(m_opc.Calls().back().result, RPC_E_CALL_CANCELED);
}
