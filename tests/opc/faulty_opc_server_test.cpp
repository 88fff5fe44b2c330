// The test server's own contract: calls reach the simulator and are recorded, scripted failures
// and item errors replace its answers, its callbacks reach the advised sink through the advising
// apartment, and the leak check sees every reference.
#include "tests/support/faulty_opc_server.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/apartment.h"

using enum OpcMethod;

namespace {

// Records every callback it receives.
class CRecordingSink final : public IOPCDataCallback {
public:
  struct Event {
    std::string method;
    DWORD transid = 0;
    OPCHANDLE hGroup = 0;
    HRESULT masterError = S_OK;
    std::vector<OPCHANDLE> handles;
    std::vector<CTestVariant> values;
  };

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown || riid == IID_IOPCDataCallback)) return E_NOINTERFACE;
    *ppv = static_cast<IOPCDataCallback*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG Release() override { return static_cast<ULONG>(--refs); }  // lives on the stack

  HRESULT OnDataChange(DWORD transid, OPCHANDLE hGroup, HRESULT, HRESULT error, DWORD count,
                       OPCHANDLE* handles, VARIANT* values, WORD*, FILETIME*, HRESULT*) override {
    Add("OnDataChange", transid, hGroup, error, count, handles, values);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD transid, OPCHANDLE hGroup, HRESULT, HRESULT error, DWORD count,
                         OPCHANDLE* handles, VARIANT* values, WORD*, FILETIME*, HRESULT*) override {
    Add("OnReadComplete", transid, hGroup, error, count, handles, values);
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD transid, OPCHANDLE hGroup, HRESULT error, DWORD count,
                          OPCHANDLE* handles, HRESULT*) override {
    Add("OnWriteComplete", transid, hGroup, error, count, handles, nullptr);
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD transid, OPCHANDLE hGroup) override {
    Add("OnCancelComplete", transid, hGroup, S_OK, 0, nullptr, nullptr);
    return S_OK;
  }

  std::vector<Event> events;
  long refs = 0;

private:
  void Add(const char* method, DWORD transid, OPCHANDLE hGroup, HRESULT error, DWORD count,
           OPCHANDLE* handles, VARIANT* values) {
    Event e{method, transid, hGroup, error, {}, {}};
    for (DWORD i = 0; i < count; ++i) {
      e.handles.push_back(handles[i]);
      if (values) e.values.emplace_back(values[i]);
    }
    events.push_back(std::move(e));
  }
};

const std::u16string kItemA = u"Memory.Int2.faulty-a";
const std::u16string kItemB = u"Static.String";

class FaultyServer : public ::testing::Test {
protected:
  FaultyServer() {
    CoInitialize(nullptr);
    EXPECT_EQ(CFaultyOpcServer::WriteItem(kItemA, CTestVariant::I2(300)), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(CFaultyOpcServer::kProgId, &clsid), S_OK);
    EXPECT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid()),
        S_OK);
    LPUNKNOWN unknown = nullptr;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(u"g", FALSE, 500, 4, nullptr, nullptr, 0x409, &hGroup, &revised,
                               IID_IOPCItemMgt, &unknown),
              S_OK);
    items = ComPtr<IOPCItemMgt>(static_cast<IOPCItemMgt*>(unknown));
    std::u16string a = kItemA, b = kItemB;
    WCHAR path[] = u"";
    OPCITEMDEF defs[2] = {{path, a.data(), TRUE, 0, 0, nullptr, VT_I2, 0},
                          {path, b.data(), TRUE, 1, 0, nullptr, VT_BSTR, 0}};
    CoTaskPtr<OPCITEMRESULT> results;
    CoTaskPtr<HRESULT> errors;
    EXPECT_EQ(items->AddItems(2, defs, results.Put(), errors.Put()), S_OK);
    itemHandles[0] = results[0].hServer;
    itemHandles[1] = results[1].hServer;

    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), S_OK);
    EXPECT_EQ(point->Advise(&sink, &cookie), S_OK);
    EXPECT_EQ(items->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid()), S_OK);
  }
  ~FaultyServer() override {
    point->Unadvise(cookie);
    server->RemoveGroup(hGroup, TRUE);
    CApartment::ForCurrentThread()->RunPending();
    point.Reset();
    async.Reset();
    items.Reset();
    server.Reset();
    EXPECT_TRUE(faulty.AllReleased());
    EXPECT_EQ(faulty.HeldSinkCount(), 0u);
    EXPECT_EQ(sink.refs, 0);
    CoUninitialize();
  }

  void SetActive(BOOL active) {
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid()), S_OK);
    ASSERT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
  }

  // Drains this thread's apartment until the sink holds an event matching the method.
  bool RunUntilEvent(const std::string& method, DWORD transid) {
    return CApartment::ForCurrentThread()->RunUntil(
        [&] {
          for (const auto& e : sink.events)
            if (e.method == method && e.transid == transid) return true;
          return false;
        },
        std::chrono::seconds(5));
  }

  CFaultyOpcServer faulty;
  CRecordingSink sink;
  ComPtr<IOPCServer> server;
  ComPtr<IOPCItemMgt> items;
  ComPtr<IOPCAsyncIO2> async;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  OPCHANDLE hGroup = 0;
  OPCHANDLE itemHandles[2] = {};
};

}  // namespace

TEST_F(FaultyServer, CallsReachTheSimulatorAndAreRecorded) {
  ComPtr<IOPCSyncIO> sync;
  ASSERT_EQ(items->QueryInterface(IID_IOPCSyncIO, sync.PutVoid()), S_OK);
  VARIANT value = CTestVariant::I2(-5).Get();
  CoTaskPtr<HRESULT> writeErrors;
  ASSERT_EQ(sync->Write(1, itemHandles, &value, writeErrors.Put()), S_OK);
  CoTaskPtr<OPCITEMSTATE> states;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(sync->Read(OPC_DS_DEVICE, 2, itemHandles, states.Put(), errors.Put()), S_OK);
  EXPECT_EQ(states[0].vDataValue.iVal, -5);
  EXPECT_EQ(CTestVariant(states[1].vDataValue).Text(), u"Quarnix");
  for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);

  EXPECT_EQ(faulty.CountOf(kCreateInstance), 1);
  const auto writes = faulty.CallsOf(kSyncWrite);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].serverGroup, hGroup);
  EXPECT_EQ(writes[0].handles, std::vector<OPCHANDLE>{itemHandles[0]});
  EXPECT_EQ(writes[0].values, std::vector<CTestVariant>{CTestVariant::I2(-5)});
  EXPECT_EQ(faulty.CallsOf(kSyncRead).at(0).source, static_cast<DWORD>(OPC_DS_DEVICE));

  const auto group = faulty.GroupByName(u"g");
  ASSERT_TRUE(group.has_value());
  EXPECT_EQ(group->serverHandle, hGroup);
  EXPECT_EQ(group->clientHandle, 4u);
  ASSERT_EQ(group->items.size(), 2u);
  EXPECT_EQ(group->items[1].def.itemId, kItemB);
  EXPECT_EQ(group->items[1].serverHandle, itemHandles[1]);
  EXPECT_EQ(group->sinkCount, 1u);
  EXPECT_EQ(group->sink, static_cast<IOPCDataCallback*>(&sink));
}

TEST_F(FaultyServer, ScriptedFailuresSkipCountAndLeaveTheRestToTheSimulator) {
  DWORD cancelId = 0;
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 1, &cancelId), E_FAIL);  // the simulator: inactive
  SetActive(TRUE);
  faulty.SetFailure(kRefresh2, E_OUTOFMEMORY, 1, 1);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 2, &cancelId), S_OK);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 3, &cancelId), E_OUTOFMEMORY);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 4, &cancelId), S_OK);
  EXPECT_EQ(faulty.CallsOf(kRefresh2).back().cancelId, cancelId);
  ASSERT_TRUE(RunUntilEvent("OnDataChange", 4));
  EXPECT_TRUE(RunUntilEvent("OnDataChange", 2));
  for (const auto& e : sink.events) EXPECT_NE(e.transid, 3u);
  EXPECT_EQ(sink.events.back().hGroup, 4u);  // the client handle
}

TEST_F(FaultyServer, ItemErrorsAndRefusedInterfacesAlterTheAnswers) {
  faulty.SetItemError(kSyncRead, kItemB, OPC_E_BADRIGHTS);
  ComPtr<IOPCSyncIO> sync;
  ASSERT_EQ(items->QueryInterface(IID_IOPCSyncIO, sync.PutVoid()), S_OK);
  CoTaskPtr<OPCITEMSTATE> states;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(sync->Read(OPC_DS_DEVICE, 2, itemHandles, states.Put(), errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
  for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);

  faulty.RefuseInterface(IID_IOPCSyncIO);
  ComPtr<IOPCSyncIO> refused;
  EXPECT_EQ(items->QueryInterface(IID_IOPCSyncIO, refused.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(faulty.CallsOf(kQueryInterface).back().result, E_NOINTERFACE);
}

TEST_F(FaultyServer, InjectedCallbacksReachTheSinkWithTheGroupsClientHandle) {
  EXPECT_EQ(faulty.FireDataChange(hGroup, 0, S_FALSE, E_FAIL, {{1, CTestVariant::I2(7)}}), S_OK);
  EXPECT_EQ(faulty.FireCancelComplete(hGroup, 9), S_OK);
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0].hGroup, 4u);
  EXPECT_EQ(sink.events[0].masterError, E_FAIL);
  EXPECT_EQ(sink.events[0].values, std::vector<CTestVariant>{CTestVariant::I2(7)});
  EXPECT_EQ(sink.events[1].method, "OnCancelComplete");
  EXPECT_EQ(faulty.FireCancelComplete(hGroup + 1000, 9), CONNECT_E_NOCONNECTION);
}

TEST_F(FaultyServer, LeakCheckSeesAReferenceNotGivenBack) {
  const long before = faulty.OutstandingReferences();
  server->AddRef();
  EXPECT_EQ(faulty.OutstandingReferences(), before + 1);
  server->Release();
  EXPECT_EQ(faulty.OutstandingReferences(), before);
  EXPECT_EQ(faulty.LiveObjectCount(), 3u);  // server, group, connection point
}
