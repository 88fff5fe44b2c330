// The connection point of a simulated group for IID_IOPCDataCallback: one sink per group.
//
// Error rule: Advise gives CONNECT_E_ADVISELIMIT for a second sink, CONNECT_E_CANNOTCONNECT for a
// sink without IOPCDataCallback, CO_E_NOTINITIALIZED on a thread without COM; Unadvise gives
// CONNECT_E_NOCONNECTION for an unknown cookie; both RPC_E_DISCONNECTED after the group's removal.
// Thread rule: any thread; callbacks go to the apartment of the thread that called Advise.
// Ownership: reference-counted; holds a reference on its container (the group's object).
#pragma once

#include <atomic>
#include <memory>

#include "sim/sim_group_state.h"

class CSimConnectionPoint final : public IConnectionPoint {
public:
  // Starts with one reference.
  CSimConnectionPoint(IConnectionPointContainer* container, std::shared_ptr<SimGroupState> state);

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetConnectionInterface(IID* pIID) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  // Holds one reference on the sink until Unadvise or the group's removal.
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT Unadvise(DWORD dwCookie) override;
  HRESULT EnumConnections(IEnumConnections** ppEnum) override;

private:
  ~CSimConnectionPoint();

  std::atomic<ULONG> m_refCount{1};
  IConnectionPointContainer* const m_container;  // one reference
  const std::shared_ptr<SimGroupState> m_state;
};
