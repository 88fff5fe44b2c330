// "SR" and "AR" through real connections against the simulator, through the recording decorator.
#include <gtest/gtest.h>

#include <regex>

#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

namespace {
// The server's texts for the item errors the tests inject.
constexpr char kBadRights[] = "The item's access rights do not allow this operation.";
constexpr char kRange[] = "The value is out of range for the item.";
}  // namespace

class ReadCommandsTest : public DispatcherTest {
protected:
  ReadCommandsTest() {
    // Group 0: 300 good, true good, 0.0 uncertain, 0 bad; group 1: one item.
    Define(
        "AD\t2\r\ng\tA\t4\r\nStatic.Int2\tA\t0\r\nStatic.Boolean\tA\t0\r\nUncertain.Real8\tA\t0\r\n"
        "Bad.UInt4\tA\t0\r\nh\tA\t1\r\nStatic.Boolean\tA\t0\r\n");
  }

  OPCHANDLE ServerItem(std::size_t item) { return Group(0)->pItemResults[item].hServer; }
};

TEST_F(ReadCommandsTest, SyncReadAnswersEachValueAndQualityOnItsOwnLine) {
  EXPECT_EQ(Request("SR\t0\t2\t0\r\n0\r\n1\r\n"), "0\t\r\n300\t192\r\n1\t192\r\n");
  const auto calls = m_opc.CallsOf(kSyncRead);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].source, static_cast<DWORD>(OPC_DS_DEVICE));
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{ServerItem(0), ServerItem(1)}));
}

TEST_F(ReadCommandsTest, SyncReadOfUnsupportedTypesSendsZeroWithTheQuality) {
  EXPECT_EQ(Request("SR\t0\t2\t0\r\n2\r\n3\r\n"), "0\t\r\n0\t64\r\n0\t0\r\n");
}

TEST_F(ReadCommandsTest, SyncReadValueTextsFollowTheVariantType) {
  ASSERT_EQ(CFaultyOpcServer::WriteItem(u"Memory.Int2.texts", CTestVariant::I2(-300)), S_OK);
  ASSERT_EQ(CFaultyOpcServer::WriteItem(u"Memory.Int4.texts", CTestVariant::I4(-70000)), S_OK);
  ASSERT_EQ(CFaultyOpcServer::WriteItem(u"Memory.UInt4.texts", CTestVariant::UI4(4294967295u)),
            S_OK);
  ASSERT_EQ(CFaultyOpcServer::WriteItem(u"Memory.Boolean.texts", CTestVariant::Bool(false)), S_OK);
  Define(
      "AD\t1\r\ntexts\tA\t9\r\nStatic.Int1\tA\t0\r\nStatic.UInt1\tA\t0\r\n"
      "Memory.Int2.texts\tA\t0\r\nStatic.UInt2\tA\t0\r\nMemory.Int4.texts\tA\t0\r\n"
      "Memory.UInt4.texts\tA\t0\r\nMemory.Boolean.texts\tA\t0\r\nStatic.Real4\tA\t0\r\n"
      "Static.String\tA\t0\r\n");
  EXPECT_EQ(Request("SR\t2\t9\t0\r\n0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n"),
            "0\t\r\n-100\t192\r\n200\t192\r\n-300\t192\r\n50000\t192\r\n-70000\t192\r\n"
            "4294967295\t192\r\n0\t192\r\n0\t192\r\n0\t192\r\n");
}

TEST_F(ReadCommandsTest, SyncReadOnlyReadsTheAnnouncedLinesAndIgnoresExtraFields) {
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\textra\r\n9\r\n"), "0\t\r\n300\t192\r\n");
}

TEST_F(ReadCommandsTest, EmptyLineEndsTheItemListEarly) {
  EXPECT_EQ(Request("SR\t0\t3\t0\r\n1\r\n\r\n"), "0\t\r\n1\t192\r\n");
  EXPECT_EQ(m_opc.CallsOf(kSyncRead).at(0).count, 1u);
}

TEST_F(ReadCommandsTest, SyncReadWithItemErrorsAnswersOnlyTheErrors) {
  m_opc.SetItemError(kSyncRead, u"Static.Boolean", OPC_E_BADRIGHTS);
  m_opc.SetItemError(kSyncRead, u"Bad.UInt4", OPC_E_RANGE);
  EXPECT_EQ(Request("SR\t0\t4\t0\r\n0\r\n1\r\n2\r\n3\r\n"),
            "1\t1 : " + std::string(kBadRights) + "3 : " + kRange + "\r\n");
}

TEST_F(ReadCommandsTest, FailingSyncReadIsAnsweredWithItsCode) {
  m_opc.SetFailure(kSyncRead, E_FAIL);
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "-2147467259\tIOPCSyncIO::Read failed : 80004005\r\n");
}

TEST_F(ReadCommandsTest, ItemThatTheServerDidNotAddIsRefusedWithoutAServerCall) {
  Group(0)->pItemErrors[3] = OPC_E_UNKNOWNITEMID;
  EXPECT_EQ(Request("SR\t0\t2\t0\r\n0\r\n3\r\n"), "1\tOPC Item 3 is not available : c0040007\r\n");
  EXPECT_EQ(Request("AR\t0\t2\t0\r\n0\r\n3\r\n"),
            "1\tOPC Item 3 is not available : -1073479673\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead), 0);
  EXPECT_EQ(m_opc.CountOf(kAsyncRead), 0);
  Group(0)->pItemErrors[3] = S_OK;
}

TEST_F(ReadCommandsTest, BadGroupIndicesAreRefused) {
  EXPECT_EQ(Request("SR\t2\t1\t0\r\n0\r\n"), "1\tInvalid group index: 2\r\n");
  EXPECT_EQ(Request("SR\t-1\t1\t0\r\n0\r\n"), "1\tInvalid group index: -1\r\n");
  EXPECT_EQ(Request("SR\r\n"), "1\tInvalid group index: (null)\r\n");
  EXPECT_EQ(Request("AR\t2\t1\t0\r\n0\r\n"), "1\tInvalid group index: 2\r\n");
  // A group index without digits reads as 0.
  EXPECT_EQ(Request("SR\tx\t1\t0\r\n0\r\n"), "0\t\r\n300\t192\r\n");
}

TEST_F(ReadCommandsTest, MissingCountOrTransactionIdIsRefused) {
  EXPECT_EQ(Request("SR\t0\r\n0\r\n"), "1\tMissing item count\r\n");
  EXPECT_EQ(Request("SR\t0\t1\r\n0\r\n"), "1\tMissing transaction id\r\n");
  EXPECT_EQ(Request("AR\t0\t1\r\n0\r\n"), "1\tMissing transaction id\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead) + m_opc.CountOf(kAsyncRead), 0);
}

TEST_F(ReadCommandsTest, ItemCountZeroAndMissingItemLinesAreRefused) {
  EXPECT_EQ(Request("SR\t0\t0\t0\r\n0\r\n"), "1\tInvalid item count: 0\r\n");
  EXPECT_EQ(Request("SR\t0\t65536\t0\r\n0\r\n"), "1\tInvalid item count: 65536\r\n");
  EXPECT_EQ(Request("SR\t0\t2\t0\r\n\r\n"), "1\tNo item lines\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead), 0);
}

TEST_F(ReadCommandsTest, ItemIndicesBeyondTheGroupAreRefused) {
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n4\r\n"), "1\tInvalid item index: 4\r\n");
  EXPECT_EQ(Request("SR\t1\t1\t0\r\n1\r\n"), "1\tInvalid item index: 1\r\n");
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n-1\r\n"), "1\tInvalid item index: -1\r\n");
  EXPECT_EQ(Request("AR\t0\t2\t0\r\n0\r\n\t\r\n"), "1\tInvalid item index: (null)\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead) + m_opc.CountOf(kAsyncRead), 0);
}

TEST_F(ReadCommandsTest, RemovedAndUnregisteredGroupsAreRefusedWithoutAServerCall) {
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "1\tGroup 0 was removed\r\n");
  EXPECT_EQ(Request("AR\t0\t1\t0\r\n0\r\n"), "1\tGroup 0 was removed\r\n");
  m_dispatcher.Registry().AppendGroup(AllocWideString(u"raw"));
  EXPECT_EQ(Request("SR\t2\t1\t0\r\n0\r\n"), "1\tGroup 2 is not registered with the server\r\n");
  EXPECT_EQ(Request("AR\t2\t1\t0\r\n0\r\n"), "1\tGroup 2 is not registered with the server\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead) + m_opc.CountOf(kAsyncRead), 0);
}

TEST_F(ReadCommandsTest, RefusedSyncInterfaceIsAnsweredWithTheQueryResult) {
  m_opc.RefuseInterface(IID_IOPCSyncIO);
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "-2147467262\tCannot open IOPCSyncIO\r\n");
  EXPECT_EQ(Group(0)->pSyncIO, nullptr);
}

TEST_F(ReadCommandsTest, SyncInterfaceIsObtainedOnceAndKept) {
  Request("SR\t0\t1\t0\r\n0\r\n");
  Request("SR\t0\t1\t0\r\n1\r\n");
  int syncQueries = 0;
  for (const RecordedCall& call : m_opc.CallsOf(kQueryInterface))
    if (call.iid == IID_IOPCSyncIO) ++syncQueries;
  EXPECT_EQ(syncQueries, 1);
  EXPECT_NE(Group(0)->pSyncIO, nullptr);
}

TEST_F(ReadCommandsTest, AsyncReadAnswersTheCancelIdAndPassesTheTransactionId) {
  const std::string reply = Request("AR\t0\t2\t-1\r\n3\r\n0\r\n");
  const auto calls = m_opc.CallsOf(kAsyncRead);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionId, 4294967295u);
  EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{ServerItem(3), ServerItem(0)}));
  EXPECT_EQ(reply, "0\t" + std::to_string(calls[0].cancelId) + "\r\n");
}

TEST_F(ReadCommandsTest, AsyncReadWithItemErrorsPutsTheCancelIdAfterTheEntries) {
  m_opc.SetItemError(kAsyncRead, u"Static.Boolean", OPC_E_BADRIGHTS);
  const std::string reply = Request("AR\t0\t2\t3\r\n0\r\n1\r\n");
  const auto calls = m_opc.CallsOf(kAsyncRead);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(reply,
            "1\t1 : " + std::string(kBadRights) + std::to_string(calls[0].cancelId) + "\r\n");
}

TEST_F(ReadCommandsTest, FailingAsyncReadIsAnsweredWithItsCode) {
  m_opc.SetFailure(kAsyncRead, E_OUTOFMEMORY);
  EXPECT_EQ(Request("AR\t0\t1\t3\r\n0\r\n"),
            "-2147024882\tIOPCAsyncIO2::Read failed : 8007000e\r\n");
}

TEST_F(ReadCommandsTest, ErrorTextFallsBackToTheCodeWhenTheServerHasNone) {
  m_opc.SetItemError(kSyncRead, u"Static.Boolean", OPC_E_BADRIGHTS);
  m_opc.SetFailure(kGetErrorString, E_FAIL);
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n1\r\n"), "1\t0 : c0040006\r\n");
}

TEST_F(ReadCommandsTest, ClientClosingInsideTheItemListCallsNoServer) {
  EXPECT_EQ(RequestThenHangUp("SR\t0\t2\t0\r\n0\r\n"), 0);
  EXPECT_EQ(m_opc.CountOf(kSyncRead), 0);
  EXPECT_TRUE(m_frame.Logged("SR 请求时，程序抛出了异常。"));
}

TEST_F(ReadCommandsTest, GroupsOfADestroyedConnectionAreNotRegisteredWithTheNewOne) {
  m_dispatcher.Registry().OnDestroyOpcServer();
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "1\tGroup 0 is not registered with the server\r\n");
  EXPECT_EQ(Request("AC\tA\r\n0\r\n\r\n"), "1\t\r\n");
  EXPECT_EQ(m_opc.CountOf(kCreateInstance), 2);
  EXPECT_EQ(m_opc.CountOf(kSyncRead) + m_opc.CountOf(kSetState), 0);
}

// --- TR ---

TEST_F(ReadCommandsTest, TypedReadAnswersOneTypedLinePerItemAndAFailedItemFailsNoOther) {
  Group(0)->pItemErrors[3] = OPC_E_UNKNOWNITEMID;  // not added: its error, no read of it
  m_opc.SetItemError(kSyncRead, u"Static.Boolean", OPC_E_BADRIGHTS);
  const std::string reply = Request("TR\t0\t4\r\n2\r\n0\r\n3\r\n1\r\n");
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z";
  EXPECT_TRUE(std::regex_match(reply, std::regex("0\t4 values\r\n"
                                                 "2\t5\t64\t" +
                                                 stamp +
                                                 "\t0\t0\r\n"
                                                 "0\t2\t192\t" +
                                                 stamp +
                                                 "\t0\t300\r\n"
                                                 "3\t0\t0\t\t-1073479673\t\r\n"
                                                 "1\t[0-9]+\t[0-9]+\t[^\t]*\t-1073479674\t\r\n")))
      << reply;
  const auto calls = m_opc.CallsOf(kSyncRead);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].source, static_cast<DWORD>(OPC_DS_DEVICE));
  EXPECT_EQ(calls[0].handles,
            (std::vector<OPCHANDLE>{ServerItem(2), ServerItem(0), ServerItem(1)}));
  // C reads the cache.
  EXPECT_EQ(0u, Request("TR\t0\t1\tC\r\n0\r\n").rfind("0\t1 values\r\n0\t2\t", 0));
  EXPECT_EQ(m_opc.CallsOf(kSyncRead).at(1).source, static_cast<DWORD>(OPC_DS_CACHE));
}

TEST_F(ReadCommandsTest, TypedReadRefusesWhatTheSyncReadRefuses) {
  EXPECT_EQ(Request("TR\t0\t0\r\n0\r\n"), "1\tInvalid item count: 0\r\n");
  EXPECT_EQ(Request("TR\t0\t1\r\n4\r\n"), "1\tInvalid item index: 4\r\n");
  EXPECT_EQ(Request("TR\t0\t1\tD\r\n0\r\n"),
            "1\tInvalid data source: D (C reads the cache; leave it out for the device)\r\n");
  EXPECT_EQ(Request("TR\t0\t1\tc\r\n0\r\n").rfind("1\tInvalid data source: c", 0), 0u);
  EXPECT_EQ(Request("TR\t9\t1\r\n0\r\n"), "1\tInvalid group index: 9\r\n");
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("TR\t0\t1\r\n0\r\n"), "1\tGroup 0 was removed\r\n");
  m_dispatcher.Registry().AppendGroup(AllocWideString(u"raw"));
  EXPECT_EQ(Request("TR\t2\t1\r\n0\r\n"), "1\tGroup 2 is not registered with the server\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncRead), 0);
  m_opc.SetFailure(kSyncRead, E_FAIL);
  EXPECT_EQ(Request("TR\t1\t1\r\n0\r\n"), "-2147467259\tIOPCSyncIO::Read failed : 80004005\r\n");
}
