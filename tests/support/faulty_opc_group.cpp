// The group object of CFaultyOpcServer and its connection point: record, fail on demand or
// forward to the simulator's group.
#include <algorithm>

#include "tests/support/faulty_opc_objects.h"

namespace {

RecordedItemDef CopyDef(const OPCITEMDEF& d) {
  RecordedItemDef out;
  if (d.szAccessPath) out.accessPath = d.szAccessPath;
  if (d.szItemID) out.itemId = d.szItemID;
  out.active = d.bActive;
  out.clientHandle = d.hClient;
  out.blobSize = d.dwBlobSize;
  out.requestedType = d.vtRequestedDataType;
  return out;
}

// Takes a reference on the interface riid of inner; null when it has none.
template <class T>
T* Obtain(IUnknown* inner, REFIID riid) {
  void* out = nullptr;
  return SUCCEEDED(inner->QueryInterface(riid, &out)) ? static_cast<T*>(out) : nullptr;
}

template <class T>
void ReleaseIf(T* p) {
  if (p) p->Release();
}

class CFaultyGroup;

// The connection point for IOPCDataCallback: Advise hands the simulator a recording wrapper.
class CFaultyConnectionPoint final : public IConnectionPoint, public CFaultyState::CForwarder {
public:
  CFaultyConnectionPoint(std::shared_ptr<CFaultyState> state,
                         std::shared_ptr<FaultyGroupData> group, IConnectionPointContainer* owner,
                         IConnectionPoint* inner)
      : CForwarder(std::move(state)), m_group(std::move(group)), m_owner(owner), m_inner(inner) {
    m_owner->AddRef();
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (m_state->Refuses(riid)) return RefusedQuery(riid, ppv, m_group->view.serverHandle);
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  HRESULT GetConnectionInterface(IID* pIID) override {
    return m_inner->GetConnectionInterface(pIID);
  }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    if (!ppCPC) return E_POINTER;
    *ppCPC = m_owner;
    m_owner->AddRef();
    return S_OK;
  }
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT Unadvise(DWORD dwCookie) override {
    RecordedCall call = Call(OpcMethod::kUnadvise);
    call.cookie = dwCookie;
    HRESULT hr = S_OK;
    if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
    return m_state->Record(call, m_inner->Unadvise(dwCookie));
  }
  HRESULT EnumConnections(IEnumConnections** ppEnum) override {
    return m_inner->EnumConnections(ppEnum);
  }

private:
  ~CFaultyConnectionPoint() override {
    m_inner->Release();
    m_owner->Release();
  }

  RecordedCall Call(OpcMethod method) const {
    RecordedCall call;
    call.method = method;
    call.serverGroup = m_group->view.serverHandle;
    return call;
  }

  const std::shared_ptr<FaultyGroupData> m_group;
  IConnectionPointContainer* const m_owner;  // one reference
  IConnectionPoint* const m_inner;           // one reference
};

HRESULT CFaultyConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  RecordedCall call = Call(OpcMethod::kAdvise);
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  IOPCDataCallback* sink =
      pUnkSink ? Obtain<IOPCDataCallback>(pUnkSink, IID_IOPCDataCallback) : nullptr;
  if (!sink) {  // the simulator refuses it as it sees fit
    hr = m_inner->Advise(pUnkSink, pdwCookie);
  } else {
    auto* wrapper = new CFaultySink(m_state, m_group, sink);
    sink->Release();
    hr = m_inner->Advise(wrapper, pdwCookie);
    wrapper->Release();
  }
  if (SUCCEEDED(hr) && pdwCookie) call.cookie = *pdwCookie;
  return m_state->Record(call, hr);
}

// The group: IOPCItemMgt, IOPCGroupStateMgt, IOPCSyncIO, IOPCAsyncIO2 and
// IConnectionPointContainer on one identity, as the simulator's group has them.
class CFaultyGroup final : public IOPCItemMgt,
                           public IOPCGroupStateMgt,
                           public IOPCSyncIO,
                           public IOPCAsyncIO2,
                           public IConnectionPointContainer,
                           public CFaultyState::CForwarder {
public:
  CFaultyGroup(std::shared_ptr<CFaultyState> state, IOPCServer* server,
               std::shared_ptr<FaultyGroupData> data, IUnknown* inner)
      : CForwarder(std::move(state)),
        m_server(server),
        m_data(std::move(data)),
        m_inner(inner),
        m_items(Obtain<IOPCItemMgt>(inner, IID_IOPCItemMgt)),
        m_stateMgt(Obtain<IOPCGroupStateMgt>(inner, IID_IOPCGroupStateMgt)),
        m_sync(Obtain<IOPCSyncIO>(inner, IID_IOPCSyncIO)),
        m_async(Obtain<IOPCAsyncIO2>(inner, IID_IOPCAsyncIO2)),
        m_points(Obtain<IConnectionPointContainer>(inner, IID_IConnectionPointContainer)) {
    m_server->AddRef();
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  // IOPCItemMgt
  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                   HRESULT** ppErrors) override;
  HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override {
    return m_items->ValidateItems(dwCount, pItemArray, bBlobUpdate, ppValidationResults, ppErrors);
  }
  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
  HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                         HRESULT** ppErrors) override {
    return m_items->SetActiveState(dwCount, phServer, bActive, ppErrors);
  }
  HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                           HRESULT** ppErrors) override {
    return m_items->SetClientHandles(dwCount, phServer, phClient, ppErrors);
  }
  HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                       HRESULT** ppErrors) override {
    return m_items->SetDatatypes(dwCount, phServer, pRequestedDatatypes, ppErrors);
  }
  HRESULT CreateEnumerator(REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;  // not wrapped: the gateway does not use it
  }

  // IOPCGroupStateMgt
  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                   OPCHANDLE* phServerGroup) override {
    return m_stateMgt->GetState(pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID,
                                phClientGroup, phServerGroup);
  }
  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                   OPCHANDLE* phClientGroup) override;
  HRESULT SetName(LPCWSTR szName) override { return m_stateMgt->SetName(szName); }
  HRESULT CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;  // not wrapped: the gateway does not use it
  }

  // IOPCSyncIO and IOPCAsyncIO2
  HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
               OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                HRESULT** ppErrors) override;
  HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
               HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
  HRESULT Cancel2(DWORD dwCancelID) override;
  HRESULT SetEnable(BOOL bEnable) override { return m_async->SetEnable(bEnable); }
  HRESULT GetEnable(BOOL* pbEnable) override { return m_async->GetEnable(pbEnable); }

  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    return m_points->EnumConnectionPoints(ppEnum);
  }
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

private:
  ~CFaultyGroup() override {
    ReleaseIf(m_points);
    ReleaseIf(m_async);
    ReleaseIf(m_sync);
    ReleaseIf(m_stateMgt);
    ReleaseIf(m_items);
    m_inner->Release();
    m_server->Release();
  }

  // A call on this group with its item handles (count and handles given).
  RecordedCall Call(OpcMethod method, DWORD count = 0, const OPCHANDLE* handles = nullptr) const {
    RecordedCall call;
    call.method = method;
    call.serverGroup = m_data->view.serverHandle;
    call.count = count;
    if (handles) call.handles.assign(handles, handles + count);
    return call;
  }
  static void AddValues(RecordedCall& call, const VARIANT* values) {
    if (!values) return;
    for (DWORD i = 0; i < call.count; ++i) call.values.emplace_back(values[i]);
  }
  // Applies the scripted item errors of method to a forwarded call's results.
  HRESULT AlterItems(OpcMethod method, const RecordedCall& call, HRESULT hr, HRESULT* errors,
                     OPCITEMSTATE* states = nullptr) const;

  IOPCServer* const m_server;  // one reference, as the simulator's group holds its server
  const std::shared_ptr<FaultyGroupData> m_data;
  IUnknown* const m_inner;
  IOPCItemMgt* const m_items;
  IOPCGroupStateMgt* const m_stateMgt;
  IOPCSyncIO* const m_sync;
  IOPCAsyncIO2* const m_async;
  IConnectionPointContainer* const m_points;
};

HRESULT CFaultyGroup::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  const OPCHANDLE group = m_data->view.serverHandle;
  if (m_state->Refuses(riid)) return RefusedQuery(riid, ppv, group);
  RecordedCall call = Call(OpcMethod::kQueryInterface);
  call.iid = riid;
  if (riid == IID_IUnknown || riid == IID_IOPCItemMgt)
    *ppv = static_cast<IOPCItemMgt*>(this);
  else if (riid == IID_IOPCGroupStateMgt)
    *ppv = static_cast<IOPCGroupStateMgt*>(this);
  else if (riid == IID_IOPCSyncIO)
    *ppv = static_cast<IOPCSyncIO*>(this);
  else if (riid == IID_IOPCAsyncIO2)
    *ppv = static_cast<IOPCAsyncIO2*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else
    *ppv = nullptr;
  if (!*ppv) return m_state->Record(call, E_NOINTERFACE);
  AddRef();
  return m_state->Record(call, S_OK);
}

HRESULT CFaultyGroup::AlterItems(OpcMethod method, const RecordedCall& call, HRESULT hr,
                                 HRESULT* errors, OPCITEMSTATE* states) const {
  if (FAILED(hr) || !errors) return hr;
  for (DWORD i = 0; i < call.count; ++i) {
    const std::u16string id = method == OpcMethod::kAddItems
                                  ? call.items[i].itemId
                                  : m_state->ItemIdOf(*m_data, call.handles[i]);
    const HRESULT error = m_state->ItemError(method, id);
    if (error == S_OK) continue;
    errors[i] = error;
    if (states) {
      VariantClear(&states[i].vDataValue);
      states[i].wQuality = OPC_QUALITY_BAD;
    }
    if (hr == S_OK) hr = S_FALSE;
  }
  return hr;
}

HRESULT CFaultyGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                               HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kAddItems, dwCount);
  if (pItemArray)
    for (DWORD i = 0; i < dwCount; ++i) call.items.push_back(CopyDef(pItemArray[i]));
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppAddResults) *ppAddResults = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_items->AddItems(dwCount, pItemArray, ppAddResults, ppErrors);
  if (FAILED(hr) || !ppAddResults || !*ppAddResults || !ppErrors || !*ppErrors)
    return m_state->Record(call, hr);
  hr = AlterItems(call.method, call, hr, *ppErrors);
  std::lock_guard lock(m_state->mutex);
  for (DWORD i = 0; i < dwCount; ++i) {
    if (FAILED((*ppErrors)[i])) {
      (*ppAddResults)[i].hServer = 0;  // an injected error: the item is not the caller's
      continue;
    }
    m_data->view.items.push_back(RecordedItem{call.items[i], (*ppAddResults)[i].hServer});
  }
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kRemoveItems, dwCount, phServer);
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_items->RemoveItems(dwCount, phServer, ppErrors);
  if (SUCCEEDED(hr)) {
    std::lock_guard lock(m_state->mutex);
    auto& items = m_data->view.items;
    for (OPCHANDLE h : call.handles)
      items.erase(std::remove_if(items.begin(), items.end(),
                                 [h](const RecordedItem& item) { return item.serverHandle == h; }),
                  items.end());
  }
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                               BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                               DWORD* pLCID, OPCHANDLE* phClientGroup) {
  RecordedCall call = Call(OpcMethod::kSetState);
  call.activeGiven = pActive != nullptr;
  call.active = pActive ? *pActive : FALSE;
  call.updateRateGiven = pRequestedUpdateRate != nullptr;
  call.updateRate = pRequestedUpdateRate ? *pRequestedUpdateRate : 0;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  hr = m_stateMgt->SetState(pRequestedUpdateRate, pRevisedUpdateRate, pActive, pTimeBias,
                            pPercentDeadband, pLCID, phClientGroup);
  if (SUCCEEDED(hr)) {
    std::lock_guard lock(m_state->mutex);
    if (pActive) m_data->view.active = *pActive;
    if (pRequestedUpdateRate) m_data->view.requestedUpdateRate = *pRequestedUpdateRate;
    if (pRevisedUpdateRate) m_data->view.revisedUpdateRate = *pRevisedUpdateRate;
  }
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                           OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kSyncRead, dwCount, phServer);
  call.source = static_cast<DWORD>(dwSource);
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppItemValues) *ppItemValues = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_sync->Read(dwSource, dwCount, phServer, ppItemValues, ppErrors);
  if (ppItemValues && *ppItemValues && ppErrors)
    hr = AlterItems(call.method, call, hr, *ppErrors, *ppItemValues);
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                            HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kSyncWrite, dwCount, phServer);
  AddValues(call, pItemValues);
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_sync->Write(dwCount, phServer, pItemValues, ppErrors);
  if (ppErrors) hr = AlterItems(call.method, call, hr, *ppErrors);
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                           DWORD* pdwCancelID, HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kAsyncRead, dwCount, phServer);
  call.transactionId = dwTransactionID;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_async->Read(dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
  if (SUCCEEDED(hr) && pdwCancelID) call.cancelId = *pdwCancelID;
  if (ppErrors) hr = AlterItems(call.method, call, hr, *ppErrors);
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                            DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
  RecordedCall call = Call(OpcMethod::kAsyncWrite, dwCount, phServer);
  call.transactionId = dwTransactionID;
  AddValues(call, pItemValues);
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) {
    if (ppErrors) *ppErrors = nullptr;
    return m_state->Record(call, hr);
  }
  hr = m_async->Write(dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID, ppErrors);
  if (SUCCEEDED(hr) && pdwCancelID) call.cancelId = *pdwCancelID;
  if (ppErrors) hr = AlterItems(call.method, call, hr, *ppErrors);
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
  RecordedCall call = Call(OpcMethod::kRefresh2);
  call.source = static_cast<DWORD>(dwSource);
  call.transactionId = dwTransactionID;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  hr = m_async->Refresh2(dwSource, dwTransactionID, pdwCancelID);
  if (SUCCEEDED(hr) && pdwCancelID) call.cancelId = *pdwCancelID;
  return m_state->Record(call, hr);
}

HRESULT CFaultyGroup::Cancel2(DWORD dwCancelID) {
  RecordedCall call = Call(OpcMethod::kCancel2);
  call.cancelId = dwCancelID;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  return m_state->Record(call, m_async->Cancel2(dwCancelID));
}

HRESULT CFaultyGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  RecordedCall call = Call(OpcMethod::kFindConnectionPoint);
  call.iid = riid;
  if (ppCP) *ppCP = nullptr;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  IConnectionPoint* inner = nullptr;
  hr = m_points->FindConnectionPoint(riid, ppCP ? &inner : nullptr);
  if (SUCCEEDED(hr) && inner) *ppCP = new CFaultyConnectionPoint(m_state, m_data, this, inner);
  return m_state->Record(call, hr);
}

}  // namespace

IUnknown* NewFaultyGroup(std::shared_ptr<CFaultyState> state, IOPCServer* server,
                         std::shared_ptr<FaultyGroupData> data, IUnknown* inner) {
  return static_cast<IOPCItemMgt*>(
      new CFaultyGroup(std::move(state), server, std::move(data), inner));
}
