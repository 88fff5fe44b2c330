#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "opc/opcda.h"
#include "platform/apartment.h"
#include "tests/sim/test_data_sink.h"

namespace {

using namespace std::chrono_literals;
using Kind = SinkCall::Kind;

constexpr auto kDeadline = 10s;
constexpr OPCHANDLE kClientGroup = 5;

struct TestItem {
  const char16_t* id;
  VARTYPE type = VT_EMPTY;
  bool active = true;
};

// One group as a client holds it: its interfaces and the server handles of its items, indexed
// by client handle.
struct TestGroup {
  HRESULT addResult = E_FAIL;
  OPCHANDLE hServer = 0;
  DWORD revisedRate = 0;
  ComPtr<IOPCItemMgt> items;
  ComPtr<IOPCGroupStateMgt> state;
  ComPtr<IOPCSyncIO> sync;
  ComPtr<IOPCAsyncIO2> async;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  std::vector<OPCHANDLE> handles;
};

// Values for writes.
struct Values {
  std::vector<VARIANT> v;
  Values& I4(LONG x) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = x;
    v.push_back(value);
    return *this;
  }
  Values& Text(const char16_t* x) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(x);
    v.push_back(value);
    return *this;
  }
  ~Values() {
    for (auto& value : v) VariantClear(&value);
  }
};

std::string Narrow(const WCHAR* text) {
  std::string ascii;
  for (; text != nullptr && *text != u'\0'; ++text) ascii.push_back(static_cast<char>(*text));
  return ascii;
}

class SimulatorTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    RegisterSimulator();
    m_apartment = CApartment::ForCurrentThread();
    m_server = NewServer();
    ASSERT_TRUE(m_server);
    m_sink = new TestDataSink;
  }

  void TearDown() override {
    SimulatorHold(false);
    m_server.Reset();
    m_apartment->RunPending();
    m_sink->Release();
    CoUninitialize();
  }

  static ComPtr<IOPCServer> NewServer() {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(kSimulatorProgId, &clsid), S_OK);
    ComPtr<IOPCServer> server;
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid()),
        S_OK);
    return server;
  }

  // An inactive group with the items (client handle = position), as the gateway adds them.
  std::unique_ptr<TestGroup> MakeGroup(const std::vector<TestItem>& wanted, DWORD rate = 10,
                                       const char16_t* name = u"", IOPCServer* server = nullptr) {
    auto group = std::make_unique<TestGroup>();
    server = server != nullptr ? server : m_server.Get();
    LONG timeBias = 0;
    FLOAT deadband = 0;
    group->addResult = server->AddGroup(
        name, FALSE, rate, kClientGroup, &timeBias, &deadband, 0x409, &group->hServer,
        &group->revisedRate, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(group->items.Put()));
    if (FAILED(group->addResult)) return group;
    EXPECT_EQ(group->items->QueryInterface(IID_IOPCGroupStateMgt, group->state.PutVoid()), S_OK);
    EXPECT_EQ(group->items->QueryInterface(IID_IOPCSyncIO, group->sync.PutVoid()), S_OK);
    EXPECT_EQ(group->items->QueryInterface(IID_IOPCAsyncIO2, group->async.PutVoid()), S_OK);
    if (wanted.empty()) return group;
    std::vector<std::u16string> ids;
    for (const auto& w : wanted) ids.emplace_back(w.id);
    std::vector<OPCITEMDEF> defs(wanted.size());
    static WCHAR emptyPath[] = u"";
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      defs[i].szAccessPath = emptyPath;
      defs[i].szItemID = ids[i].data();
      defs[i].bActive = wanted[i].active ? TRUE : FALSE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
      defs[i].vtRequestedDataType = wanted[i].type;
    }
    CoTaskPtr<OPCITEMRESULT> results;
    CoTaskPtr<HRESULT> errors;
    const HRESULT hr = group->items->AddItems(static_cast<DWORD>(defs.size()), defs.data(),
                                              results.Put(), errors.Put());
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
    for (std::size_t i = 0; i < wanted.size(); ++i) group->handles.push_back(results[i].hServer);
    return group;
  }

  void Advise(TestGroup& group, IUnknown* sink = nullptr) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(group.items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()),
              S_OK);
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, group.point.Put()), S_OK);
    ASSERT_EQ(group.point->Advise(sink != nullptr ? sink : m_sink, &group.cookie), S_OK);
  }

  // SetState with only the active flag, as the gateway activates groups.
  HRESULT SetActive(TestGroup& group, bool active) {
    BOOL flag = active ? TRUE : FALSE;
    return group.state->SetState(nullptr, nullptr, &flag, nullptr, nullptr, nullptr, nullptr);
  }

  bool WaitFor(const std::function<bool()>& done) { return m_apartment->RunUntil(done, kDeadline); }

  bool WaitForCall(Kind kind, std::size_t count = 1) {
    return WaitFor([&] { return m_sink->Count(kind) >= count; });
  }

  // Waits, without running them, until calls are queued for this thread.
  bool WaitForQueuedCalls() {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (m_apartment->PendingCount() == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  const SinkCall* Last(Kind kind) const {
    for (auto it = m_sink->calls.rbegin(); it != m_sink->calls.rend(); ++it)
      if (it->kind == kind) return &*it;
    return nullptr;
  }

  // Synchronous read of one item from the device.
  SinkEntry ReadOne(TestGroup& group, std::size_t index, OPCDATASOURCE source = OPC_DS_DEVICE,
                    HRESULT* result = nullptr) {
    CoTaskPtr<OPCITEMSTATE> states;
    CoTaskPtr<HRESULT> errors;
    OPCHANDLE handle = group.handles[index];
    const HRESULT hr = group.sync->Read(source, 1, &handle, states.Put(), errors.Put());
    if (result != nullptr) *result = hr;
    SinkEntry entry;
    if (FAILED(hr)) return entry;
    entry.handle = states[0].hClient;
    entry.vt = states[0].vDataValue.vt;
    entry.value = TestDataSink::TextOf(states[0].vDataValue);
    entry.quality = states[0].wQuality;
    entry.error = errors[0];
    VariantClear(&states[0].vDataValue);
    return entry;
  }

  HRESULT WriteOne(TestGroup& group, std::size_t index, Values& value, HRESULT* itemError) {
    CoTaskPtr<HRESULT> errors;
    OPCHANDLE handle = group.handles[index];
    const HRESULT hr = group.sync->Write(1, &handle, value.v.data(), errors.Put());
    if (itemError != nullptr) *itemError = SUCCEEDED(hr) ? errors[0] : hr;
    return hr;
  }

  std::shared_ptr<CApartment> m_apartment;
  ComPtr<IOPCServer> m_server;
  TestDataSink* m_sink = nullptr;
};

// --- Registration and server --------------------------------------------------------------------

TEST_F(SimulatorTest, ProgIdResolvesToTheSimulatorsClassId) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Quarnix.Simulator", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_QuarnixSimulator);
  EXPECT_EQ(GuidToString(clsid), "{6B1F4C3E-2A7D-4E58-9D31-0C5A8E7B2F64}");
  RegisterSimulator();  // twice is harmless
  EXPECT_EQ(CLSIDFromProgID(u"Quarnix.Simulator", &clsid), S_OK);
}

TEST_F(SimulatorTest, WorkerRunsWhileServerObjectsExist) {
  EXPECT_TRUE(SimulatorWorkerRunning());
  m_server.Reset();
  EXPECT_FALSE(SimulatorWorkerRunning());
  m_server = NewServer();
  EXPECT_TRUE(SimulatorWorkerRunning());
}

TEST_F(SimulatorTest, GetStatusReportsRunningStateAndThisConnectionsGroups) {
  auto a = MakeGroup({});
  auto b = MakeGroup({});
  ComPtr<IOPCServer> other = NewServer();
  auto foreign = MakeGroup({}, 10, u"", other.Get());
  CoTaskPtr<OPCSERVERSTATUS> status;
  ASSERT_EQ(m_server->GetStatus(status.Put()), S_OK);
  EXPECT_EQ(status[0].dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(status[0].dwGroupCount, 2u);
  EXPECT_EQ(Narrow(status[0].szVendorInfo), "Quarnix simulation server");
  EXPECT_NE(status[0].ftStartTime.dwHighDateTime, 0u);
  EXPECT_GE(status[0].ftCurrentTime.dwHighDateTime, status[0].ftStartTime.dwHighDateTime);
  CoTaskMemFree(status[0].szVendorInfo);
}

TEST_F(SimulatorTest, GetErrorStringHasOurTextForEveryCodeWeReturn) {
  for (HRESULT code : {S_OK,
                       S_FALSE,
                       E_FAIL,
                       E_INVALIDARG,
                       E_NOTIMPL,
                       E_NOINTERFACE,
                       E_POINTER,
                       E_OUTOFMEMORY,
                       E_UNEXPECTED,
                       CO_E_NOTINITIALIZED,
                       CO_E_CLASSSTRING,
                       REGDB_E_CLASSNOTREG,
                       CLASS_E_NOAGGREGATION,
                       RPC_E_DISCONNECTED,
                       CONNECT_E_NOCONNECTION,
                       CONNECT_E_ADVISELIMIT,
                       CONNECT_E_CANNOTCONNECT,
                       DISP_E_TYPEMISMATCH,
                       DISP_E_OVERFLOW,
                       DISP_E_BADVARTYPE,
                       OPC_E_INVALIDHANDLE,
                       OPC_E_BADTYPE,
                       OPC_E_BADRIGHTS,
                       OPC_E_UNKNOWNITEMID,
                       OPC_E_INVALIDITEMID,
                       OPC_E_RANGE,
                       OPC_E_DUPLICATENAME,
                       OPC_S_UNSUPPORTEDRATE,
                       OPC_S_INUSE}) {
    LPWSTR text = nullptr;
    EXPECT_EQ(m_server->GetErrorString(code, 1033, &text), S_OK) << std::hex << code;
    EXPECT_FALSE(Narrow(text).empty());
    CoTaskMemFree(text);
  }
  LPWSTR text = nullptr;
  ASSERT_EQ(m_server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text), S_OK);
  EXPECT_EQ(Narrow(text), "The item ID is not defined in the server.");
  CoTaskMemFree(text);
  ASSERT_EQ(m_server->GetErrorString(OPC_E_BADRIGHTS, 0x409, &text), S_OK);
  EXPECT_EQ(Narrow(text), "The item's access rights do not allow this operation.");
  CoTaskMemFree(text);
}

TEST_F(SimulatorTest, GetErrorStringRefusesUnknownCodesAndLocales) {
  LPWSTR text = reinterpret_cast<LPWSTR>(1);
  EXPECT_EQ(m_server->GetErrorString(static_cast<HRESULT>(0x80001234u), 1033, &text), E_INVALIDARG);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(m_server->GetErrorString(E_FAIL, 1031, &text), E_INVALIDARG);
  EXPECT_EQ(m_server->GetErrorString(E_FAIL, 1033, nullptr), E_INVALIDARG);
}

// --- Groups -------------------------------------------------------------------------------------

TEST_F(SimulatorTest, DuplicateGroupNameIsRefusedWithinOneConnection) {
  auto first = MakeGroup({}, 500, u"Line1");
  ASSERT_EQ(first->addResult, S_OK);
  auto second = MakeGroup({}, 500, u"Line1");
  EXPECT_EQ(second->addResult, OPC_E_DUPLICATENAME);
  EXPECT_FALSE(second->items);
  ComPtr<IOPCServer> other = NewServer();
  auto elsewhere = MakeGroup({}, 500, u"Line1", other.Get());
  EXPECT_EQ(elsewhere->addResult, S_OK);
}

TEST_F(SimulatorTest, EmptyGroupNameGetsAGeneratedUniqueName) {
  auto a = MakeGroup({}, 500, u"");
  auto b = MakeGroup({}, 500, nullptr);
  ASSERT_EQ(a->addResult, S_OK);
  ASSERT_EQ(b->addResult, S_OK);
  CoTaskPtr<WCHAR> nameA, nameB;
  ASSERT_EQ(a->state->GetState(nullptr, nullptr, nameA.Put(), nullptr, nullptr, nullptr, nullptr,
                               nullptr),
            S_OK);
  ASSERT_EQ(b->state->GetState(nullptr, nullptr, nameB.Put(), nullptr, nullptr, nullptr, nullptr,
                               nullptr),
            S_OK);
  EXPECT_FALSE(Narrow(nameA.Get()).empty());
  EXPECT_NE(Narrow(nameA.Get()), Narrow(nameB.Get()));
  EXPECT_NE(a->hServer, b->hServer);
}

TEST_F(SimulatorTest, UpdateRatesBelowTenMillisecondsAreRevisedUp) {
  auto fast = MakeGroup({}, 5);
  EXPECT_EQ(fast->addResult, OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(fast->revisedRate, 10u);
  auto fastest = MakeGroup({}, 0);
  EXPECT_EQ(fastest->addResult, OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(fastest->revisedRate, 10u);
  auto usual = MakeGroup({}, 500);
  EXPECT_EQ(usual->addResult, S_OK);
  EXPECT_EQ(usual->revisedRate, 500u);

  DWORD requested = 3, revised = 0;
  EXPECT_EQ(
      usual->state->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr),
      OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(revised, 10u);
  DWORD rate = 0;
  BOOL active = TRUE;
  OPCHANDLE hClient = 0, hServer = 0;
  ASSERT_EQ(usual->state->GetState(&rate, &active, nullptr, nullptr, nullptr, nullptr, &hClient,
                                   &hServer),
            S_OK);
  EXPECT_EQ(rate, 10u);
  EXPECT_EQ(active, FALSE);
  EXPECT_EQ(hClient, kClientGroup);
  EXPECT_EQ(hServer, usual->hServer);
}

TEST_F(SimulatorTest, SetStateWithOnlyTheActiveFlagActivates) {
  auto group = MakeGroup({{u"Static.Int4"}});
  ASSERT_EQ(SetActive(*group, true), S_OK);
  BOOL active = FALSE;
  ASSERT_EQ(group->state->GetState(nullptr, &active, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr),
            S_OK);
  EXPECT_EQ(active, TRUE);
}

TEST_F(SimulatorTest, GroupInterfacesShareOneIdentityAndCountReferences) {
  auto group = MakeGroup({});
  ComPtr<IUnknown> fromItems, fromState;
  ASSERT_EQ(group->items->QueryInterface(IID_IUnknown, fromItems.PutVoid()), S_OK);
  ASSERT_EQ(group->state->QueryInterface(IID_IUnknown, fromState.PutVoid()), S_OK);
  EXPECT_EQ(fromItems.Get(), fromState.Get());
  // items, state, sync, async and the two IUnknowns: six references.
  EXPECT_EQ(group->items->AddRef(), 7u);
  EXPECT_EQ(group->items->Release(), 6u);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(group->items->QueryInterface(IID_IOPCServer, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
}

// --- Items --------------------------------------------------------------------------------------

TEST_F(SimulatorTest, AddItemsReportsEachFailureAndReturnsSFalse) {
  auto group = MakeGroup({});
  std::vector<std::u16string> ids = {
      u"Static.Int4",   u"",          u"Ramp..Int4",          u"Nope.Int4",
      u"Static.String", u"Ramp.Int2", u"Memory.Real8.tank 1", u"Static.Int4"};
  const VARTYPE types[] = {VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_EMPTY,
                           VT_I4,    VT_DATE,  VT_EMPTY, VT_BSTR};
  std::vector<OPCITEMDEF> defs(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    defs[i].szItemID = ids[i].data();
    defs[i].bActive = TRUE;
    defs[i].hClient = static_cast<OPCHANDLE>(i);
    defs[i].vtRequestedDataType = types[i];
  }
  defs[1].szItemID = nullptr;  // a null ID counts as empty
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Put(),
                                   errors.Put()),
            S_FALSE);
  const HRESULT expected[] = {S_OK,
                              OPC_E_INVALIDITEMID,
                              OPC_E_INVALIDITEMID,
                              OPC_E_UNKNOWNITEMID,
                              OPC_E_BADTYPE,
                              OPC_E_BADTYPE,
                              S_OK,
                              S_OK};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(errors[i], expected[i]) << i;
    EXPECT_EQ(results[i].hServer != 0, expected[i] == S_OK) << i;
  }
  EXPECT_EQ(results[0].vtCanonicalDataType, VT_I4);
  EXPECT_EQ(results[0].dwAccessRights, OPC_READABLE);
  EXPECT_EQ(results[6].vtCanonicalDataType, VT_R8);
  EXPECT_EQ(results[6].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
  EXPECT_NE(results[0].hServer, results[7].hServer);
}

TEST_F(SimulatorTest, AddItemsWithoutFailuresReturnsSOkAndZeroErrors) {
  auto group = MakeGroup({});
  std::u16string a = u"Ramp.Boolean", b = u"Memory.String";
  OPCITEMDEF defs[2] = {};
  defs[0].szItemID = a.data();
  defs[1].szItemID = b.data();
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->items->AddItems(2, defs, results.Put(), errors.Put()), S_OK);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], S_OK);
  EXPECT_EQ(results[1].vtCanonicalDataType, VT_BSTR);
  EXPECT_EQ(group->items->AddItems(0, defs, results.Put(), errors.Put()), E_INVALIDARG);
  EXPECT_EQ(results.Get(), nullptr);
}

TEST_F(SimulatorTest, ValidateItemsChecksWithoutAdding) {
  auto group = MakeGroup({});
  std::u16string good = u"Static.Real4", bad = u"Static.Real4.x";
  OPCITEMDEF defs[2] = {};
  defs[0].szItemID = good.data();
  defs[1].szItemID = bad.data();
  CoTaskPtr<OPCITEMRESULT> results;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->items->ValidateItems(2, defs, FALSE, results.Put(), errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(results[0].vtCanonicalDataType, VT_R4);
  EXPECT_EQ(results[0].hServer, 0u);
}

TEST_F(SimulatorTest, RemovedItemsHandlesBecomeInvalid) {
  auto group = MakeGroup({{u"Static.Int2"}, {u"Static.Int4"}});
  CoTaskPtr<HRESULT> errors;
  OPCHANDLE handle = group->handles[0];
  ASSERT_EQ(group->items->RemoveItems(1, &handle, errors.Put()), S_OK);
  HRESULT hr = S_OK;
  const SinkEntry gone = ReadOne(*group, 0, OPC_DS_DEVICE, &hr);
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(gone.error, OPC_E_INVALIDHANDLE);
  EXPECT_EQ(ReadOne(*group, 1).value, "70000");
  ASSERT_EQ(group->items->RemoveItems(1, &handle, errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
}

// --- Synchronous IO -----------------------------------------------------------------------------

TEST_F(SimulatorTest, DeviceReadGivesStaticValuesInCanonicalTypesWithGoodQuality) {
  auto group = MakeGroup({{u"Static.Int1"},
                          {u"Static.UInt2"},
                          {u"Static.Boolean"},
                          {u"Static.Real8"},
                          {u"Static.String"}});
  const std::pair<VARTYPE, const char*> expected[] = {
      {VT_I1, "-100"}, {VT_UI2, "50000"}, {VT_BOOL, "-1"}, {VT_R8, "3.25"}, {VT_BSTR, "Quarnix"}};
  for (std::size_t i = 0; i < 5; ++i) {
    const SinkEntry e = ReadOne(*group, i);
    EXPECT_EQ(e.handle, i);
    EXPECT_EQ(e.vt, expected[i].first) << i;
    EXPECT_EQ(e.value, expected[i].second) << i;
    EXPECT_EQ(e.quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(e.error, S_OK);
  }
}

TEST_F(SimulatorTest, ValuesArriveInTheRequestedTypeOrWithTheConversionError) {
  auto group =
      MakeGroup({{u"Static.Int2", VT_BSTR}, {u"Static.Real4", VT_I4}, {u"Static.UInt4", VT_I4}});
  const SinkEntry text = ReadOne(*group, 0);
  EXPECT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(text.value, "300");
  const SinkEntry rounded = ReadOne(*group, 1);
  EXPECT_EQ(rounded.vt, VT_I4);
  EXPECT_EQ(rounded.value, "2");  // 1.5 rounds to even
  HRESULT hr = S_OK;
  const SinkEntry overflow = ReadOne(*group, 2, OPC_DS_DEVICE, &hr);
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(overflow.error, DISP_E_OVERFLOW);
  EXPECT_EQ(overflow.vt, VT_EMPTY);
  EXPECT_EQ(overflow.quality, OPC_QUALITY_BAD);
}

TEST_F(SimulatorTest, BadAndUncertainItemsCarryTheirQuality) {
  auto group = MakeGroup({{u"Bad.Int4"}, {u"Uncertain.Real8"}});
  const SinkEntry bad = ReadOne(*group, 0);
  EXPECT_EQ(bad.value, "0");
  EXPECT_EQ(bad.quality, OPC_QUALITY_BAD);
  EXPECT_EQ(bad.error, S_OK);
  const SinkEntry uncertain = ReadOne(*group, 1);
  EXPECT_EQ(uncertain.value, "0");
  EXPECT_EQ(uncertain.quality, OPC_QUALITY_UNCERTAIN);
}

TEST_F(SimulatorTest, CacheReadOfAnInactiveGroupIsOutOfService) {
  auto group = MakeGroup({{u"Static.Int4"}});
  const SinkEntry cached = ReadOne(*group, 0, OPC_DS_CACHE);
  EXPECT_EQ(cached.quality, 0x1C);
  EXPECT_EQ(cached.value, "70000");
  ASSERT_EQ(SetActive(*group, true), S_OK);
  EXPECT_EQ(ReadOne(*group, 0, OPC_DS_CACHE).quality, OPC_QUALITY_GOOD);
}

TEST_F(SimulatorTest, WrittenValuesReadBackAcrossGroupsAndConnections) {
  auto group = MakeGroup(
      {{u"Memory.Int4.readBack"}, {u"Memory.String.readBack"}, {u"Memory.UInt1.readBack"}});
  HRESULT itemError = E_FAIL;
  Values number;
  number.I4(1234);
  ASSERT_EQ(WriteOne(*group, 0, number, &itemError), S_OK);
  EXPECT_EQ(itemError, S_OK);
  Values five;
  five.I4(5);
  ASSERT_EQ(WriteOne(*group, 1, five, &itemError), S_OK);
  Values text;
  text.Text(u"77");
  ASSERT_EQ(WriteOne(*group, 2, text, &itemError), S_OK);

  EXPECT_EQ(ReadOne(*group, 0).value, "1234");
  const SinkEntry stored = ReadOne(*group, 1);
  EXPECT_EQ(stored.vt, VT_BSTR);
  EXPECT_EQ(stored.value, "5");
  EXPECT_EQ(ReadOne(*group, 2).value, "77");

  ComPtr<IOPCServer> other = NewServer();
  auto elsewhere = MakeGroup({{u"Memory.Int4.readBack"}}, 500, u"", other.Get());
  EXPECT_EQ(ReadOne(*elsewhere, 0).value, "1234");
}

TEST_F(SimulatorTest, WriteErrorsArePerItemWithSFalse) {
  auto group = MakeGroup({{u"Memory.UInt1.errors"},
                          {u"Static.Int4"},
                          {u"Memory.Int4.errors"},
                          {u"Memory.Int2.errors"}});
  Values values;
  values.I4(300).I4(1).Text(u"abc").I4(-5);
  OPCHANDLE handles[] = {group->handles[0], group->handles[1], group->handles[2], group->handles[3],
                         9999};
  values.I4(1);
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->sync->Write(5, handles, values.v.data(), errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_RANGE);
  EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
  EXPECT_EQ(errors[2], OPC_E_BADTYPE);
  EXPECT_EQ(errors[3], S_OK);
  EXPECT_EQ(errors[4], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(ReadOne(*group, 0).value, "0");  // refused values are not stored
  EXPECT_EQ(ReadOne(*group, 3).value, "-5");
}

// --- Subscriptions ------------------------------------------------------------------------------

TEST_F(SimulatorTest, ActivationReportsEveryActiveItemInItemOrder) {
  auto group =
      MakeGroup({{u"Static.Int4"}, {u"Static.Int2", VT_EMPTY, false}, {u"Memory.Int1.activation"}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  EXPECT_EQ(m_sink->calls.size(), 0u);  // never inside the call that caused it
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  const SinkCall& call = m_sink->calls[0];
  EXPECT_EQ(call.thread, std::this_thread::get_id());
  EXPECT_EQ(call.transactionId, 0u);
  EXPECT_EQ(call.group, kClientGroup);
  EXPECT_EQ(call.masterQuality, S_OK);
  EXPECT_EQ(call.masterError, S_OK);
  ASSERT_EQ(call.entries.size(), 2u);
  EXPECT_EQ(call.entries[0].handle, 0u);
  EXPECT_EQ(call.entries[0].value, "70000");
  EXPECT_EQ(call.entries[1].handle, 2u);
  EXPECT_EQ(call.entries[1].value, "0");
}

TEST_F(SimulatorTest, LaterReportsCarryOnlyChangedItems) {
  auto group = MakeGroup({{u"Static.Int4"}, {u"Memory.Int4.onlyChanged"}, {u"Ramp.Int4"}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange, 3));
  EXPECT_EQ(m_sink->calls[0].entries.size(), 3u);
  for (std::size_t i = 1; i < m_sink->calls.size(); ++i) {
    ASSERT_EQ(m_sink->calls[i].entries.size(), 1u);
    EXPECT_EQ(m_sink->calls[i].entries[0].handle, 2u);  // the ramp alone
  }
  Values value;
  value.I4(41);
  ASSERT_EQ(WriteOne(*group, 1, value, nullptr), S_OK);
  ASSERT_TRUE(WaitFor([&] {
    const SinkCall* last = Last(Kind::kDataChange);
    return last != nullptr && !last->entries.empty() && last->entries[0].handle == 1u;
  }));
  EXPECT_EQ(Last(Kind::kDataChange)->entries[0].value, "41");
  for (std::size_t i = 1; i < m_sink->calls.size(); ++i)
    for (const auto& entry : m_sink->calls[i].entries) EXPECT_NE(entry.handle, 0u);
}

TEST_F(SimulatorTest, ItemActivatedLaterIsReportedWithTheNextUpdate) {
  auto group = MakeGroup({{u"Static.Int4"}, {u"Static.Int2", VT_EMPTY, false}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  CoTaskPtr<HRESULT> errors;
  OPCHANDLE handle = group->handles[1];
  ASSERT_EQ(group->items->SetActiveState(1, &handle, TRUE, errors.Put()), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange, 2));
  const SinkCall& second = m_sink->calls[1];
  ASSERT_EQ(second.entries.size(), 1u);
  EXPECT_EQ(second.entries[0].handle, 1u);
  EXPECT_EQ(second.entries[0].value, "300");
}

TEST_F(SimulatorTest, DeactivationDropsAReportStillOnTheWay) {
  auto group = MakeGroup({{u"Ramp.Int4"}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForQueuedCalls());
  ASSERT_EQ(SetActive(*group, false), S_OK);
  m_apartment->RunPending();
  EXPECT_TRUE(m_sink->calls.empty());
}

TEST_F(SimulatorTest, MasterResultsAreSFalseWhenAnyItemIsNotGoodOrFailed) {
  auto group = MakeGroup({{u"Static.Int4"}, {u"Bad.Int4"}, {u"Static.UInt4", VT_I4}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  const SinkCall& call = m_sink->calls[0];
  EXPECT_EQ(call.masterQuality, S_FALSE);
  EXPECT_EQ(call.masterError, S_FALSE);
  ASSERT_EQ(call.entries.size(), 3u);
  EXPECT_EQ(call.entries[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(call.entries[0].error, S_OK);
  EXPECT_EQ(call.entries[1].quality, OPC_QUALITY_BAD);
  EXPECT_EQ(call.entries[1].error, S_OK);
  EXPECT_EQ(call.entries[2].error, DISP_E_OVERFLOW);
  EXPECT_EQ(call.entries[2].vt, VT_EMPTY);
}

TEST_F(SimulatorTest, Refresh2SendsAllActiveItemsWithTheCallersTransactionId) {
  auto group =
      MakeGroup({{u"Static.Int4"}, {u"Static.Int2", VT_EMPTY, false}, {u"Static.Boolean"}});
  Advise(*group);
  DWORD cancelId = 0;
  EXPECT_EQ(group->async->Refresh2(OPC_DS_CACHE, 77, &cancelId), E_FAIL);  // inactive
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  ASSERT_EQ(group->async->Refresh2(OPC_DS_CACHE, 77, &cancelId), S_OK);
  EXPECT_NE(cancelId, 0u);
  ASSERT_TRUE(WaitFor([&] {
    const SinkCall* last = Last(Kind::kDataChange);
    return last != nullptr && last->transactionId == 77u;
  }));
  const SinkCall* refresh = Last(Kind::kDataChange);
  ASSERT_EQ(refresh->entries.size(), 2u);
  EXPECT_EQ(refresh->entries[0].handle, 0u);
  EXPECT_EQ(refresh->entries[1].handle, 2u);
  EXPECT_EQ(refresh->entries[1].value, "-1");
}

TEST_F(SimulatorTest, Refresh2WithoutActiveItemsFails) {
  auto group = MakeGroup({{u"Static.Int4", VT_EMPTY, false}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  DWORD cancelId = 0;
  EXPECT_EQ(group->async->Refresh2(OPC_DS_DEVICE, 1, &cancelId), E_FAIL);
}

// --- Asynchronous IO ----------------------------------------------------------------------------

TEST_F(SimulatorTest, AsyncReadCompletesThroughOnReadCompleteOnTheAdvisingThread) {
  auto group = MakeGroup({{u"Static.Int2"}, {u"Static.String"}});
  Advise(*group);
  OPCHANDLE handles[] = {group->handles[1], 4242, group->handles[0]};
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->async->Read(3, handles, 9, &cancelId, errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  EXPECT_NE(cancelId, 0u);
  EXPECT_TRUE(m_sink->calls.empty());
  ASSERT_TRUE(WaitForCall(Kind::kReadComplete));
  const SinkCall* call = Last(Kind::kReadComplete);
  EXPECT_EQ(call->thread, std::this_thread::get_id());
  EXPECT_EQ(call->transactionId, 9u);
  EXPECT_EQ(call->group, kClientGroup);
  ASSERT_EQ(call->entries.size(), 2u);
  EXPECT_EQ(call->entries[0].handle, 1u);
  EXPECT_EQ(call->entries[0].value, "Quarnix");
  EXPECT_EQ(call->entries[1].handle, 0u);
  EXPECT_EQ(call->entries[1].value, "300");
}

TEST_F(SimulatorTest, AsyncWriteStoresAndCompletesThroughOnWriteComplete) {
  auto group = MakeGroup({{u"Memory.Int2.asyncWrite"}, {u"Static.Int2"}});
  Advise(*group);
  Values values;
  values.I4(1234).I4(1);
  OPCHANDLE handles[] = {group->handles[0], group->handles[1]};
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->async->Write(2, handles, values.v.data(), 11, &cancelId, errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
  ASSERT_TRUE(WaitForCall(Kind::kWriteComplete));
  const SinkCall* call = Last(Kind::kWriteComplete);
  EXPECT_EQ(call->transactionId, 11u);
  EXPECT_EQ(call->masterError, S_OK);
  ASSERT_EQ(call->entries.size(), 1u);
  EXPECT_EQ(call->entries[0].handle, 0u);
  EXPECT_EQ(ReadOne(*group, 0).value, "1234");
}

TEST_F(SimulatorTest, AsyncWriteOutOfRangeCompletesWithTheItemsError) {
  auto group = MakeGroup({{u"Memory.Int1.asyncRange"}});
  Advise(*group);
  Values values;
  values.I4(1000);
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(
      group->async->Write(1, group->handles.data(), values.v.data(), 12, &cancelId, errors.Put()),
      S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kWriteComplete));
  const SinkCall* call = Last(Kind::kWriteComplete);
  EXPECT_EQ(call->masterError, S_FALSE);
  ASSERT_EQ(call->entries.size(), 1u);
  EXPECT_EQ(call->entries[0].error, OPC_E_RANGE);
}

TEST_F(SimulatorTest, ValuesOfTypesTheServerCannotHoldAreRefused) {
  auto group = MakeGroup({{u"Memory.Int4.oddTypes"}});
  Advise(*group);
  VARIANT odd;
  VariantInit(&odd);
  odd.vt = VT_ARRAY | VT_I4;
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->async->Write(1, group->handles.data(), &odd, 1, &cancelId, errors.Put()),
            S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_BADTYPE);
  EXPECT_EQ(cancelId, 0u);
  VARIANT null;  // converts to no number
  VariantInit(&null);
  null.vt = VT_NULL;
  ASSERT_EQ(group->sync->Write(1, group->handles.data(), &null, errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_BADTYPE);
  EXPECT_EQ(ReadOne(*group, 0).value, "0");
}

TEST_F(SimulatorTest, AsyncCallsWithoutACallbackConnectionFail) {
  auto group = MakeGroup({{u"Memory.Int4.noSink"}});
  ASSERT_EQ(SetActive(*group, true), S_OK);
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  EXPECT_EQ(group->async->Read(1, group->handles.data(), 1, &cancelId, errors.Put()),
            CONNECT_E_NOCONNECTION);
  EXPECT_EQ(errors.Get(), nullptr);
  Values values;
  values.I4(1);
  EXPECT_EQ(
      group->async->Write(1, group->handles.data(), values.v.data(), 1, &cancelId, errors.Put()),
      CONNECT_E_NOCONNECTION);
  EXPECT_EQ(group->async->Refresh2(OPC_DS_CACHE, 1, &cancelId), CONNECT_E_NOCONNECTION);
}

TEST_F(SimulatorTest, Cancel2BeforeCompletionGivesOnCancelCompleteInstead) {
  auto group = MakeGroup({{u"Static.Int2"}});
  Advise(*group);
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(group->async->Read(1, group->handles.data(), 21, &cancelId, errors.Put()), S_OK);
  EXPECT_EQ(group->async->Cancel2(cancelId), S_OK);
  EXPECT_EQ(group->async->Cancel2(cancelId), E_FAIL);
  EXPECT_EQ(group->async->Cancel2(cancelId + 1000), E_FAIL);
  ASSERT_TRUE(WaitForCall(Kind::kCancelComplete));
  m_apartment->RunPending();
  EXPECT_EQ(m_sink->Count(Kind::kReadComplete), 0u);
  const SinkCall* call = Last(Kind::kCancelComplete);
  EXPECT_EQ(call->transactionId, 21u);
  EXPECT_EQ(call->group, kClientGroup);
}

TEST_F(SimulatorTest, CancelledWriteIsNotStored) {
  auto group = MakeGroup({{u"Memory.Int4.cancelled"}});
  Advise(*group);
  SimulatorHold(true);
  Values values;
  values.I4(99);
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(
      group->async->Write(1, group->handles.data(), values.v.data(), 31, &cancelId, errors.Put()),
      S_OK);
  EXPECT_EQ(group->async->Cancel2(cancelId), S_OK);
  SimulatorHold(false);
  ASSERT_TRUE(WaitForCall(Kind::kCancelComplete));
  m_apartment->RunPending();
  EXPECT_EQ(m_sink->Count(Kind::kWriteComplete), 0u);
  EXPECT_EQ(ReadOne(*group, 0).value, "0");
}

TEST_F(SimulatorTest, CancelIdsAreUniqueAcrossGroupsAndConnections) {
  auto a = MakeGroup({{u"Static.Int2"}});
  ComPtr<IOPCServer> other = NewServer();
  auto b = MakeGroup({{u"Static.Int2"}}, 10, u"", other.Get());
  Advise(*a);
  TestDataSink* otherSink = new TestDataSink;
  Advise(*b, otherSink);
  std::set<DWORD> ids;
  for (int i = 0; i < 5; ++i) {
    for (TestGroup* g : {a.get(), b.get()}) {
      DWORD cancelId = 0;
      CoTaskPtr<HRESULT> errors;
      ASSERT_EQ(g->async->Read(1, g->handles.data(), 1, &cancelId, errors.Put()), S_OK);
      ids.insert(cancelId);
    }
  }
  EXPECT_EQ(ids.size(), 10u);
  EXPECT_EQ(ids.count(0), 0u);
  ASSERT_TRUE(WaitFor([&] {
    return m_sink->Count(Kind::kReadComplete) == 5 && otherSink->Count(Kind::kReadComplete) == 5;
  }));
  otherSink->Release();
}

// --- Connection points --------------------------------------------------------------------------

TEST_F(SimulatorTest, AdviseHoldsTheSinkAndUnadviseReleasesIt) {
  auto group = MakeGroup({});
  EXPECT_EQ(m_sink->RefCount(), 1u);
  Advise(*group);
  EXPECT_EQ(m_sink->RefCount(), 2u);
  EXPECT_NE(group->cookie, 0u);

  TestDataSink* second = new TestDataSink;
  DWORD cookie = 0;
  EXPECT_EQ(group->point->Advise(second, &cookie), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(second->RefCount(), 1u);
  second->Release();

  EXPECT_EQ(group->point->Unadvise(group->cookie + 1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(group->point->Unadvise(group->cookie), S_OK);
  EXPECT_EQ(m_sink->RefCount(), 1u);
  EXPECT_EQ(group->point->Unadvise(group->cookie), CONNECT_E_NOCONNECTION);
}

TEST_F(SimulatorTest, AdviseRefusesASinkWithoutTheCallbackInterface) {
  auto group = MakeGroup({});
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(group->items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IOPCServer, point.Put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), S_OK);
  IID iid{};
  ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, IID_IOPCDataCallback);
  TestDataSink* plain = new TestDataSink(false);
  DWORD cookie = 1;
  EXPECT_EQ(point->Advise(plain, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(plain->RefCount(), 1u);
  plain->Release();
}

TEST_F(SimulatorTest, AdviseFromAThreadWithoutComIsRefused) {
  auto group = MakeGroup({});
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(group->items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), S_OK);
  HRESULT hr = S_OK;
  std::thread([&] {
    DWORD cookie = 0;
    hr = point->Advise(m_sink, &cookie);
  }).join();
  EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
  EXPECT_EQ(m_sink->RefCount(), 1u);
}

TEST_F(SimulatorTest, CallbacksGoToTheThreadThatAdvised) {
  auto group = MakeGroup({{u"Static.Int4"}});
  TestDataSink* sink = new TestDataSink;
  std::thread::id advisingThread;
  bool received = false;
  std::thread worker([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    advisingThread = std::this_thread::get_id();
    Advise(*group, sink);
    ASSERT_EQ(SetActive(*group, true), S_OK);
    received = CApartment::ForCurrentThread()->RunUntil(
        [&] { return sink->Count(Kind::kDataChange) >= 1; }, kDeadline);
    ASSERT_EQ(group->point->Unadvise(group->cookie), S_OK);
    CoUninitialize();
  });
  worker.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(sink->calls[0].thread, advisingThread);
  m_apartment->RunPending();
  EXPECT_TRUE(m_sink->calls.empty());
  sink->Release();
}

TEST_F(SimulatorTest, CallbacksQueuedForAThreadThatLeftComAreDropped) {
  auto group = MakeGroup({{u"Ramp.Int4"}});
  TestDataSink* sink = new TestDataSink;
  std::size_t delivered = 1;
  std::thread worker([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    Advise(*group, sink);
    ASSERT_EQ(SetActive(*group, true), S_OK);
    const auto apartment = CApartment::ForCurrentThread();
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (apartment->PendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    CoUninitialize();
    apartment->RunPending();
    delivered = sink->calls.size();
  });
  worker.join();
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(m_server->RemoveGroup(group->hServer, TRUE), S_OK);
  sink->Release();
}

// --- Removal ------------------------------------------------------------------------------------

TEST_F(SimulatorTest, CallsOnARemovedGroupFailCleanly) {
  auto group = MakeGroup({{u"Memory.Int4.removed"}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_EQ(m_server->RemoveGroup(group->hServer, TRUE), S_OK);
  // A report built before the removal (queued, or still on its way from the worker) is dropped,
  // not delivered; the removal and the dropped report let go of the sink.
  EXPECT_TRUE(WaitFor([&] { return m_sink->RefCount() == 1u; })) << m_sink->RefCount();
  EXPECT_TRUE(m_sink->calls.empty());

  CoTaskPtr<HRESULT> errors;
  CoTaskPtr<OPCITEMRESULT> results;
  std::u16string id = u"Static.Int4";
  OPCITEMDEF def = {};
  def.szItemID = id.data();
  EXPECT_EQ(group->items->AddItems(1, &def, results.Put(), errors.Put()), RPC_E_DISCONNECTED);
  EXPECT_EQ(results.Get(), nullptr);
  EXPECT_EQ(errors.Get(), nullptr);
  EXPECT_EQ(group->items->RemoveItems(1, group->handles.data(), errors.Put()), RPC_E_DISCONNECTED);
  EXPECT_EQ(group->items->SetActiveState(1, group->handles.data(), TRUE, errors.Put()),
            RPC_E_DISCONNECTED);
  EXPECT_EQ(SetActive(*group, false), RPC_E_DISCONNECTED);
  DWORD rate = 0;
  EXPECT_EQ(
      group->state->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      RPC_E_DISCONNECTED);
  CoTaskPtr<OPCITEMSTATE> states;
  EXPECT_EQ(group->sync->Read(OPC_DS_DEVICE, 1, group->handles.data(), states.Put(), errors.Put()),
            RPC_E_DISCONNECTED);
  EXPECT_EQ(states.Get(), nullptr);
  Values values;
  values.I4(1);
  EXPECT_EQ(group->sync->Write(1, group->handles.data(), values.v.data(), errors.Put()),
            RPC_E_DISCONNECTED);
  DWORD cancelId = 0;
  EXPECT_EQ(group->async->Read(1, group->handles.data(), 1, &cancelId, errors.Put()),
            RPC_E_DISCONNECTED);
  EXPECT_EQ(group->async->Refresh2(OPC_DS_CACHE, 1, &cancelId), RPC_E_DISCONNECTED);
  EXPECT_EQ(group->async->Cancel2(1), RPC_E_DISCONNECTED);
  EXPECT_EQ(group->point->Unadvise(group->cookie), RPC_E_DISCONNECTED);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(group->items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), RPC_E_DISCONNECTED);

  EXPECT_EQ(m_server->RemoveGroup(group->hServer, TRUE), E_INVALIDARG);
  EXPECT_EQ(m_server->RemoveGroup(0, TRUE), E_INVALIDARG);
}

TEST_F(SimulatorTest, NoCallbackOfARemovedGroupArrivesAndItsClientHandleIsSafeToReuse) {
  auto old = MakeGroup({{u"Ramp.Int4"}});
  Advise(*old);
  ASSERT_EQ(SetActive(*old, true), S_OK);
  ASSERT_TRUE(WaitForQueuedCalls());  // a report is queued and not yet delivered
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(old->async->Read(1, old->handles.data(), 3, &cancelId, errors.Put()), S_OK);
  ASSERT_EQ(m_server->RemoveGroup(old->hServer, TRUE), S_OK);

  // A new group under the same client handle, with a value the old group never had.
  auto fresh = MakeGroup({{u"Static.String"}});
  Advise(*fresh);
  ASSERT_EQ(SetActive(*fresh, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  m_apartment->RunPending();
  for (const auto& call : m_sink->calls) {
    EXPECT_EQ(call.kind, Kind::kDataChange);
    ASSERT_EQ(call.entries.size(), 1u);
    EXPECT_EQ(call.entries[0].value, "Quarnix");
  }
}

TEST_F(SimulatorTest, SinkMayRemoveItsGroupFromInsideACallback) {
  auto group = MakeGroup({{u"Ramp.Int4"}});
  Advise(*group);
  constexpr HRESULT kNotCalled = 0x1234;
  HRESULT removal = kNotCalled;
  m_sink->onValues = [&](const SinkCall&) {
    if (removal == kNotCalled) removal = m_server->RemoveGroup(group->hServer, TRUE);
  };
  ASSERT_EQ(SetActive(*group, true), S_OK);
  ASSERT_TRUE(WaitForCall(Kind::kDataChange));
  EXPECT_EQ(removal, S_OK);
  EXPECT_EQ(ReadOne(*group, 0, OPC_DS_DEVICE, &removal).value, "");
  EXPECT_EQ(removal, RPC_E_DISCONNECTED);
  m_sink->onValues = nullptr;
}

TEST_F(SimulatorTest, RemovalWithoutForceWaitsForTheLastReference) {
  auto group = MakeGroup({{u"Static.Int4"}}, 500, u"Kept");
  EXPECT_EQ(m_server->RemoveGroup(group->hServer, FALSE), OPC_S_INUSE);
  EXPECT_EQ(ReadOne(*group, 0).value, "70000");  // still usable by its holder
  auto again = MakeGroup({}, 500, u"Kept");      // its name is free already
  EXPECT_EQ(again->addResult, S_OK);

  const OPCHANDLE handle = again->hServer;
  again.reset();  // no references left: removal without force is immediate
  EXPECT_EQ(m_server->RemoveGroup(handle, FALSE), S_OK);
}

std::atomic<int> g_objectsMade{0};
std::atomic<int> g_objectsGone{0};
void CountObjects(bool made) {
  ++(made ? g_objectsMade : g_objectsGone);
}

TEST_F(SimulatorTest, ObjectHookSeesEachConnectionMadeAndGoneAfterItsGroups) {
  g_objectsMade = 0;
  g_objectsGone = 0;
  SetSimulatorObjectHook(CountObjects);
  ComPtr<IOPCServer> server = NewServer();
  EXPECT_EQ(g_objectsMade.load(), 1);
  auto group = MakeGroup({{u"Static.Int4"}}, 10, u"", server.Get());
  server.Reset();
  EXPECT_EQ(g_objectsGone.load(), 0);  // its group's object still holds it
  group.reset();
  EXPECT_EQ(g_objectsGone.load(), 1);
  SetSimulatorObjectHook(nullptr);
  m_server.Reset();
  EXPECT_EQ(g_objectsGone.load(), 1);  // not counted without the hook
}

TEST_F(SimulatorTest, ReleasingTheServerEndsItsGroups) {
  auto group = MakeGroup({{u"Static.Int4"}});
  Advise(*group);
  ComPtr<IOPCServer> server = std::move(m_server);
  server.Reset();  // the group's object still holds the server
  EXPECT_EQ(ReadOne(*group, 0).value, "70000");
  EXPECT_EQ(m_sink->RefCount(), 2u);
  group.reset();  // last reference: the connection ends with its groups
  EXPECT_EQ(m_sink->RefCount(), 1u);
  EXPECT_FALSE(SimulatorWorkerRunning());
}

}  // namespace

TEST_F(SimulatorTest, ControlRestartCrashesTheServerForTheAskedSecondsThenStartsFresh) {
  auto group = MakeGroup({{u"Control.Restart"}, {u"Memory.Int4.restart"}});
  Advise(*group);
  ASSERT_EQ(SetActive(*group, true), S_OK);
  HRESULT itemError = S_OK;
  for (LONG refused : {0, -1, 700}) {
    Values value;
    value.I4(refused);
    EXPECT_EQ(WriteOne(*group, 0, value, &itemError), S_FALSE);
    EXPECT_EQ(itemError, OPC_E_RANGE) << refused;
  }
  EXPECT_EQ(ReadOne(*group, 0).value, "0");
  Values remembered;
  remembered.I4(42);
  ASSERT_EQ(WriteOne(*group, 1, remembered, &itemError), S_OK);

  Values oneSecond;
  oneSecond.I4(1);
  ASSERT_EQ(WriteOne(*group, 0, oneSecond, &itemError), S_OK);  // answered, then down
  const std::size_t deliveredBefore = m_sink->calls.size();
  constexpr HRESULT kUnavailable = static_cast<HRESULT>(0x800706BAu);
  HRESULT hr = S_OK;
  ReadOne(*group, 1, OPC_DS_DEVICE, &hr);
  EXPECT_EQ(hr, kUnavailable);
  EXPECT_EQ(SetActive(*group, false), kUnavailable);
  CoTaskPtr<OPCSERVERSTATUS> status;
  EXPECT_EQ(m_server->GetStatus(status.Put()), kUnavailable);
  EXPECT_EQ(m_server->RemoveGroup(group->hServer, TRUE), kUnavailable);
  // The dead server holds no sink, and nothing is delivered. A report that the worker built just
  // before the crash may still be on its way to this apartment, holding the sink until it
  // arrives and is dropped: wait for it.
  EXPECT_TRUE(WaitFor([&] { return m_sink->RefCount() == 1u; })) << m_sink->RefCount();
  EXPECT_EQ(m_sink->calls.size(), deliveredBefore);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kSimulatorProgId, &clsid), S_OK);
  ComPtr<IOPCServer> fresh;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, fresh.PutVoid()),
            CO_E_SERVER_EXEC_FAILURE);

  // After the downtime a creation gives a server that remembers nothing.
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, fresh.PutVoid()) !=
         S_OK) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(10ms);
  }
  auto again = MakeGroup({{u"Memory.Int4.restart"}}, 10, u"", fresh.Get());
  EXPECT_EQ(ReadOne(*again, 0).value, "0");
  EXPECT_EQ(m_server->GetStatus(status.Put()), kUnavailable);  // the old connection stays dead
}

TEST_F(SimulatorTest, ControlHangBlocksCallsUntilTheCallersCallIsCancelledAndDelayChecksItsRange) {
  auto group = MakeGroup({{u"Control.Hang"}, {u"Control.Delay"}});
  HRESULT itemError = S_OK;
  for (const auto& [item, refused] :
       {std::pair{0, 0}, std::pair{0, 601}, std::pair{1, -1}, std::pair{1, 600001}}) {
    Values value;
    value.I4(refused);
    EXPECT_EQ(WriteOne(*group, static_cast<WORD>(item), value, &itemError), S_FALSE);
    EXPECT_EQ(itemError, OPC_E_RANGE) << item << ": " << refused;
  }
  Values none;
  none.I4(0);
  EXPECT_EQ(WriteOne(*group, 1, none, &itemError), S_OK);
  EXPECT_EQ(ReadOne(*group, 0).value, "0");

  // Hung for 600 s: this thread's next call waits until another thread cancels it.
  Values hang;
  hang.I4(600);
  ASSERT_EQ(WriteOne(*group, 0, hang, &itemError), S_OK);  // answered first
  CoEnableCallCancellation(nullptr);
  const DWORD caller = ComCurrentThreadId();
  std::thread canceller([caller] {
    for (;;) {
      const ComPendingCall call = ComPendingCallOf(caller);
      if (call.pending) {
        EXPECT_STREQ(call.method, "GetStatus");
        EXPECT_EQ(ComCancelPendingCall(caller, call.serial), S_OK);
        return;
      }
      std::this_thread::yield();
    }
  });
  CoTaskPtr<OPCSERVERSTATUS> status;
  EXPECT_EQ(m_server->GetStatus(status.Put()), RPC_E_CALL_CANCELED);
  EXPECT_EQ(status.Get(), nullptr);
  canceller.join();
  EXPECT_EQ(ComPendingCallOf(caller).pending, false);
  CoDisableCallCancellation(nullptr);
  SimulatorHang(std::chrono::milliseconds(0));
  EXPECT_EQ(m_server->GetStatus(status.Put()), S_OK);
  CoTaskMemFree(status.Get()->szVendorInfo);
}
