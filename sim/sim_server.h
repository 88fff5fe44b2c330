// The simulator's server object: one IOPCServer per connection (CoCreateInstance), all of them
// sharing the process's one server state (CSimCore). It also offers IOPCBrowseServerAddressSpace
// (its browse position is this connection's own) and IOPCItemProperties; a flat one (ProgID
// Quarnix.Simulator.Flat) has a flat address space (sim_address_space.h).
//
// Error rule: the OPC DA 2.0 results; methods the gateway does not use return E_NOTIMPL.
// Thread rule: any thread. Ownership: reference-counted; groups' COM objects hold a reference,
// and the last release ends the connection's remaining groups.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "opc/opcda.h"

class CSimCore;

class CSimServer final : public IOPCServer,
                         public IOPCBrowseServerAddressSpace,
                         public IOPCItemProperties {
public:
  // The class factory of the simulator: a new server object, returned for riid; flat for the
  // flat address space.
  // instance 1 is Quarnix.Simulator's state, 2 Quarnix.Simulator.2's (sim_core.h).
  static HRESULT Create(REFIID riid, void** ppv, bool flat = false, int instance = 1);
  // Called with true after each object is made and with false after each is gone; null for none.
  static void SetLifetimeHook(void (*hook)(bool made));

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IOPCServer
  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                   LPUNKNOWN* ppUnk) override;
  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
  HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCBrowseServerAddressSpace (sim_server_browse.cpp)
  HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                           VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                           LPENUMSTRING* ppIEnumString) override;
  HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

  // IOPCItemProperties (sim_server_browse.cpp)
  HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
  HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                            VARIANT** ppvData, HRESULT** ppErrors) override;
  HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

  std::uint64_t OwnerId() const { return m_owner; }
  // The server state this connection belongs to.
  CSimCore& Core() const { return m_core; }

private:
  CSimServer(bool flat, CSimCore& core);
  // Whether this connection's server process has crashed (every call then fails).
  bool Crashed() const;
  ~CSimServer();

  std::atomic<ULONG> m_refCount{1};
  CSimCore& m_core;
  const std::uint64_t m_owner;
  const bool m_flat;
  std::mutex m_browseMutex;
  int m_browseBranch;  // kSimRootBranch or a root branch's index
};
