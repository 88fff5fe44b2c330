// "SW" and "AW" through real connections against the simulator, through the recording decorator.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "protocol/write_audit.h"
#include "tests/protocol/dispatcher_fixture.h"

using enum OpcMethod;

namespace {

// The server's texts for the item errors the tests inject.
constexpr char kBadRights[] = "The item's access rights do not allow this operation.";
constexpr char kRange[] = "The value is out of range for the item.";

std::string ReadLogFile() {
  std::ifstream file(kLogFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

class WriteCommandsTest : public DispatcherTest {
protected:
  WriteCommandsTest() {
    // Item: 0 I2, 1 BOOL, 2 UI1, 3 I4, 4 I1, 5 UI2, 6 R8, 7 EMPTY (canonical VT_UI4), 8 BSTR
    Define(
        "AD\t1\r\ng\tA\t9\r\nMemory.Int2.w\tA\t2\r\nMemory.Boolean.w\tA\t11\r\n"
        "Memory.UInt1.w\tA\t17\r\nMemory.Int4.w\tA\t3\r\nMemory.Int1.w\tA\t16\r\n"
        "Memory.UInt2.w\tA\t18\r\nMemory.Real8.w\tA\t5\r\nMemory.UInt4.w\tA\t0\r\n"
        "Memory.String.w\tA\t8\r\n");
  }

  // The value the server received for a one-item "SW".
  CTestVariant WrittenBySync(int item, const std::string& text) {
    const std::string request = "SW\t0\t1\r\n" + std::to_string(item) + "\t" + text + "\r\n";
    EXPECT_EQ(Request(request), "0\t\r\n") << request;
    const auto calls = m_opc.CallsOf(kSyncWrite);
    if (calls.empty() || calls.back().values.empty()) return CTestVariant();
    return calls.back().values[0];
  }
};

TEST_F(WriteCommandsTest, SyncWriteOfAnI2ItemIsAnsweredEmpty) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "0\t\r\n");
  const auto calls = m_opc.CallsOf(kSyncWrite);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handles, std::vector<OPCHANDLE>{Group(0)->pItemResults[0].hServer});
  ASSERT_EQ(calls[0].values.size(), 1u);
  EXPECT_EQ(calls[0].values[0], CTestVariant::I2(300));
  EXPECT_EQ(Request("SR\t0\t1\t0\r\n0\r\n"), "0\t\r\n300\t192\r\n");  // the server kept it
}

TEST_F(WriteCommandsTest, NarrowTypesTakeTheLowBitsOfTheNumber) {
  EXPECT_EQ(WrittenBySync(2, "300"), CTestVariant::UI1(44));
  EXPECT_EQ(WrittenBySync(0, "70000"), CTestVariant::I2(4464));
  EXPECT_EQ(WrittenBySync(4, "-1"), CTestVariant::I1(-1));
  EXPECT_EQ(WrittenBySync(5, "65535"), CTestVariant::UI2(65535));
  EXPECT_EQ(WrittenBySync(3, "-70000"), CTestVariant::I4(-70000));
  EXPECT_EQ(WrittenBySync(3, " +12 "), CTestVariant::I4(12));  // blanks and a sign
}

TEST_F(WriteCommandsTest, BooleanItemGetsTheNumberItself) {
  const CTestVariant one = WrittenBySync(1, "1");
  EXPECT_EQ(one.Type(), VT_BOOL);
  EXPECT_EQ(one.Get().boolVal, 1);
  const CTestVariant minusOne = WrittenBySync(1, "-1");
  EXPECT_EQ(minusOne.Get().boolVal, VARIANT_TRUE);
}

TEST_F(WriteCommandsTest, OtherTypesConvertTheText) {
  EXPECT_EQ(WrittenBySync(6, "1.5"), CTestVariant::R8(1.5));
  EXPECT_EQ(WrittenBySync(7, "3000000000"), CTestVariant::UI4(3000000000u));  // canonical type
  EXPECT_EQ(WrittenBySync(8, "hello"), CTestVariant::Str(u"hello"));
}

TEST_F(WriteCommandsTest, TextThatDoesNotConvertIsRefusedWithoutAServerCall) {
  EXPECT_EQ(Request("SW\t0\t2\r\n0\t1\r\n6\tabc\r\n"), "1\tInvalid value for item 6: abc\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n7\t-5\r\n"), "1\tInvalid value for item 7: -5\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncWrite) + m_opc.CountOf(kAsyncWrite), 0);
}

TEST_F(WriteCommandsTest, IntegerAndBooleanItemsRefuseTextThatIsNoWholeNumber) {
  for (const char* value : {"abc", "12abc", "4 2", "1.5", "-", "true"}) {
    for (const int item : {0, 1, 2, 3, 7}) {  // VT_I2, VT_BOOL, VT_UI1, VT_I4, VT_UI4
      EXPECT_EQ(Request("SW\t0\t1\r\n" + std::to_string(item) + "\t" + value + "\r\n"),
                "1\tInvalid value for item " + std::to_string(item) + ": " + value + "\r\n");
    }
  }
  EXPECT_EQ(m_opc.CountOf(kSyncWrite), 0);
}

TEST_F(WriteCommandsTest, SyncWriteWithFailedItemsListsEachWithItsPosition) {
  m_opc.SetItemError(kSyncWrite, u"Memory.Int2.w", OPC_E_BADRIGHTS);
  m_opc.SetItemError(kSyncWrite, u"Memory.Int4.w", OPC_E_RANGE);
  const std::string entries = "0: " + std::string(kBadRights) + "\t2: " + kRange + "\t";
  EXPECT_EQ(Request("SW\t0\t3\r\n0\t1\r\n1\t1\r\n3\t1\r\n"), "1\t" + entries + "\r\n");
  // Shown with the switch off too, starting with a blank and CR LF.
  EXPECT_TRUE(m_frame.Logged(" \r\n\t失败：" + entries));
}

TEST_F(WriteCommandsTest, SyncWriteLogBuildsOneTextForTheRequest) {
  m_log.logValueWrites = true;
  EXPECT_EQ(Request("SW\t0\t2\r\n0\t300\r\n2\t7\r\n"), "0\t\r\n");
  const std::string text = "Memory.Int2.w 同步写入 300\r\n\t\t    Memory.UInt1.w 同步写入 7";
  EXPECT_TRUE(m_frame.Logged(text));
  // The log file has it on one line.
  EXPECT_NE(ReadLogFile().find("Memory.Int2.w 同步写入 300 \t\t    Memory.UInt1.w 同步写入 7\n"),
            std::string::npos);
}

TEST_F(WriteCommandsTest, SyncWriteLogsNothingWhileTheSwitchIsOff) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "0\t\r\n");
  EXPECT_FALSE(m_frame.Logged("同步写入"));
}

TEST_F(WriteCommandsTest, FailingSyncWriteIsAnsweredWithItsCode) {
  m_log.logValueWrites = true;
  m_opc.SetFailure(kSyncWrite, E_FAIL);
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "-2147467259\tIOPCSyncIO::Write failed\r\n");
  EXPECT_TRUE(m_frame.Logged("Memory.Int2.w 同步写入 300"));
}

// A call that failed as a whole is on the audit trail with its code, and no server text is
// asked for (the server may be gone).
TEST_F(WriteCommandsTest, FailedWriteCallIsAuditedWithItsCode) {
  m_opc.SetFailure(kSyncWrite, E_FAIL);
  Request("SW\t0\t1\r\n0\t300\r\n");
  std::ifstream file(kAuditFileName, std::ios::binary);
  std::string line;
  std::string last;
  while (std::getline(file, line)) last = line;
  EXPECT_NE(std::string::npos,
            last.find("\tSW\t0\tg\tfailed\tIOPCSyncIO::Write failed\t1\t0\tMemory.Int2.w\t300\t"
                      "failed: IOPCSyncIO::Write returned 0x80004005"))
      << last;
}

TEST_F(WriteCommandsTest, SyncWriteIgnoresAThirdFieldAndExtraItemFields) {
  EXPECT_EQ(Request("SW\t0\t1\t999\r\n0\t300\tmore\r\n"), "0\t\r\n");
  EXPECT_EQ(m_opc.CallsOf(kSyncWrite).at(0).values.at(0), CTestVariant::I2(300));
}

TEST_F(WriteCommandsTest, MalformedWritesAreRefusedWithoutAServerCall) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\r\n"), "1\tMissing value for item 0\r\n");
  EXPECT_EQ(Request("SW\t0\r\n0\t1\r\n"), "1\tMissing item count\r\n");
  EXPECT_EQ(Request("AW\t0\t1\r\n0\t1\r\n"), "1\tMissing transaction id\r\n");
  EXPECT_EQ(Request("SW\t0\t0\r\n0\t1\r\n"), "1\tInvalid item count: 0\r\n");
  EXPECT_EQ(Request("SW\t0\t1\r\n9\t1\r\n"), "1\tInvalid item index: 9\r\n");
  EXPECT_EQ(Request("SW\t0\t2\r\n\r\n"), "1\tNo item lines\r\n");
  EXPECT_EQ(Request("SW\t1\t1\r\n0\t1\r\n"), "1\tInvalid group index: 1\r\n");
  EXPECT_EQ(Request("AW\r\n"), "1\tInvalid group index: (null)\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncWrite) + m_opc.CountOf(kAsyncWrite), 0);
}

TEST_F(WriteCommandsTest, WriteStopsReadingAtTheAnnouncedCount) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t5\r\n99\t1\r\n"), "0\t\r\n");
  EXPECT_EQ(m_opc.CallsOf(kSyncWrite).at(0).count, 1u);
}

TEST_F(WriteCommandsTest, RemovedAndUnregisteredGroupsAreRefused) {
  m_dispatcher.Registry().AppendGroup(AllocWideString(u"raw"));
  EXPECT_EQ(Request("SW\t1\t1\r\n0\t1\r\n"), "1\tGroup 1 is not registered with the server\r\n");
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n0\t1\r\n"), "1\tGroup 0 was removed\r\n");
  EXPECT_EQ(m_opc.CountOf(kSyncWrite) + m_opc.CountOf(kAsyncWrite), 0);
}

TEST_F(WriteCommandsTest, RefusedInterfacesAreAnsweredWithTheQueryResult) {
  m_opc.RefuseInterface(IID_IOPCSyncIO);
  m_opc.RefuseInterface(IID_IOPCAsyncIO2);
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t1\r\n"), "-2147467262\tCannot open IOPCSyncIO\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n0\t1\r\n"), "-2147467262\tCannot open IOPCAsyncIO2\r\n");
}

TEST_F(WriteCommandsTest, AsyncWriteAnswersTheCancelIdAndLogsEachItem) {
  m_log.logValueWrites = true;
  const std::string reply = Request("AW\t0\t2\t9\r\n0\t5\r\n2\t6\r\n");
  const auto calls = m_opc.CallsOf(kAsyncWrite);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionId, 9u);
  EXPECT_EQ(calls[0].values,
            (std::vector<CTestVariant>{CTestVariant::I2(5), CTestVariant::UI1(6)}));
  EXPECT_EQ(reply, "0\t" + std::to_string(calls[0].cancelId) + "\r\n");
  EXPECT_TRUE(m_frame.Logged("Memory.Int2.w 异步写入新值 5"));
  EXPECT_TRUE(m_frame.Logged("Memory.UInt1.w 异步写入新值 6"));
}

TEST_F(WriteCommandsTest, AsyncWriteWithFailedItemsListsTheirTextsThenTheCancelId) {
  m_opc.SetItemError(kAsyncWrite, u"Memory.Boolean.w", OPC_E_BADRIGHTS);
  const std::string reply = Request("AW\t0\t2\t9\r\n0\t5\r\n1\t1\r\n");
  const auto calls = m_opc.CallsOf(kAsyncWrite);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(reply,
            "1\t" + std::string(kBadRights) + "\t" + std::to_string(calls[0].cancelId) + "\r\n");
}

TEST_F(WriteCommandsTest, FailingAsyncWriteIsAnsweredWithItsCode) {
  m_opc.SetFailure(kAsyncWrite, E_FAIL);
  EXPECT_EQ(Request("AW\t0\t1\t9\r\n0\t5\r\n"), "-2147467259\tIOPCAsyncIO2::Write failed\r\n");
}
