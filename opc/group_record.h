// One OPC group as the client defined it, with what the server gave back for it.
//
// The record owns its name and its item definitions and item IDs (process heap, new[]), and
// everything the server gave it: one reference on each interface (ComPtr) and the arrays that
// AddItems returned (COM task memory, with the items' blobs). What it holds of the server goes
// back in one place, GiveBackServerState, in the mode that the server's state allows; the
// destructor gives it back in the normal mode (without further calls once one is cancelled).
//
// The definitions (name, flags, rate, destination, item definitions) are the fields that the
// request side fills and reads. The server-side fields are written only by the registration
// (opc/group_registry.cpp) and by the record itself; handlers call its interfaces and read the
// items' results through the accessors below, for an index below ItemsAtServer().
//
// Thread rule: UI thread only. Error rule: nothing here fails towards the caller.
#pragma once

#include <chrono>
#include <cstddef>

#include "opc/opcda.h"

// The results array of AddItems (COM task memory) with each item's blob, freed together.
class ItemResults {
public:
  ItemResults() = default;
  ItemResults(const ItemResults&) = delete;
  ItemResults& operator=(const ItemResults&) = delete;
  ~ItemResults() { Reset(); }

  // For AddItems' out-parameter: frees what is held and gives the slot for count results.
  OPCITEMRESULT** Put(std::size_t count) {
    Reset();
    m_count = count;
    return &m_results;
  }
  // Frees every item's blob, then the array.
  void Reset();
  const OPCITEMRESULT* Get() const { return m_results; }
  OPCITEMRESULT& operator[](std::size_t i) const { return m_results[i]; }
  friend bool operator==(const ItemResults& held, std::nullptr_t) {
    return held.m_results == nullptr;
  }

private:
  OPCITEMRESULT* m_results = nullptr;
  std::size_t m_count = 0;
};

class GroupRecord {
public:
  explicit GroupRecord(LPWSTR name);  // takes ownership of name (allocated with AllocWideString)
  virtual ~GroupRecord();
  GroupRecord(const GroupRecord&) = delete;
  GroupRecord& operator=(const GroupRecord&) = delete;

  // How what the record holds of the server goes back.
  enum class GiveBack {
    // The server answers: the data callback is disconnected (Unadvise), the group-state
    // interface released, the items removed (RemoveItems), the item arrays freed and the I/O
    // and item-management interfaces released, in that order; results ignored. A call
    // cancelled at the deadline stops it at once (no further call), and what is left stays held.
    kNormal,
    // The server is gone: no call to it; the references are released (the proxies answer
    // without the server) and the item arrays freed.
    kServerLost,
    // The server hangs: no call and no release (a release could block on the hung process); the
    // references are handed to AbandonServerObject and the item arrays freed.
    kServerHung,
  };
  struct GiveBackOutcome {
    // RPC_E_CALL_CANCELED when a normal give-back was cut short at the deadline (the record
    // still holds what was left: give it back again in the mode that the server's judgement
    // calls for); S_OK otherwise.
    HRESULT stopped = S_OK;
    std::size_t abandoned = 0;  // kServerHung: how many interface references were given up
  };
  // Gives back what the record holds of the server and, unless stopped, forgets every
  // server-side field (handles, callback connection, value age moved to valuesSinceBeforeLoss),
  // so that the record can be registered again. The definitions stay. Call RemoveGroup first.
  GiveBackOutcome GiveBackServerState(GiveBack mode);

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

  // --- What the server added, by item index ---
  // How many items have AddItems results (the first ones): 0 while the record holds none.
  // Every accessor below takes an index below it.
  WORD ItemsAtServer() const;
  OPCHANDLE ServerItem(WORD item) const { return pItemResults[item].hServer; }
  VARTYPE CanonicalType(WORD item) const { return pItemResults[item].vtCanonicalDataType; }
  // AddItems' result for the item: S_OK when the server added it.
  HRESULT AddError(WORD item) const { return pItemErrors[item]; }
  // The item's definition as the client gave it: its ID (null for an index at or past the
  // defined items) and its requested type.
  const WCHAR* ItemId(WORD item) const;
  VARTYPE RequestedType(WORD item) const { return pItemDefs[item].vtRequestedDataType; }

  // --- The definition ---
  LPWSTR szName = nullptr;
  LONG lTimeBias = 0;
  FLOAT fPercentDeadband = 0.0f;
  BOOL bActive = FALSE;
  DWORD dwRequestedUpdateRate = 500;
  DWORD dwRevisedUpdateRate = 500;
  OPCITEMDEF* pItemDefs = nullptr;  // wItemCount entries, new[]
  WORD wItemCount = 0;
  // How many of pItemDefs the definition command filled (always the first ones); only these
  // reach the server (AddItems count) and only their szItemID are freed.
  WORD wItemsDefined = 0;
  DWORD dwNotifyHost = 0;  // IPv4, host byte order
  WORD wNotifyPort = 0;
  // Defined by "TD": value changes, refreshes and read completions go out as typed datagrams.
  bool typed = false;
  // The client that defined the group (IPv4, host byte order): only a /writers address may
  // remove a group that another address defined.
  DWORD dwDefinedBy = 0;

  // --- What the server gave (see the class comment for who writes it) ---
  DWORD dwAdviseCookie = 0;
  OPCHANDLE hServerGroup = 0;
  ComPtr<IOPCGroupStateMgt> pIOPCGroupStateMgt;
  ComPtr<IOPCItemMgt> pIOPCItemMgt;
  ItemResults pItemResults;        // from AddItems, wItemsDefined entries
  CoTaskPtr<HRESULT> pItemErrors;  // from AddItems, wItemsDefined entries
  ComPtr<IOPCSyncIO> pSyncIO;
  ComPtr<IOPCAsyncIO2> pAsyncIO2;
  // While the server holds the group active: when its last value-change datagram went out, or
  // when it was made active, whichever is later (the status request's value age counts from
  // it). The zero time point while the group is not active at the server.
  std::chrono::steady_clock::time_point valuesSince{};
  bool ActiveAtServer() const { return valuesSince != std::chrono::steady_clock::time_point{}; }
  // valuesSince as it was when the server's state was last given up while the group was active:
  // during an outage the value age goes on from it.
  std::chrono::steady_clock::time_point valuesSinceBeforeLoss{};

private:
  // The normal give-back's calls: RPC_E_CALL_CANCELED when one was cancelled at the deadline.
  HRESULT DisconnectAtServer();
  // The item definitions and their item IDs freed.
  void FreeItemDefs();
};

// The shared empty access path of every item definition (not owned by any record).
extern WCHAR kEmptyAccessPath[1];

// A NUL-terminated copy of text on the process heap (new[]); free with FreeWideString.
LPWSTR AllocWideString(const WideString& text);
void FreeWideString(LPWSTR text);
