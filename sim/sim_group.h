// The COM object of one simulated group: IOPCItemMgt, IOPCGroupStateMgt, IOPCSyncIO,
// IOPCAsyncIO2 and IConnectionPointContainer on one identity, forwarding to CSimCore.
//
// Error rule: the OPC DA 2.0 results; after the group was removed every method answers
// RPC_E_DISCONNECTED. Methods the gateway does not use return E_NOTIMPL.
// Thread rule: any thread. Ownership: reference-counted; holds a reference on its server object
// and shares the group's state with the core.
#pragma once

#include <atomic>
#include <memory>

#include "sim/sim_group_state.h"
#include "sim/sim_server.h"

class CSimGroup final : public IOPCItemMgt,
                        public IOPCGroupStateMgt,
                        public IOPCSyncIO,
                        public IOPCAsyncIO2,
                        public IConnectionPointContainer {
public:
  // Starts with one reference.
  CSimGroup(CSimServer* server, std::shared_ptr<SimGroupState> state);

  // A new reference unless the object is already on its way out.
  bool TryAddRef();

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IOPCItemMgt
  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                   HRESULT** ppErrors) override;
  HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
  HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                         HRESULT** ppErrors) override;
  HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                           HRESULT** ppErrors) override;
  HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                       HRESULT** ppErrors) override;
  HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCGroupStateMgt
  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                   OPCHANDLE* phServerGroup) override;
  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                   OPCHANDLE* phClientGroup) override;
  HRESULT SetName(LPCWSTR szName) override;
  HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCSyncIO (Read, Write) and IOPCAsyncIO2 (Read, Write with a transaction id) share the
  // names; C++ tells them apart by their argument lists.
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
  HRESULT SetEnable(BOOL bEnable) override;
  HRESULT GetEnable(BOOL* pbEnable) override;

  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

private:
  CSimCore& Core() const { return m_server->Core(); }
  ~CSimGroup();

  std::atomic<ULONG> m_refCount{1};
  CSimServer* const m_server;  // one reference
  const std::shared_ptr<SimGroupState> m_state;
};
