// One OPC group as the client defined it, with what the server gave back for it.
//
// The record owns its name, its item definitions and item IDs (process heap, new[]), the
// arrays AddItems returned (COM task memory) and one reference on every interface pointer it
// holds. Its destructor disconnects the data callback, removes its items from the server and
// releases everything, in that order; every result there is ignored (a call cancelled at the
// deadline ends the calls, and the rest is released without calling).
//
// Thread rule: UI thread only. Error rule: nothing here fails towards the caller.
#pragma once

#include <chrono>
#include <cstddef>

#include "opc/opcda.h"

struct GroupRecord {
  explicit GroupRecord(LPWSTR name);  // takes ownership of name (allocated with AllocWideString)
  virtual ~GroupRecord();
  GroupRecord(const GroupRecord&) = delete;
  GroupRecord& operator=(const GroupRecord&) = delete;

  // Gives back everything the server gave the record, in the destructor's order (Unadvise,
  // release of the group-state interface, RemoveItems, the item arrays freed, the I/O and
  // item-management interfaces released; results ignored), then ForgetServerState: S_OK. A call
  // cancelled at the deadline stops it at once: RPC_E_CALL_CANCELED is returned, no further call
  // is made, and what is left stays held for the caller to drop or give up once the server is
  // judged. Used when the record stays in the list as a
  // definition (after a menu destroy of the server and after a failed registration of the
  // whole list) and before a record is destroyed. Call RemoveGroup first.
  HRESULT ReleaseServerState();

  // Gives back what the record holds of a server that is gone (its interface references and the
  // item arrays) without calling that server, then ForgetServerState. The definitions stay.
  void DropServerState();

  // Gives up what the record holds of a server that hangs: no call and no release (a release
  // could block on the hung process; the references are leaked), the item arrays freed, then
  // ForgetServerState. Returns how many interface references were given up.
  std::size_t AbandonServerState();

  // Drops every server-side field (handles, interfaces, item results, callback connection)
  // without calling the server, so that the record can be registered again with a new server
  // connection. The definitions (name, items, flags, rate, destination) stay.
  void ForgetServerState();

  // The synchronous and asynchronous I/O interfaces, obtained from pIOPCItemMgt on first use.
  // S_OK when the record holds the interface afterwards; S_FALSE when it holds neither it nor
  // pIOPCItemMgt to ask (not registered); otherwise QueryInterface's failure (E_NOINTERFACE
  // for a success without an interface).
  HRESULT ObtainSyncIO();
  HRESULT ObtainAsyncIO2();

  // Allocates count zeroed item definitions (frees any earlier ones): wItemCount = count,
  // wItemsDefined = 0.
  void AllocItemDefs(WORD count);
  // Fills the next unfilled definition (empty access path, hClient = its position, no blob),
  // taking ownership of itemId (AllocWideString). Returns its position, or -1 (itemId freed)
  // when all wItemCount definitions are filled.
  int DefineNextItem(LPWSTR itemId, BOOL active, VARTYPE requestedType);

  LPWSTR szName = nullptr;
  LONG lTimeBias = 0;
  FLOAT fPercentDeadband = 0.0f;
  BOOL bActive = FALSE;
  DWORD dwRequestedUpdateRate = 500;
  DWORD dwRevisedUpdateRate = 500;
  DWORD dwAdviseCookie = 0;
  OPCHANDLE hServerGroup = 0;
  IOPCGroupStateMgt* pIOPCGroupStateMgt = nullptr;
  IOPCItemMgt* pIOPCItemMgt = nullptr;
  OPCITEMDEF* pItemDefs = nullptr;  // wItemCount entries, new[]
  WORD wItemCount = 0;
  // How many of pItemDefs the definition command filled (always the first ones); only these
  // reach the server (AddItems count) and only their szItemID are freed.
  WORD wItemsDefined = 0;
  OPCITEMRESULT* pItemResults = nullptr;  // CoTaskMemAlloc, from AddItems (wItemsDefined entries)
  HRESULT* pItemErrors = nullptr;         // CoTaskMemAlloc, from AddItems (wItemsDefined entries)
  DWORD dwNotifyHost = 0;                 // IPv4, host byte order
  WORD wNotifyPort = 0;
  // Defined by "TD": value changes, refreshes and read completions go out as typed datagrams.
  bool typed = false;
  // The client that defined the group (IPv4, host byte order): only a /writers address may
  // remove a group that another address defined.
  DWORD dwDefinedBy = 0;
  IOPCSyncIO* pSyncIO = nullptr;
  IOPCAsyncIO2* pAsyncIO2 = nullptr;
  // While the server holds the group active: when its last value-change datagram went out, or
  // when it was made active, whichever is later (the status request's value age counts from
  // it). The zero time point while the group is not active at the server.
  std::chrono::steady_clock::time_point valuesSince{};
  bool ActiveAtServer() const { return valuesSince != std::chrono::steady_clock::time_point{}; }
  // valuesSince as it was when the server's state was last given up while the group was active:
  // during an outage the value age goes on from it.
  std::chrono::steady_clock::time_point valuesSinceBeforeLoss{};
};

// The shared empty access path of every item definition (not owned by any record).
extern WCHAR kEmptyAccessPath[1];

// A NUL-terminated copy of text on the process heap (new[]); free with FreeWideString.
LPWSTR AllocWideString(const WideString& text);
void FreeWideString(LPWSTR text);
