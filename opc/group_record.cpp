#include "opc/group_record.h"

#include <algorithm>
#include <vector>

#include "opc/server_loss.h"

WCHAR kEmptyAccessPath[1] = {0};

LPWSTR AllocWideString(const WideString& text) {
  auto* copy = new WCHAR[text.size() + 1];
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = 0;
  return copy;
}

void FreeWideString(LPWSTR text) {
  delete[] text;
}

void ItemResults::Reset() {
  if (m_results != nullptr)
    for (std::size_t i = 0; i < m_count; ++i) CoTaskMemFree(m_results[i].pBlob);
  CoTaskMemFree(m_results);
  m_results = nullptr;
  m_count = 0;
}

GroupRecord::GroupRecord(LPWSTR name) : szName(name) {}

GroupRecord::~GroupRecord() {
  FreeWideString(szName);
  szName = nullptr;
  if (GiveBackServerState(GiveBack::kNormal).stopped != S_OK)
    GiveBackServerState(GiveBack::kServerLost);
  FreeItemDefs();
}

void GroupRecord::FreeItemDefs() {
  if (pItemDefs == nullptr) return;
  for (WORD i = 0; i < wItemsDefined && i < wItemCount; ++i) FreeWideString(pItemDefs[i].szItemID);
  delete[] pItemDefs;
  pItemDefs = nullptr;
}

HRESULT GroupRecord::DisconnectAtServer() {
  // A call cancelled at the deadline ends the calls. Other failures are usual here (the server
  // has mostly dropped the group already, and its objects then report themselves disconnected).
  HRESULT stopped = S_OK;
  const auto note = [&stopped](HRESULT hr) {
    if (hr == RPC_E_CALL_CANCELED) stopped = hr;
    return hr;
  };
  // Disconnect the data callback first, so that the sink's reference comes back.
  if (dwAdviseCookie != 0 && pIOPCGroupStateMgt) {
    ComPtr<IConnectionPointContainer> container;
    if (SUCCEEDED(note(pIOPCGroupStateMgt->QueryInterface(IID_IConnectionPointContainer,
                                                          container.PutVoid()))) &&
        container) {
      ComPtr<IConnectionPoint> point;
      if (SUCCEEDED(note(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()))) &&
          point)
        note(point->Unadvise(dwAdviseCookie));
    }
  }
  if (stopped != S_OK) return stopped;
  dwAdviseCookie = 0;
  pIOPCGroupStateMgt.Reset();

  // The items reach a group that the server has usually dropped already; results do not matter.
  if (pItemResults != nullptr && pIOPCItemMgt && wItemsDefined > 0) {
    std::vector<OPCHANDLE> handles(wItemsDefined);
    for (WORD i = 0; i < wItemsDefined; ++i) handles[i] = pItemResults[i].hServer;
    CoTaskPtr<HRESULT> removeErrors;
    note(pIOPCItemMgt->RemoveItems(wItemsDefined, handles.data(), removeErrors.Put()));
  }
  return stopped;
}

GroupRecord::GiveBackOutcome GroupRecord::GiveBackServerState(GiveBack mode) {
  GiveBackOutcome outcome;
  if (mode == GiveBack::kNormal) {
    outcome.stopped = DisconnectAtServer();
    if (outcome.stopped != S_OK) return outcome;
  }
  if (mode == GiveBack::kServerHung) {
    // Held, never released: the interfaces stay with AbandonServerObject.
    const auto abandon = [&outcome](auto& held) {
      if (!held) return;
      AbandonServerObject(held.Detach());
      ++outcome.abandoned;
    };
    abandon(pIOPCGroupStateMgt);
    abandon(pIOPCItemMgt);
    abandon(pSyncIO);
    abandon(pAsyncIO2);
  }
  // Whatever is still held is released here (kNormal, kServerLost), in the destructor's order.
  pIOPCGroupStateMgt.Reset();
  pItemResults.Reset();
  pItemErrors.Reset();
  pSyncIO.Reset();
  pAsyncIO2.Reset();
  pIOPCItemMgt.Reset();
  dwAdviseCookie = 0;
  hServerGroup = 0;
  if (ActiveAtServer()) valuesSinceBeforeLoss = valuesSince;
  valuesSince = {};
  return outcome;
}

namespace {

template <class TInterface>
HRESULT Obtain(IOPCItemMgt* itemMgt, ComPtr<TInterface>& slot, REFIID iid) {
  if (slot) return S_OK;
  if (itemMgt == nullptr) return S_FALSE;
  const HRESULT hr = itemMgt->QueryInterface(iid, slot.PutVoid());
  if (hr == S_OK && slot) return S_OK;
  slot.Reset();
  return hr != S_OK ? hr : E_NOINTERFACE;
}

}  // namespace

HRESULT GroupRecord::ObtainSyncIO() {
  return Obtain(pIOPCItemMgt.Get(), pSyncIO, IID_IOPCSyncIO);
}

HRESULT GroupRecord::ObtainAsyncIO2() {
  return Obtain(pIOPCItemMgt.Get(), pAsyncIO2, IID_IOPCAsyncIO2);
}

void GroupRecord::AllocItemDefs(WORD count) {
  FreeItemDefs();
  pItemDefs = count > 0 ? new OPCITEMDEF[count]() : nullptr;
  wItemCount = count;
  wItemsDefined = 0;
}

int GroupRecord::DefineNextItem(LPWSTR itemId, BOOL active, VARTYPE requestedType) {
  if (!pItemDefs || wItemsDefined >= wItemCount) {
    FreeWideString(itemId);
    return -1;
  }
  const WORD index = wItemsDefined;
  OPCITEMDEF& def = pItemDefs[index];
  def.szAccessPath = kEmptyAccessPath;
  def.szItemID = itemId;
  def.bActive = active;
  def.hClient = index;
  def.dwBlobSize = 0;
  def.pBlob = nullptr;
  def.vtRequestedDataType = requestedType;
  def.wReserved = 0;
  wItemsDefined = static_cast<WORD>(index + 1);
  return index;
}

WORD GroupRecord::ItemsAtServer() const {
  if (pItemResults == nullptr || pItemErrors == nullptr) return 0;
  return std::min(wItemCount, wItemsDefined);
}

const WCHAR* GroupRecord::ItemId(WORD item) const {
  if (pItemDefs == nullptr || item >= wItemsDefined || item >= wItemCount) return nullptr;
  return pItemDefs[item].szItemID;
}
