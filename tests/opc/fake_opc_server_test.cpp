// The fake server's own behaviour that the handler tests rely on: values, per-item errors,
// completions through the advising apartment, cancellation, removal and the leak check.
#include "tests/support/fake_opc_server.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/apartment.h"

namespace {

// Records every callback it receives.
class CRecordingSink final : public IOPCDataCallback {
public:
  struct Event {
    std::string method;
    DWORD transid = 0;
    OPCHANDLE hGroup = 0;
    DWORD count = 0;
    std::vector<OPCHANDLE> handles;
    std::vector<CFakeVariant> values;
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

  HRESULT OnDataChange(DWORD transid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD count,
                       OPCHANDLE* handles, VARIANT* values, WORD*, FILETIME*, HRESULT*) override {
    Add("OnDataChange", transid, hGroup, count, handles, values);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD transid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD count,
                         OPCHANDLE* handles, VARIANT* values, WORD*, FILETIME*, HRESULT*) override {
    Add("OnReadComplete", transid, hGroup, count, handles, values);
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD transid, OPCHANDLE hGroup, HRESULT, DWORD count, OPCHANDLE* handles,
                          HRESULT*) override {
    Add("OnWriteComplete", transid, hGroup, count, handles, nullptr);
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD transid, OPCHANDLE hGroup) override {
    Add("OnCancelComplete", transid, hGroup, 0, nullptr, nullptr);
    return S_OK;
  }

  std::vector<Event> events;
  long refs = 0;

private:
  void Add(const char* method, DWORD transid, OPCHANDLE hGroup, DWORD count, OPCHANDLE* handles,
           VARIANT* values) {
    Event e{method, transid, hGroup, count, {}, {}};
    for (DWORD i = 0; i < count; ++i) {
      e.handles.push_back(handles[i]);
      if (values) e.values.emplace_back(values[i]);
    }
    events.push_back(std::move(e));
  }
};

class FakeServer : public ::testing::Test {
protected:
  FakeServer() {
    CoInitialize(nullptr);
    fake.SetAsyncCompletion(true);
    fake.SetItemValue(u"Tag.A", CFakeVariant::I2(300));
    fake.SetItemValue(u"Tag.B", CFakeVariant::Str(u"text"));
    server = ComPtr<IOPCServer>(fake.CreateServer());
    LPUNKNOWN unknown = nullptr;
    OPCHANDLE serverHandle = 0;
    DWORD revised = 0;
    EXPECT_EQ(server->AddGroup(u"g", FALSE, 500, 4, nullptr, nullptr, 0x409, &serverHandle,
                               &revised, IID_IOPCItemMgt, &unknown),
              S_OK);
    items = ComPtr<IOPCItemMgt>(static_cast<IOPCItemMgt*>(unknown));
    hGroup = serverHandle;
    WCHAR path[] = u"";
    WCHAR a[] = u"Tag.A";
    WCHAR b[] = u"Tag.B";
    OPCITEMDEF defs[2] = {{path, a, TRUE, 0, 0, nullptr, VT_I2, 0},
                          {path, b, TRUE, 1, 0, nullptr, VT_BSTR, 0}};
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
  ~FakeServer() override {
    CApartment::ForCurrentThread()->RunPending();  // nothing queued may outlive the sink
    point->Unadvise(cookie);
    point.Reset();
    async.Reset();
    items.Reset();
    server.Reset();
    EXPECT_TRUE(fake.AllReleased());
    EXPECT_EQ(sink.refs, 0);
    CoUninitialize();
  }

  void SetActive(BOOL active) {
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(items->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid()), S_OK);
    ASSERT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
  }

  bool RunUntilEvents(std::size_t n) {
    return CApartment::ForCurrentThread()->RunUntil([&] { return sink.events.size() >= n; },
                                                    std::chrono::seconds(5));
  }

  CFakeOpcServer fake{u""};
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

TEST_F(FakeServer, RefreshCompletesLaterThroughTheAdvisingApartment) {
  DWORD cancelId = 0;
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 7, &cancelId), E_FAIL);  // inactive group
  SetActive(TRUE);
  ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 7, &cancelId), S_OK);
  EXPECT_EQ(cancelId, CFakeOpcServer::kFirstCancelId);
  EXPECT_TRUE(sink.events.empty());  // never inside the call
  ASSERT_TRUE(RunUntilEvents(1));
  EXPECT_EQ(sink.events[0].method, "OnDataChange");
  EXPECT_EQ(sink.events[0].transid, 7u);
  EXPECT_EQ(sink.events[0].hGroup, 4u);  // the client handle
  EXPECT_EQ(sink.events[0].handles, (std::vector<OPCHANDLE>{0, 1}));
  EXPECT_TRUE(sink.events[0].values[0] == CFakeVariant::I2(300));
  EXPECT_EQ(sink.events[0].values[1].Text(), u"text");
}

TEST_F(FakeServer, SyncReadAndWriteUseTheServedValuesAndPerItemErrors) {
  ComPtr<IOPCSyncIO> sync;
  ASSERT_EQ(items->QueryInterface(IID_IOPCSyncIO, sync.PutVoid()), S_OK);
  VARIANT value = CFakeVariant::I2(-5).Get();
  CoTaskPtr<HRESULT> writeErrors;
  ASSERT_EQ(sync->Write(1, itemHandles, &value, writeErrors.Put()), S_OK);
  EXPECT_TRUE(fake.ItemValue(u"Tag.A") == CFakeVariant::I2(-5));

  fake.SetItemError("SyncRead", u"Tag.B", OPC_E_BADRIGHTS);
  CoTaskPtr<OPCITEMSTATE> states;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(sync->Read(OPC_DS_DEVICE, 2, itemHandles, states.Put(), errors.Put()), S_FALSE);
  EXPECT_EQ(states[0].vDataValue.iVal, -5);
  EXPECT_EQ(states[0].hClient, 0u);
  EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
  for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
  EXPECT_EQ(fake.CallsOf("SyncRead")[0].source, static_cast<DWORD>(OPC_DS_DEVICE));
}

TEST_F(FakeServer, CancelBeforeCompletionReportsTheCancelOnly) {
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(async->Read(2, itemHandles, 11, &cancelId, errors.Put()), S_OK);
  ASSERT_EQ(async->Cancel2(cancelId), S_OK);
  EXPECT_EQ(async->Cancel2(cancelId), E_FAIL);
  ASSERT_TRUE(RunUntilEvents(1));
  CApartment::ForCurrentThread()->RunPending();
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].method, "OnCancelComplete");
  EXPECT_EQ(sink.events[0].transid, 11u);
}

TEST_F(FakeServer, RemovedGroupDropsQueuedCallbacksAndRefusesCalls) {
  VARIANT value = CFakeVariant::I2(1).Get();
  DWORD cancelId = 0;
  CoTaskPtr<HRESULT> errors;
  ASSERT_EQ(async->Write(1, itemHandles, &value, 3, &cancelId, errors.Put()), S_OK);
  ASSERT_EQ(server->RemoveGroup(hGroup, TRUE), S_OK);
  CApartment::ForCurrentThread()->RunPending();
  EXPECT_TRUE(sink.events.empty());
  CoTaskPtr<HRESULT> removeErrors;
  EXPECT_EQ(items->RemoveItems(2, itemHandles, removeErrors.Put()), E_FAIL);
  EXPECT_EQ(fake.ActiveGroupCount(), 0u);
}

TEST_F(FakeServer, FailureRulesSkipAndCount) {
  fake.SetFailure("Refresh2", E_OUTOFMEMORY, 1, 1);
  SetActive(TRUE);
  DWORD id = 0;
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 1, &id), S_OK);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 2, &id), E_OUTOFMEMORY);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 3, &id), S_OK);
  ASSERT_TRUE(RunUntilEvents(2));
}

TEST_F(FakeServer, LeakCheckSeesAReferenceNotGivenBack) {
  IOPCServer* extra = fake.CreateServer();
  EXPECT_FALSE(fake.AllReleased());
  const long before = fake.OutstandingReferences();
  extra->AddRef();
  EXPECT_EQ(fake.OutstandingReferences(), before + 1);
  extra->Release();
  extra->Release();
  EXPECT_EQ(fake.OutstandingReferences(), before - 1);
}
