// "SW" and "AW" through real connections against the fake server.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/protocol/dispatcher_fixture.h"

namespace {

std::string ReadLogFile() {
  std::ifstream file(kLogFileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

class WriteCommandsTest : public DispatcherTest {
protected:
  WriteCommandsTest() {
    m_fake.SetItemValue(u"E", CFakeVariant::UI4(0));  // canonical type VT_UI4
    // Item:          0 I2   1 BOOL  2 UI1   3 I4   4 I1   5 UI2   6 R8   7 EMPTY  8 BSTR
    Define(
        "AD\t1\r\ng\tA\t9\r\nI2\tA\t2\r\nB\tA\t11\r\nU1\tA\t17\r\nI4\tA\t3\r\nI1\tA\t16\r\n"
        "U2\tA\t18\r\nR8\tA\t5\r\nE\tA\t0\r\nS\tA\t8\r\n");
  }

  // The value the server received for a one-item "SW".
  CFakeVariant WrittenBySync(int item, const std::string& text) {
    const std::string request = "SW\t0\t1\r\n" + std::to_string(item) + "\t" + text + "\r\n";
    EXPECT_EQ(Request(request), "0\t\r\n") << request;
    const auto calls = m_fake.CallsOf("SyncWrite");
    if (calls.empty() || calls.back().values.empty()) return CFakeVariant();
    return calls.back().values[0];
  }
};

TEST_F(WriteCommandsTest, SyncWriteOfAnI2ItemIsAnsweredEmpty) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "0\t\r\n");
  const auto calls = m_fake.CallsOf("SyncWrite");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].handles, std::vector<OPCHANDLE>{Group(0)->pItemResults[0].hServer});
  ASSERT_EQ(calls[0].values.size(), 1u);
  EXPECT_EQ(calls[0].values[0], CFakeVariant::I2(300));
}

TEST_F(WriteCommandsTest, NarrowTypesTakeTheLowBitsOfTheNumber) {
  EXPECT_EQ(WrittenBySync(2, "300"), CFakeVariant::UI1(44));
  EXPECT_EQ(WrittenBySync(0, "70000"), CFakeVariant::I2(4464));
  EXPECT_EQ(WrittenBySync(4, "-1"), CFakeVariant::I1(-1));
  EXPECT_EQ(WrittenBySync(5, "65535"), CFakeVariant::UI2(65535));
  EXPECT_EQ(WrittenBySync(3, "-70000"), CFakeVariant::I4(-70000));
  EXPECT_EQ(WrittenBySync(3, "12abc"), CFakeVariant::I4(12));
}

TEST_F(WriteCommandsTest, BooleanItemGetsTheNumberItself) {
  const CFakeVariant one = WrittenBySync(1, "1");
  EXPECT_EQ(one.Type(), VT_BOOL);
  EXPECT_EQ(one.Get().boolVal, 1);
  const CFakeVariant minusOne = WrittenBySync(1, "-1");
  EXPECT_EQ(minusOne.Get().boolVal, VARIANT_TRUE);
}

TEST_F(WriteCommandsTest, OtherTypesConvertTheText) {
  EXPECT_EQ(WrittenBySync(6, "1.5"), CFakeVariant::R8(1.5));
  EXPECT_EQ(WrittenBySync(7, "3000000000"), CFakeVariant::UI4(3000000000u));  // canonical type
  EXPECT_EQ(WrittenBySync(8, "hello"), CFakeVariant::Str(u"hello"));
}

TEST_F(WriteCommandsTest, TextThatDoesNotConvertIsRefusedWithoutAServerCall) {
  EXPECT_EQ(Request("SW\t0\t2\r\n0\t1\r\n6\tabc\r\n"), "1\tInvalid value for item 6: abc\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n7\t-5\r\n"), "1\tInvalid value for item 7: -5\r\n");
  EXPECT_EQ(m_fake.CountOf("SyncWrite") + m_fake.CountOf("AsyncWrite"), 0);
}

TEST_F(WriteCommandsTest, SyncWriteWithFailedItemsListsEachWithItsPosition) {
  m_fake.SetErrorString(OPC_E_BADRIGHTS, u"No rights");
  m_fake.SetErrorString(OPC_E_RANGE, u"Out of range");
  m_fake.SetItemError("SyncWrite", u"I2", OPC_E_BADRIGHTS);
  m_fake.SetItemError("SyncWrite", u"I4", OPC_E_RANGE);
  const std::string entries = "0: No rights\t2: Out of range\t";
  EXPECT_EQ(Request("SW\t0\t3\r\n0\t1\r\n1\t1\r\n3\t1\r\n"), "1\t" + entries + "\r\n");
  // Shown with the switch off too, starting with a blank and CR LF.
  EXPECT_TRUE(m_frame.Logged(" \r\n\t失败：" + entries));
}

TEST_F(WriteCommandsTest, SyncWriteLogBuildsOneTextForTheRequest) {
  logValueWrites = true;
  EXPECT_EQ(Request("SW\t0\t2\r\n0\t300\r\n2\t7\r\n"), "0\t\r\n");
  const std::string text = "I2 同步写入 300\r\n\t\t    U1 同步写入 7";
  EXPECT_TRUE(m_frame.Logged(text));
  EXPECT_NE(ReadLogFile().find(text), std::string::npos);
}

TEST_F(WriteCommandsTest, SyncWriteLogsNothingWhileTheSwitchIsOff) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "0\t\r\n");
  EXPECT_FALSE(m_frame.Logged("同步写入"));
}

TEST_F(WriteCommandsTest, FailingSyncWriteIsAnsweredWithItsCode) {
  logValueWrites = true;
  m_fake.SetFailure("SyncWrite", E_FAIL);
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t300\r\n"), "-2147467259\tIOPCSyncIO::Write failed\r\n");
  EXPECT_TRUE(m_frame.Logged("I2 同步写入 300"));
}

TEST_F(WriteCommandsTest, SyncWriteIgnoresAThirdFieldAndExtraItemFields) {
  EXPECT_EQ(Request("SW\t0\t1\t999\r\n0\t300\tmore\r\n"), "0\t\r\n");
  EXPECT_EQ(m_fake.CallsOf("SyncWrite").at(0).values.at(0), CFakeVariant::I2(300));
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
  EXPECT_EQ(m_fake.CountOf("SyncWrite") + m_fake.CountOf("AsyncWrite"), 0);
}

TEST_F(WriteCommandsTest, WriteStopsReadingAtTheAnnouncedCount) {
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t5\r\n99\t1\r\n"), "0\t\r\n");
  EXPECT_EQ(m_fake.CallsOf("SyncWrite").at(0).count, 1u);
}

TEST_F(WriteCommandsTest, RemovedAndUnregisteredGroupsAreRefused) {
  m_dispatcher.AppendGroup(AllocWideString(u"raw"));
  EXPECT_EQ(Request("SW\t1\t1\r\n0\t1\r\n"), "1\tGroup 1 is not registered with the server\r\n");
  Request("RM\t1\r\n0\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n0\t1\r\n"), "1\tGroup 0 was removed\r\n");
  EXPECT_EQ(m_fake.CountOf("SyncWrite") + m_fake.CountOf("AsyncWrite"), 0);
}

TEST_F(WriteCommandsTest, RefusedInterfacesAreAnsweredWithTheQueryResult) {
  m_fake.RefuseInterface(IID_IOPCSyncIO);
  m_fake.RefuseInterface(IID_IOPCAsyncIO2);
  EXPECT_EQ(Request("SW\t0\t1\r\n0\t1\r\n"), "-2147467262\tCannot open IOPCSyncIO\r\n");
  EXPECT_EQ(Request("AW\t0\t1\t1\r\n0\t1\r\n"), "-2147467262\tCannot open IOPCAsyncIO2\r\n");
}

TEST_F(WriteCommandsTest, AsyncWriteAnswersTheCancelIdAndLogsEachItem) {
  logValueWrites = true;
  const std::string reply = Request("AW\t0\t2\t9\r\n0\t5\r\n2\t6\r\n");
  const auto calls = m_fake.CallsOf("AsyncWrite");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transactionId, 9u);
  EXPECT_EQ(calls[0].values,
            (std::vector<CFakeVariant>{CFakeVariant::I2(5), CFakeVariant::UI1(6)}));
  EXPECT_EQ(reply, "0\t" + std::to_string(calls[0].cancelId) + "\r\n");
  EXPECT_TRUE(m_frame.Logged("I2 异步写入新值 5"));
  EXPECT_TRUE(m_frame.Logged("U1 异步写入新值 6"));
}

TEST_F(WriteCommandsTest, AsyncWriteWithFailedItemsListsTheirTextsThenTheCancelId) {
  m_fake.SetErrorString(OPC_E_BADRIGHTS, u"No rights");
  m_fake.SetItemError("AsyncWrite", u"B", OPC_E_BADRIGHTS);
  const std::string reply = Request("AW\t0\t2\t9\r\n0\t5\r\n1\t1\r\n");
  const auto calls = m_fake.CallsOf("AsyncWrite");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(reply, "1\tNo rights\t" + std::to_string(calls[0].cancelId) + "\r\n");
}

TEST_F(WriteCommandsTest, FailingAsyncWriteIsAnsweredWithItsCode) {
  m_fake.SetFailure("AsyncWrite", E_FAIL);
  EXPECT_EQ(Request("AW\t0\t1\t9\r\n0\t5\r\n"), "-2147467259\tIOPCAsyncIO2::Write failed\r\n");
}
