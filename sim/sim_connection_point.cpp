#include "sim/sim_connection_point.h"

#include "sim/sim_core.h"

CSimConnectionPoint::CSimConnectionPoint(IConnectionPointContainer* container,
                                         std::shared_ptr<SimGroupState> state)
    : m_container(container), m_state(std::move(state)) {
  m_container->AddRef();
}

CSimConnectionPoint::~CSimConnectionPoint() {
  m_container->Release();
}

HRESULT CSimConnectionPoint::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppvObject = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG CSimConnectionPoint::AddRef() {
  return ++m_refCount;
}

ULONG CSimConnectionPoint::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CSimConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (pIID == nullptr) return E_POINTER;
  *pIID = IID_IOPCDataCallback;
  return S_OK;
}

HRESULT CSimConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (ppCPC == nullptr) return E_POINTER;
  m_container->AddRef();
  *ppCPC = m_container;
  return S_OK;
}

HRESULT CSimConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  ComCallFrame frame("Advise");
  if (const HRESULT served = m_state->core->ServeCall(frame); served != S_OK) return served;
  return m_state->core->Advise(*m_state, pUnkSink, pdwCookie);
}

HRESULT CSimConnectionPoint::Unadvise(DWORD dwCookie) {
  ComCallFrame frame("Unadvise");
  if (const HRESULT served = m_state->core->ServeCall(frame); served != S_OK) return served;
  return m_state->core->Unadvise(*m_state, dwCookie);
}

HRESULT CSimConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  ComCallFrame frame("EnumConnections");
  if (const HRESULT served = m_state->core->ServeCall(frame); served != S_OK) return served;
  if (ppEnum != nullptr) *ppEnum = nullptr;
  return E_NOTIMPL;
}
