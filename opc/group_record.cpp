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

GroupRecord::GroupRecord(LPWSTR name) : szName(name) {}

GroupRecord::~GroupRecord() {
  FreeWideString(szName);
  szName = nullptr;
  if (ReleaseServerState() != S_OK) DropServerState();
  if (pItemDefs) {
    for (WORD i = 0; i < wItemsDefined && i < wItemCount; ++i)
      FreeWideString(pItemDefs[i].szItemID);
    delete[] pItemDefs;
    pItemDefs = nullptr;
  }
}

HRESULT GroupRecord::ReleaseServerState() {
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
  if (pIOPCGroupStateMgt) pIOPCGroupStateMgt->Release();
  pIOPCGroupStateMgt = nullptr;

  // The items reach a group that the server has usually dropped already; results do not matter.
  if (pItemResults && pIOPCItemMgt && wItemsDefined > 0) {
    std::vector<OPCHANDLE> handles(wItemsDefined);
    for (WORD i = 0; i < wItemsDefined; ++i) handles[i] = pItemResults[i].hServer;
    CoTaskPtr<HRESULT> removeErrors;
    note(pIOPCItemMgt->RemoveItems(wItemsDefined, handles.data(), removeErrors.Put()));
  }
  if (stopped != S_OK) return stopped;
  DropServerState();
  return S_OK;
}

void GroupRecord::DropServerState() {
  if (pIOPCGroupStateMgt) pIOPCGroupStateMgt->Release();
  if (pItemResults) {
    for (WORD i = 0; i < wItemsDefined; ++i) CoTaskMemFree(pItemResults[i].pBlob);
    CoTaskMemFree(pItemResults);
  }
  CoTaskMemFree(pItemErrors);
  if (pSyncIO) pSyncIO->Release();
  if (pAsyncIO2) pAsyncIO2->Release();
  if (pIOPCItemMgt) pIOPCItemMgt->Release();
  ForgetServerState();
}

std::size_t GroupRecord::AbandonServerState() {
  std::size_t given = 0;
  for (IUnknown* held :
       {static_cast<IUnknown*>(pIOPCGroupStateMgt), static_cast<IUnknown*>(pIOPCItemMgt),
        static_cast<IUnknown*>(pSyncIO), static_cast<IUnknown*>(pAsyncIO2)}) {
    if (held == nullptr) continue;
    AbandonServerObject(held);
    ++given;
  }
  if (pItemResults) {
    for (WORD i = 0; i < wItemsDefined; ++i) CoTaskMemFree(pItemResults[i].pBlob);
    CoTaskMemFree(pItemResults);
  }
  CoTaskMemFree(pItemErrors);
  ForgetServerState();
  return given;
}

void GroupRecord::ForgetServerState() {
  dwAdviseCookie = 0;
  hServerGroup = 0;
  pIOPCGroupStateMgt = nullptr;
  pIOPCItemMgt = nullptr;
  pItemResults = nullptr;
  pItemErrors = nullptr;
  pSyncIO = nullptr;
  pAsyncIO2 = nullptr;
  if (ActiveAtServer()) valuesSinceBeforeLoss = valuesSince;
  valuesSince = {};
}

namespace {

template <class TInterface>
HRESULT Obtain(IOPCItemMgt* itemMgt, TInterface*& slot, REFIID iid) {
  if (slot != nullptr) return S_OK;
  if (itemMgt == nullptr) return S_FALSE;
  const HRESULT hr = itemMgt->QueryInterface(iid, reinterpret_cast<void**>(&slot));
  if (hr == S_OK && slot != nullptr) return S_OK;
  if (slot != nullptr) slot->Release();
  slot = nullptr;
  return hr != S_OK ? hr : E_NOINTERFACE;
}

}  // namespace

HRESULT GroupRecord::ObtainSyncIO() {
  return Obtain(pIOPCItemMgt, pSyncIO, IID_IOPCSyncIO);
}

HRESULT GroupRecord::ObtainAsyncIO2() {
  return Obtain(pIOPCItemMgt, pAsyncIO2, IID_IOPCAsyncIO2);
}

void GroupRecord::AllocItemDefs(WORD count) {
  if (pItemDefs) {
    for (WORD i = 0; i < wItemsDefined && i < wItemCount; ++i)
      FreeWideString(pItemDefs[i].szItemID);
    delete[] pItemDefs;
  }
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
