// "AC", "RF" and "Q?" through real connections against the simulator, through the recording
// decorator.
#include <gtest/gtest.h>

#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

class GroupStateTest : public DispatcherTest {
protected:
  // g0 and g1, flagged active, one item each, still inactive at the server.
  void DefineTwo() {
    Define("AD\t2\r\ng0\tA\t1\r\nStatic.Int2\tA\t2\r\ng1\tA\t1\r\nStatic.Int2\tA\t2\r\n");
  }
  // A record that was defined but never registered with the server.
  void AppendUnregistered(const std::u16string& name) {
    m_dispatcher.Registry().AppendGroup(AllocWideString(name));
  }
};

// --- AC ---

TEST_F(GroupStateTest, ActivatingTwoGroupsSetsBothAndLogsTheirResults) {
  Define("AD\t2\r\ng0\tN\t1\r\nStatic.Int2\tA\t0\r\ng1\tN\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("AC\tA\t2\r\n0\r\n1\r\n"), "0\t\r\n");
  const auto calls = m_opc.CallsOf(kSetState);
  ASSERT_EQ(calls.size(), 2u);
  for (const RecordedCall& call : calls) {
    EXPECT_TRUE(call.activeGiven);
    EXPECT_EQ(call.active, TRUE);
    EXPECT_FALSE(call.updateRateGiven);
  }
  EXPECT_TRUE(ServerGroup(u"g0").active);
  EXPECT_TRUE(ServerGroup(u"g1").active);
  EXPECT_EQ(Group(0)->bActive, TRUE);
  EXPECT_TRUE(m_frame.Logged("设定组 g0 激活开启 的操作结果 0"));
  EXPECT_TRUE(m_frame.Logged("设定组 g1 激活开启 的操作结果 0"));
}

TEST_F(GroupStateTest, StateNotBeginningWithCapitalADeactivates) {
  DefineTwo();
  Request("AC\tA\r\n0\r\n\r\n");
  EXPECT_EQ(Request("AC\tactive\r\n0\r\n\r\n"), "0\t\r\n");
  EXPECT_FALSE(ServerGroup(u"g0").active);
  EXPECT_EQ(Group(0)->bActive, FALSE);
  EXPECT_TRUE(m_frame.Logged("设定组 g0 激活关闭 的操作结果 0"));
}

TEST_F(GroupStateTest, RevisedUpdateRateIsKept) {
  Define("AD\t1\r\ng0\tA\t1\t5\r\nStatic.Int2\tA\t2\r\n");  // below the server's 10 ms
  Request("AC\tA\t1\r\n0\r\n");
  EXPECT_EQ(Group(0)->dwRequestedUpdateRate, 5u);
  EXPECT_EQ(Group(0)->dwRevisedUpdateRate, 10u);
}

TEST_F(GroupStateTest, ActivationCountOfOneReadsOnlyOneLine) {
  DefineTwo();
  EXPECT_EQ(Request("AC\tA\t1\r\n0\r\n1\r\n"), "0\t\r\n");
  EXPECT_EQ(m_opc.CountOf(kSetState), 1);
  EXPECT_FALSE(ServerGroup(u"g1").active);
}

TEST_F(GroupStateTest, MalformedActivationsAreRefused) {
  DefineTwo();
  EXPECT_EQ(Request("AC\r\n0\r\n"), "1\tMissing group state\r\n");
  EXPECT_EQ(Request("AC\tA\t0\r\n0\r\n"), "1\tInvalid group count: 0\r\n");
  EXPECT_EQ(Request("AC\tA\r\n2\r\n"), "1\tInvalid group index: 2\r\n");
  EXPECT_EQ(Request("AC\tA\r\n\t\r\n"), "1\tInvalid group index: (null)\r\n");
  EXPECT_EQ(m_opc.CountOf(kSetState), 0);
}

TEST_F(GroupStateTest, ActivationWithoutIndexLinesSucceeds) {
  DefineTwo();
  EXPECT_EQ(Request("AC\tA\r\n\r\n"), "0\t\r\n");
}

TEST_F(GroupStateTest, ActivationStopsAtTheFirstBadIndexKeepingEarlierOnes) {
  DefineTwo();
  EXPECT_EQ(Request("AC\tA\r\n0\r\n9\r\n1\r\n\r\n"), "1\tInvalid group index: 9\r\n");
  EXPECT_TRUE(ServerGroup(u"g0").active);
  EXPECT_FALSE(ServerGroup(u"g1").active);
}

TEST_F(GroupStateTest, ActivatingARemovedGroupIsRefused) {
  DefineTwo();
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("AC\tA\r\n0\r\n\r\n"), "1\tGroup 0 was removed\r\n");
  EXPECT_EQ(m_opc.CountOf(kSetState), 0);
}

TEST_F(GroupStateTest, ActivatingANeverRegisteredGroupRepliesOneButKeepsTheFlag) {
  Request("HBT\r\n");
  AppendUnregistered(u"raw");
  EXPECT_EQ(Request("AC\tA\r\n0\r\n1\r\n\r\n"), "1\t\r\n");
  EXPECT_EQ(Group(0)->bActive, TRUE);
  EXPECT_EQ(m_opc.CountOf(kSetState), 0);
  EXPECT_TRUE(m_frame.Logged("设定组 raw 激活开启 的操作结果 1"));
}

TEST_F(GroupStateTest, FailingSetStateIsAnsweredWithItsCodeAndStops) {
  DefineTwo();
  m_opc.SetFailure(kSetState, E_FAIL);
  EXPECT_EQ(Request("AC\tA\r\n0\r\n1\r\n\r\n"), "-2147467259\t\r\n");
  EXPECT_EQ(m_opc.CountOf(kSetState), 1);
  EXPECT_EQ(Group(0)->bActive, TRUE);  // the flag follows the request all the same
}

// --- RF ---

TEST_F(GroupStateTest, RefreshWithoutTransactionNumberRepliesOneAndReadsNoLine) {
  DefineTwo();
  EXPECT_EQ(Request("RF\r\n0\r\n"), "1\t\r\n");
  EXPECT_EQ(m_opc.CountOf(kRefresh2), 0);
}

TEST_F(GroupStateTest, RefreshOfTwoActiveGroupsAnswersTheLastCancelId) {
  DefineTwo();
  Request("AC\tA\r\n0\r\n1\r\n\r\n");
  const std::string reply = Request("RF\t7\r\n0\r\n1\r\n");
  const auto calls = m_opc.CallsOf(kRefresh2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].transactionId, 7u);
  EXPECT_EQ(calls[1].transactionId, 7u);
  EXPECT_EQ(calls[0].source, static_cast<DWORD>(OPC_DS_CACHE));
  EXPECT_EQ(reply, "0\t" + std::to_string(calls[1].cancelId) + "l\r\n");
  EXPECT_TRUE(m_frame.Logged("成功刷新组 g1"));
}

TEST_F(GroupStateTest, RefreshTransactionNumberIsUnsigned32Bit) {
  DefineTwo();
  Request("AC\tA\r\n0\r\n\r\n");
  Request("RF\t4294967295\r\n0\r\n\r\n");
  Request("RF\t-2\r\n0\r\n\r\n");
  const auto calls = m_opc.CallsOf(kRefresh2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].transactionId, 4294967295u);
  EXPECT_EQ(calls[1].transactionId, 4294967294u);
}

TEST_F(GroupStateTest, RefreshOfAnInactiveGroupDoesNothingAndAnswersZeroL) {
  Define("AD\t1\r\nidle\tN\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("RF\t7\r\n0\r\n"), "0\t0l\r\n");
  EXPECT_EQ(m_opc.CountOf(kRefresh2), 0);
}

TEST_F(GroupStateTest, RefreshReadsNoMoreLinesThanTheListHadEntries) {
  Define("AD\t1\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  Request("AC\tA\r\n0\r\n\r\n");
  const std::string reply = Request("RF\t1\r\n0\r\n0\r\n0\r\n");
  EXPECT_EQ(m_opc.CountOf(kRefresh2), 1);
  EXPECT_EQ(reply.rfind("0\t", 0), 0u);
}

TEST_F(GroupStateTest, RefreshWithoutIndexLinesAnswersEmpty) {
  DefineTwo();
  EXPECT_EQ(Request("RF\t7\r\n\r\n"), "0\t\r\n");
}

TEST_F(GroupStateTest, FailingRefreshIsAnsweredAndLoggedWhateverTheSwitch) {
  DefineTwo();
  Request("AC\tA\r\n0\r\n1\r\n\r\n");
  m_log.logGroupOps = false;
  m_opc.SetFailure(kRefresh2, E_FAIL);
  EXPECT_EQ(Request("RF\t7\r\n0\r\n1\r\n"), "-2147467259\t returned when all Refresh2(...)\r\n");
  EXPECT_EQ(m_opc.CountOf(kRefresh2), 1);
  EXPECT_TRUE(m_frame.Logged("刷新组 g0 操作失败。错误代码：80004005"));
}

TEST_F(GroupStateTest, RefusedAsyncInterfaceIsAnsweredWithTheQueryResult) {
  DefineTwo();
  m_opc.RefuseInterface(IID_IOPCAsyncIO2);
  EXPECT_EQ(Request("RF\t7\r\n0\r\n"), "-2147467262\tCannot open IOPCAsyncIO2\r\n");
  EXPECT_EQ(Group(0)->pAsyncIO2, nullptr);
}

TEST_F(GroupStateTest, AsyncInterfaceIsObtainedOnceAndKept) {
  DefineTwo();
  Request("AC\tA\r\n0\r\n\r\n");
  Request("RF\t1\r\n0\r\n\r\n");
  ASSERT_NE(Group(0)->pAsyncIO2, nullptr);
  IOPCAsyncIO2* first = Group(0)->pAsyncIO2;
  Request("RF\t2\r\n0\r\n\r\n");
  EXPECT_EQ(Group(0)->pAsyncIO2, first);
  int asyncQueries = 0;
  for (const RecordedCall& call : m_opc.CallsOf(kQueryInterface))
    if (call.iid == IID_IOPCAsyncIO2) ++asyncQueries;
  EXPECT_EQ(asyncQueries, 1);
}

TEST_F(GroupStateTest, RefreshOfBadOrRemovedOrUnregisteredGroupsIsRefused) {
  DefineTwo();
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("RF\t7\r\n2\r\n"), "1\tInvalid group index: 2\r\n");
  EXPECT_EQ(Request("RF\t7\r\n\t\r\n"), "1\tInvalid group index: (null)\r\n");
  EXPECT_EQ(Request("RF\t7\r\n0\r\n"), "1\tGroup 0 was removed\r\n");
  AppendUnregistered(u"raw");
  Group(2)->bActive = TRUE;
  EXPECT_EQ(Request("RF\t7\r\n2\r\n"), "1\tGroup 2 is not registered with the server\r\n");
  EXPECT_TRUE(m_frame.Logged("刷新组 raw 操作因未能成功获取pAsyncIO2接口实际并未执行"));
  EXPECT_EQ(m_opc.CountOf(kRefresh2), 0);
}

// --- Q? ---

TEST_F(GroupStateTest, QueryOnAnEmptyListAnswersMinusOneWithoutReading) {
  EXPECT_EQ(Request("Q?\r\ng0\r\n"), "-1\t\r\n");
  EXPECT_FALSE(m_frame.Logged("返回组"));
}

TEST_F(GroupStateTest, QueryInListOrderAnswersEachIndex) {
  Define(
      "AD\t3\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\ng1\tA\t1\r\nStatic."
      "Int2\tA\t0\r\ng2\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("Q?\textra\r\ng0\r\ng1\r\ng2\r\n\r\n"), "0\t\r\n0\r\n1\r\n2\r\n");
  EXPECT_TRUE(m_frame.Logged("返回组 g1 的本地索引 1"));
}

TEST_F(GroupStateTest, QueryOutOfOrderStillFindsEachName) {
  Define(
      "AD\t3\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\ng1\tA\t1\r\nStatic."
      "Int2\tA\t0\r\ng2\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("Q?\r\ng2\r\ng0\r\n\r\n"), "0\t\r\n2\r\n0\r\n");
}

TEST_F(GroupStateTest, UnknownNamesAnswerMinusOne) {
  Define("AD\t2\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\ng1\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("Q?\r\nnone\r\n\r\n"), "-1\t\r\n-1\r\n");
  EXPECT_EQ(Request("Q?\r\nnone\r\ng1\r\n\r\n"), "0\t\r\n-1\r\n1\r\n");
  EXPECT_EQ(Request("Q?\r\nG0\r\n\r\n"), "-1\t\r\n-1\r\n");
  EXPECT_TRUE(m_frame.Logged("返回组 none 的本地索引 -1"));
}

TEST_F(GroupStateTest, QueryWithoutNameLinesAnswersMinusOne) {
  Define("AD\t1\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("Q?\r\n\r\n"), "-1\t\r\n");
}

TEST_F(GroupStateTest, NameLineOfSeparatorsOnlyAnswersMinusOneForThatLine) {
  Define("AD\t2\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\ng1\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  EXPECT_EQ(Request("Q?\r\n\t\t\r\ng1\r\n\r\n"), "0\t\r\n-1\r\n1\r\n");
}

TEST_F(GroupStateTest, PlaceholdersMatchNoNameButKeepPositions) {
  Define(
      "AD\t3\r\ng0\tA\t1\r\nStatic.Int2\tA\t0\r\ng1\tA\t1\r\nStatic."
      "Int2\tA\t0\r\ng2\tA\t1\r\nStatic.Int2\tA\t0\r\n");
  Request("RM\t1\r\n1\r\n");
  EXPECT_EQ(Request("Q?\r\ng0\r\ng1\r\ng2\r\n\r\n"), "0\t\r\n0\r\n-1\r\n2\r\n");
}

TEST_F(GroupStateTest, CursorTriesTheNextEntryBeforeScanningFromTheStart) {
  // Records with the same name (never registered, so the server never refused them).
  Request("HBT\r\n");
  AppendUnregistered(u"a");
  AppendUnregistered(u"b");
  AppendUnregistered(u"a");
  EXPECT_EQ(Request("Q?\r\na\r\nb\r\na\r\n\r\n"), "0\t\r\n0\r\n1\r\n2\r\n");
  EXPECT_EQ(Request("Q?\r\nb\r\na\r\n\r\n"), "0\t\r\n1\r\n0\r\n");
}

TEST_F(GroupStateTest, LongLineAfterGoodOnesRefusesActivationRefreshAndRemovalWithNothingDone) {
  DefineTwo();
  Request("AC\tA\t1\r\n0\r\n");
  m_opc.ClearCalls();
  const std::string longLine = std::string(120, '1') + "\r\n";
  const std::string refusal = "1\tLine too long: " + longLine.substr(0, 99) + "\r\n";
  EXPECT_EQ(Request("AC\tN\t2\r\n0\r\n" + longLine), refusal);
  EXPECT_EQ(Request("RF\t7\r\n0\r\n" + longLine + "\r\n"), refusal);
  EXPECT_EQ(Request("RM\t2\r\n0\r\n" + longLine), refusal);
  for (const OpcMethod call : {kSetState, kRefresh2, kRemoveGroup})
    EXPECT_EQ(m_opc.CountOf(call), 0);
  ASSERT_NE(Group(0), nullptr);
  EXPECT_EQ(Group(0)->bActive, TRUE);
}
