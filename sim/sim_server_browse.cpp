// The simulator server object's browsing (IOPCBrowseServerAddressSpace) and item properties
// (IOPCItemProperties).
#include <cstring>

#include "sim/sim_address_space.h"
#include "sim/sim_core.h"
#include "sim/sim_core_parts.h"
#include "sim/sim_enum_string.h"
#include "sim/sim_item_properties.h"
#include "sim/sim_server.h"

using sim_core_detail::TaskArray;
using sim_core_detail::TaskString;

namespace {

WideStringView TextOf(LPCWSTR text) {
  return text != nullptr ? WideStringView(text) : WideStringView();
}

// The item of an ID for the properties calls of the server state numbered instance: S_OK, or the
// parse error.
HRESULT PropertyItem(LPCWSTR id, SimItemInfo* info, int instance) {
  if (id == nullptr) return E_INVALIDARG;
  return ParseSimItemId(id, info, instance);
}

}  // namespace

// --- IOPCBrowseServerAddressSpace ---------------------------------------------------------------

HRESULT CSimServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
  ComCallFrame frame("QueryOrganization");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (pNameSpaceType == nullptr) return E_INVALIDARG;
  *pNameSpaceType = m_flat ? OPC_NS_FLAT : OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT CSimServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
  ComCallFrame frame("ChangeBrowsePosition");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (m_flat) return E_FAIL;  // one level: nowhere to go
  std::lock_guard lock(m_browseMutex);
  int branch = kSimRootBranch;
  switch (dwBrowseDirection) {
    case OPC_BROWSE_UP:
      if (m_browseBranch == kSimRootBranch) return E_FAIL;
      m_browseBranch = kSimRootBranch;
      return S_OK;
    case OPC_BROWSE_DOWN:
      // Only the root has branches, and "" names none.
      if (m_browseBranch != kSimRootBranch || TextOf(szString).empty() ||
          !FindSimBranch(TextOf(szString), &branch))
        return E_INVALIDARG;
      m_browseBranch = branch;
      return S_OK;
    case OPC_BROWSE_TO:
      if (!FindSimBranch(TextOf(szString), &branch)) return E_INVALIDARG;
      m_browseBranch = branch;
      return S_OK;
  }
  return E_INVALIDARG;
}

HRESULT CSimServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                     VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                     LPENUMSTRING* ppIEnumString) {
  ComCallFrame frame("BrowseOPCItemIDs");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppIEnumString == nullptr) return E_INVALIDARG;
  *ppIEnumString = nullptr;
  if (dwBrowseFilterType < OPC_BRANCH || dwBrowseFilterType > OPC_FLAT) return E_INVALIDARG;
  int branch = kSimRootBranch;
  {
    std::lock_guard lock(m_browseMutex);
    branch = m_browseBranch;
  }
  auto names = BrowseSimNames(branch, m_flat, dwBrowseFilterType, TextOf(szFilterCriteria),
                              vtDataTypeFilter, dwAccessRightsFilter);
  const bool empty = names->Count() == 0;
  CSimEnumString* enumerator = CSimEnumString::Create(std::move(names), m_core);
  if (enumerator == nullptr) return E_OUTOFMEMORY;
  *ppIEnumString = enumerator;
  return empty ? S_FALSE : S_OK;
}

HRESULT CSimServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  ComCallFrame frame("GetItemID");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (szItemID == nullptr) return E_INVALIDARG;
  *szItemID = nullptr;
  int branch = kSimRootBranch;
  {
    std::lock_guard lock(m_browseMutex);
    branch = m_browseBranch;
  }
  WideString id;
  const HRESULT hr = SimItemIdOf(branch, m_flat, TextOf(szItemDataID), &id);
  if (FAILED(hr)) return hr;
  *szItemID = TaskString(id);
  return *szItemID == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT CSimServer::BrowseAccessPaths(LPCWSTR /*szItemID*/, LPENUMSTRING* ppIEnumString) {
  ComCallFrame frame("BrowseAccessPaths");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (ppIEnumString != nullptr) *ppIEnumString = nullptr;
  return E_NOTIMPL;  // the access path is ignored
}

// --- IOPCItemProperties -------------------------------------------------------------------------

HRESULT CSimServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                             DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                             VARTYPE** ppvtDataTypes) {
  ComCallFrame frame("QueryAvailableProperties");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (pdwCount == nullptr || ppPropertyIDs == nullptr || ppDescriptions == nullptr ||
      ppvtDataTypes == nullptr)
    return E_INVALIDARG;
  *pdwCount = 0, *ppPropertyIDs = nullptr, *ppDescriptions = nullptr, *ppvtDataTypes = nullptr;
  SimItemInfo info;
  const HRESULT hr = PropertyItem(szItemID, &info, m_core.Number());
  if (FAILED(hr)) return hr;
  const std::vector<SimPropertyInfo> list = SimPropertyList(info);
  auto* ids = TaskArray<DWORD>(list.size());
  auto* descriptions = TaskArray<LPWSTR>(list.size());
  auto* types = TaskArray<VARTYPE>(list.size());
  bool ok = ids != nullptr && descriptions != nullptr && types != nullptr;
  for (std::size_t k = 0; ok && k < list.size(); ++k) {
    ids[k] = list[k].id;
    types[k] = list[k].type;
    descriptions[k] = TaskString(list[k].description);
    ok = descriptions[k] != nullptr;
  }
  if (!ok) {
    for (std::size_t k = 0; descriptions != nullptr && k < list.size(); ++k)
      CoTaskMemFree(descriptions[k]);
    CoTaskMemFree(ids), CoTaskMemFree(descriptions), CoTaskMemFree(types);
    return E_OUTOFMEMORY;
  }
  *pdwCount = static_cast<DWORD>(list.size());
  *ppPropertyIDs = ids, *ppDescriptions = descriptions, *ppvtDataTypes = types;
  return S_OK;
}

HRESULT CSimServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                      VARIANT** ppvData, HRESULT** ppErrors) {
  ComCallFrame frame("GetItemProperties");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppvData == nullptr || ppErrors == nullptr) return E_INVALIDARG;
  *ppvData = nullptr, *ppErrors = nullptr;
  if (dwCount == 0 || pdwPropertyIDs == nullptr) return E_INVALIDARG;
  SimItemInfo info;
  const HRESULT hr = PropertyItem(szItemID, &info, m_core.Number());
  if (FAILED(hr)) return hr;
  auto* values = TaskArray<VARIANT>(dwCount);
  auto* errors = TaskArray<HRESULT>(dwCount);
  if (values == nullptr || errors == nullptr) {
    CoTaskMemFree(values), CoTaskMemFree(errors);
    return E_OUTOFMEMORY;
  }
  VARIANT current;
  VariantInit(&current);
  SimCurrentValue now{&current, OPC_QUALITY_GOOD, FILETIME{}};
  m_core.PeekValue(szItemID, info, &current, &now.quality, &now.timestamp);
  bool anyFailed = false;
  for (DWORD k = 0; k < dwCount; ++k) {
    errors[k] = SimPropertyValue(info, pdwPropertyIDs[k], now, &values[k]);
    anyFailed = anyFailed || FAILED(errors[k]);
  }
  VariantClear(&current);
  *ppvData = values, *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT CSimServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                  LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
  ComCallFrame frame("LookupItemIDs");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppszNewItemIDs == nullptr || ppErrors == nullptr) return E_INVALIDARG;
  *ppszNewItemIDs = nullptr, *ppErrors = nullptr;
  if (dwCount == 0 || pdwPropertyIDs == nullptr) return E_INVALIDARG;
  SimItemInfo info;
  const HRESULT hr = PropertyItem(szItemID, &info, m_core.Number());
  if (FAILED(hr)) return hr;
  auto* ids = TaskArray<LPWSTR>(dwCount);
  auto* errors = TaskArray<HRESULT>(dwCount);
  if (ids == nullptr || errors == nullptr) {
    CoTaskMemFree(ids), CoTaskMemFree(errors);
    return E_OUTOFMEMORY;
  }
  // No property of a simulator item is an item of its own.
  for (DWORD k = 0; k < dwCount; ++k) errors[k] = OPC_E_INVALID_PID;
  *ppszNewItemIDs = ids, *ppErrors = errors;
  return S_FALSE;
}
