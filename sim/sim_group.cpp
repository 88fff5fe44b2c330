#include "sim/sim_group.h"

#include "sim/sim_connection_point.h"
#include "sim/sim_core.h"

CSimGroup::CSimGroup(CSimServer* server, std::shared_ptr<SimGroupState> state)
    : m_server(server), m_state(std::move(state)) {
  m_server->AddRef();
}

CSimGroup::~CSimGroup() {
  m_server->Release();
}

bool CSimGroup::TryAddRef() {
  ULONG count = m_refCount.load();
  while (count != 0)
    if (m_refCount.compare_exchange_weak(count, count + 1)) return true;
  return false;
}

HRESULT CSimGroup::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (riid == IID_IUnknown || riid == IID_IOPCItemMgt)
    *ppvObject = static_cast<IOPCItemMgt*>(this);
  else if (riid == IID_IOPCGroupStateMgt)
    *ppvObject = static_cast<IOPCGroupStateMgt*>(this);
  else if (riid == IID_IOPCSyncIO)
    *ppvObject = static_cast<IOPCSyncIO*>(this);
  else if (riid == IID_IOPCAsyncIO2)
    *ppvObject = static_cast<IOPCAsyncIO2*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *ppvObject = static_cast<IConnectionPointContainer*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG CSimGroup::AddRef() {
  return ++m_refCount;
}

ULONG CSimGroup::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) {
    Core().WrapperGone(*m_state, this);
    delete this;
  }
  return count;
}

// --- IOPCItemMgt --------------------------------------------------------------------------------

HRESULT CSimGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) {
  ComCallFrame frame("AddItems");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().AddItems(m_state, dwCount, pItemArray, true, ppAddResults, ppErrors);
}

HRESULT CSimGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL /*bBlobUpdate*/,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
  ComCallFrame frame("ValidateItems");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().AddItems(m_state, dwCount, pItemArray, false, ppValidationResults, ppErrors);
}

HRESULT CSimGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  ComCallFrame frame("RemoveItems");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().RemoveItems(*m_state, dwCount, phServer, ppErrors);
}

HRESULT CSimGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                  HRESULT** ppErrors) {
  ComCallFrame frame("SetActiveState");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetActiveState(*m_state, dwCount, phServer, bActive, ppErrors);
}

HRESULT CSimGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) {
  ComCallFrame frame("SetClientHandles");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetClientHandles(*m_state, dwCount, phServer, phClient, ppErrors);
}

HRESULT CSimGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) {
  ComCallFrame frame("SetDatatypes");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetDatatypes(*m_state, dwCount, phServer, pRequestedDatatypes, ppErrors);
}

HRESULT CSimGroup::CreateEnumerator(REFIID /*riid*/, LPUNKNOWN* ppUnk) {
  ComCallFrame frame("CreateEnumerator");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}

// --- IOPCGroupStateMgt --------------------------------------------------------------------------

HRESULT CSimGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) {
  ComCallFrame frame("GetState");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().GetState(*m_state, pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID,
                         phClientGroup, phServerGroup);
}

HRESULT CSimGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                            OPCHANDLE* phClientGroup) {
  ComCallFrame frame("SetState");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetState(m_state, pRequestedUpdateRate, pRevisedUpdateRate, pActive, pTimeBias,
                         pPercentDeadband, pLCID, phClientGroup);
}

HRESULT CSimGroup::SetName(LPCWSTR szName) {
  ComCallFrame frame("SetName");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetName(*m_state, szName);
}

HRESULT CSimGroup::CloneGroup(LPCWSTR /*szName*/, REFIID /*riid*/, LPUNKNOWN* ppUnk) {
  ComCallFrame frame("CloneGroup");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}

// --- IOPCSyncIO ---------------------------------------------------------------------------------

HRESULT CSimGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  ComCallFrame frame("Read");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().Read(*m_state, dwSource, dwCount, phServer, ppItemValues, ppErrors);
}

HRESULT CSimGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         HRESULT** ppErrors) {
  ComCallFrame frame("Write");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().Write(*m_state, dwCount, phServer, pItemValues, ppErrors);
}

// --- IOPCAsyncIO2 -------------------------------------------------------------------------------

HRESULT CSimGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                        DWORD* pdwCancelID, HRESULT** ppErrors) {
  ComCallFrame frame("Read");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().ReadAsync(m_state, dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT CSimGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
  ComCallFrame frame("Write");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  if (pItemValues == nullptr) {
    if (ppErrors != nullptr) *ppErrors = nullptr;
    return E_INVALIDARG;
  }
  return Core().WriteAsync(m_state, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                           ppErrors);
}

HRESULT CSimGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
  ComCallFrame frame("Refresh2");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().Refresh(m_state, dwSource, dwTransactionID, pdwCancelID);
}

HRESULT CSimGroup::Cancel2(DWORD dwCancelID) {
  ComCallFrame frame("Cancel2");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().Cancel(*m_state, dwCancelID);
}

HRESULT CSimGroup::SetEnable(BOOL bEnable) {
  ComCallFrame frame("SetEnable");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().SetEnable(*m_state, bEnable);
}

HRESULT CSimGroup::GetEnable(BOOL* pbEnable) {
  ComCallFrame frame("GetEnable");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  return Core().GetEnable(*m_state, pbEnable);
}

// --- IConnectionPointContainer ------------------------------------------------------------------

HRESULT CSimGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  ComCallFrame frame("EnumConnectionPoints");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  if (ppEnum != nullptr) *ppEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT CSimGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  ComCallFrame frame("FindConnectionPoint");
  if (const HRESULT served = Core().ServeCall(frame); served != S_OK) return served;
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = nullptr;
  if (m_state->removed.load()) return m_state->goneCode.load();
  if (!(riid == IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
  *ppCP = new CSimConnectionPoint(static_cast<IConnectionPointContainer*>(this), m_state);
  return S_OK;
}
