#include "opc/opc_data_callback.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/activity_log.h"
#include "opc/group_registry.h"
#include "tests/opc/opc_test_helpers.h"
#include "tests/support/test_variant.h"

namespace {

// One entry of a callback the test makes.
struct Update {
  OPCHANDLE clientHandle = 0;
  CTestVariant value;
  WORD quality = OPC_QUALITY_GOOD;
  HRESULT error = S_OK;
};

class DataCallback : public ::testing::Test {
protected:
  DataCallback() : m_sockets(defaultReceiver.Port()) {
    sink = new COpcDataCallback(registry, m_sockets.sender);
    sink->AddRef();
  }
  ~DataCallback() override { sink->Release(); }

  // A group at the next index whose datagrams go to 127.0.0.1 at port (0: the default port).
  GroupRecord* Group(std::uint16_t port) {
    GroupRecord* group = registry.AppendGroup(AllocWideString(u"g"));
    group->dwNotifyHost = 0x7F000001;
    group->wNotifyPort = port;
    return group;
  }

  HRESULT DataChange(DWORD transid, OPCHANDLE hGroup, HRESULT quality, HRESULT error,
                     const std::vector<Update>& items, bool read = false) {
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
    for (const auto& u : items) {
      handles.push_back(u.clientHandle);
      values.push_back(u.value.Get());
      qualities.push_back(u.quality);
      times.push_back(FILETIME{});
      errors.push_back(u.error);
    }
    OPCHANDLE h = 0;
    VARIANT v{};
    WORD q = 0;
    FILETIME t{};
    HRESULT e = 0;
    const auto n = static_cast<DWORD>(items.size());
    auto* ph = n ? handles.data() : &h;
    auto* pv = n ? values.data() : &v;
    auto* pq = n ? qualities.data() : &q;
    auto* pt = n ? times.data() : &t;
    auto* pe = n ? errors.data() : &e;
    return read ? sink->OnReadComplete(transid, hGroup, quality, error, n, ph, pv, pq, pt, pe)
                : sink->OnDataChange(transid, hGroup, quality, error, n, ph, pv, pq, pt, pe);
  }

  static std::vector<Update> I4Items(DWORD n) {
    std::vector<Update> items;
    for (DWORD i = 0; i < n; ++i)
      items.push_back(Update{i, CTestVariant::I4(static_cast<std::int32_t>(i))});
    return items;
  }

  // Lines of the log file that record a datagram send.
  static std::vector<std::string> SendLines() {
    std::vector<std::string> out;
    for (const auto& line : CScratchDir::LogLines())
      if (line.find("发送值变化通知") != std::string::npos) out.push_back(line);
    return out;
  }

  static bool LogHas(const std::string& text) {
    return CScratchDir::LogFile().find(text) != std::string::npos;
  }

  CScratchDir scratch;
  CUdpReceiver defaultReceiver;
  CUdpReceiver groupReceiver;
  CNotifySockets m_sockets;
  CRecordingView view;
  CServerConnection connection{view, u"Quarnix.NoServer"};
  CGroupRegistry registry{view, connection, m_sockets.sender, m_sockets.log};
  COpcDataCallback* sink = nullptr;
};

}  // namespace

TEST_F(DataCallback, QueryInterfaceWithNullOutPointerGivesEPointer) {
  EXPECT_EQ(sink->QueryInterface(IID_IOPCDataCallback, nullptr), E_POINTER);
}

TEST_F(DataCallback, QueryInterfaceRaisesTheCountForItsTwoInterfacesOnly) {
  EXPECT_EQ(sink->refCount.load(), 1);
  void* out = nullptr;
  ASSERT_EQ(sink->QueryInterface(IID_IOPCDataCallback, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(static_cast<IOPCDataCallback*>(sink)));
  EXPECT_EQ(sink->refCount.load(), 2);
  ASSERT_EQ(sink->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(sink->refCount.load(), 3);

  out = &out;  // must come back null
  EXPECT_EQ(sink->QueryInterface(IID_IOPCServer, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sink->refCount.load(), 3);
  EXPECT_EQ(sink->Release(), 2u);
  EXPECT_EQ(sink->Release(), 1u);
}

TEST_F(DataCallback, AddRefAndReleaseReturnTheNewCountAndTheLastReleaseDeletes) {
  auto* other = new COpcDataCallback(registry, m_sockets.sender);
  EXPECT_EQ(other->refCount.load(), 0);
  EXPECT_EQ(other->AddRef(), 1u);
  EXPECT_EQ(other->AddRef(), 2u);
  EXPECT_EQ(other->Release(), 1u);
  EXPECT_EQ(other->Release(), 0u);  // deleted here; the leak checker sees any miss
}

TEST_F(DataCallback, DataChangeSendsTheDocumentedExampleToTheGroupDestination) {
  Group(groupReceiver.Port());
  Group(groupReceiver.Port());
  Group(groupReceiver.Port());
  EXPECT_EQ(
      DataChange(0, 2, S_OK, S_OK, {{0, CTestVariant::I2(300)}, {1, CTestVariant::Bool(true)}}),
      S_OK);
  EXPECT_EQ(groupReceiver.Next(),
            Bytes({0x43, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x2C, 0x00, 0x01, 0x01, 0x01}));
}

TEST_F(DataCallback, GroupWithoutPortSendsToTheDefaultPort) {
  Group(0);
  EXPECT_EQ(DataChange(0, 0, S_OK, S_OK, {}), S_OK);
  EXPECT_EQ(defaultReceiver.Next(),
            Bytes({0x43, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(DataCallback, ReadCompleteUsesKind52AndTheTransactionId) {
  Group(groupReceiver.Port());
  EXPECT_EQ(DataChange(7, 0, S_OK, S_OK, {{0, CTestVariant::R8(1.5)}}, true), S_OK);
  EXPECT_EQ(groupReceiver.Next(), Bytes({0x52, 0x00, 0x13, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
                                         0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(DataCallback, ItemsBeyond121AreSplitIntoDatagramsInIndexOrder) {
  Group(groupReceiver.Port());
  struct Case {
    DWORD count;
    std::vector<int> entries;
  };
  for (const Case& c : {Case{121, {121}}, Case{122, {121, 1}}, Case{243, {121, 121, 1}},
                        Case{300, {121, 121, 58}}}) {
    ASSERT_EQ(DataChange(9, 0, S_OK, S_OK, I4Items(c.count)), S_OK);
    DWORD next = 0;
    for (int entries : c.entries) {
      const auto bytes = groupReceiver.Next();
      ASSERT_EQ(bytes.size(), 16u + static_cast<std::size_t>(entries) * 7u) << c.count;
      EXPECT_EQ(bytes[0], 0x43);
      EXPECT_EQ((bytes[1] << 8) | bytes[2], static_cast<int>(bytes.size()));
      EXPECT_EQ(bytes[6], 9);  // every datagram of the call carries its transaction id
      EXPECT_EQ((bytes[9] << 8) | bytes[10], entries);
      EXPECT_EQ((bytes[16] << 8) | bytes[17], static_cast<int>(next));  // first handle
      next += static_cast<DWORD>(entries);
    }
  }
}

TEST_F(DataCallback, WriteCompleteSendsThirteenBytesWhateverTheItemErrors) {
  Group(groupReceiver.Port());
  OPCHANDLE handles[5] = {0, 1, 2, 3, 4};
  HRESULT errors[5] = {E_FAIL, S_OK, OPC_E_BADRIGHTS, S_OK, S_OK};
  EXPECT_EQ(sink->OnWriteComplete(0x11, 0, S_FALSE, 5, handles, errors), S_OK);
  EXPECT_EQ(groupReceiver.Next(),
            Bytes({0x57, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01}));
}

TEST_F(DataCallback, CancelCompleteSendsSevenBytes) {
  Group(0);
  Group(groupReceiver.Port());
  EXPECT_EQ(sink->OnCancelComplete(0x01020304, 1), S_OK);
  EXPECT_EQ(groupReceiver.Next(), Bytes({0x4E, 0x01, 0x02, 0x03, 0x04, 0x00, 0x01}));
}

TEST_F(DataCallback, PlaceholderOrMissingGroupLogsTheFailureAndSendsNothing) {
  Group(groupReceiver.Port());
  Group(groupReceiver.Port());
  Group(groupReceiver.Port());
  registry.RemoveOne(1);

  EXPECT_EQ(DataChange(0, 1, S_OK, S_OK, I4Items(2)), S_FALSE);
  EXPECT_TRUE(LogHas("OnDataChange调用NotifyNewItemValues(,,1,)时，程序抛出了异常。错误代码："));
  EXPECT_EQ(DataChange(0, 3, S_OK, S_OK, I4Items(2), true), S_FALSE);
  EXPECT_TRUE(LogHas("OnReadComplete调用NotifyNewItemValues(,,3,)时，程序抛出了异常。错误代码："));
  OPCHANDLE h = 0;
  HRESULT e = 0;
  EXPECT_EQ(sink->OnWriteComplete(1, 1, S_OK, 1, &h, &e), S_FALSE);
  EXPECT_TRUE(LogHas("OnWriteComplete调用SendDatagram(,,,)时，程序抛出了异常。错误代码："));
  EXPECT_EQ(sink->OnCancelComplete(1, 70000), S_FALSE);
  EXPECT_TRUE(LogHas("OnCancelComplete调用SendDatagram(,,,)时，程序抛出了异常。错误代码："));

  // Nothing of the above went out: the next datagram to arrive is this one.
  ASSERT_EQ(sink->OnCancelComplete(5, 2), S_OK);
  EXPECT_EQ(groupReceiver.Next(), Bytes({0x4E, 0, 0, 0, 5, 0, 2}));
}

TEST_F(DataCallback, MissingArraysAreRefusedWithoutReadingThem) {
  Group(groupReceiver.Port());
  OPCHANDLE handles[2] = {0, 1};
  VARIANT values[2] = {};
  EXPECT_EQ(sink->OnDataChange(0, 0, S_OK, S_OK, 2, handles, nullptr, nullptr, nullptr, nullptr),
            S_FALSE);
  EXPECT_EQ(sink->OnDataChange(0, 0, S_FALSE, S_OK, 2, handles, values, nullptr, nullptr, nullptr),
            S_FALSE);
  EXPECT_EQ(sink->OnDataChange(0, 0, S_OK, S_FALSE, 2, handles, values, nullptr, nullptr, nullptr),
            S_FALSE);
  // Arrays that the datagram does not need may be missing.
  ASSERT_EQ(sink->OnDataChange(0, 0, S_OK, S_OK, 2, handles, values, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(groupReceiver.Next().size(), 16u + 2u * 3u);
}

TEST_F(DataCallback, SummariesAreLoggedOnlyWithTheValueChangeSwitch) {
  Group(groupReceiver.Port());
  ASSERT_EQ(DataChange(0, 0, S_OK, S_OK, I4Items(6)), S_OK);
  groupReceiver.Next();
  EXPECT_TRUE(SendLines().empty());

  m_sockets.log.logValueChanges = true;
  ASSERT_EQ(DataChange(0, 0, S_OK, S_OK, I4Items(6)), S_OK);
  ASSERT_EQ(DataChange(0, 0, S_FALSE, static_cast<HRESULT>(0x80004005u), I4Items(5)), S_OK);
  const auto lines = SendLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("发送值变化通知 C 长度 58  变量数 6 错误码 0 信号质量 0"),
            std::string::npos)
      << lines[0];
  // Five items or fewer: the summary is empty.
  const std::string tail = "长度 76 ";
  EXPECT_EQ(lines[1].substr(lines[1].size() - tail.size()), tail) << lines[1];
}

TEST_F(DataCallback, SplitCallLogsOneSummaryPerDatagram) {
  Group(groupReceiver.Port());
  m_sockets.log.logValueChanges = true;
  ASSERT_EQ(DataChange(0, 0, S_FALSE, S_OK, I4Items(300)), S_OK);
  const auto lines = SendLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" 本报文变量数 121 [0,121) 变量总数 300 报文个数 3 错误码 0 信号质量 1"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" 本报文变量数 121 [121,242) 变量总数 300"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(" 本报文变量数 58 [242,300) 变量总数 300"), std::string::npos)
      << lines[2];
  EXPECT_EQ(lines[1].find("报文个数"), std::string::npos);
}

TEST_F(DataCallback, CallsBeyond65535ItemsAreSentWholeIn121EntryDatagrams) {
  Group(groupReceiver.Port());
  m_sockets.log.logValueChanges = true;
  ASSERT_EQ(DataChange(0, 0, S_OK, S_OK, I4Items(70000)), S_OK);
  const auto lines = SendLines();
  ASSERT_EQ(lines.size(), 579u);
  EXPECT_NE(lines.front().find("[0,121) 变量总数 70000 报文个数 579"), std::string::npos);
  EXPECT_NE(lines.back().find(" 本报文变量数 62 [69938,70000) 变量总数 70000"), std::string::npos)
      << lines.back();
}
