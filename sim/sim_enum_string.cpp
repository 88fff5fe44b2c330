#include "sim/sim_enum_string.h"

#include <cstring>
#include <new>

#include "sim/sim_core.h"

CSimEnumString* CSimEnumString::Create(std::shared_ptr<const CSimNameList> names, CSimCore& core) {
  return new (std::nothrow) CSimEnumString(std::move(names), 0, core);
}

CSimEnumString::CSimEnumString(std::shared_ptr<const CSimNameList> names, std::size_t position,
                               CSimCore& core)
    : m_names(std::move(names)), m_position(position), m_core(core) {}

HRESULT CSimEnumString::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (riid != IID_IUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
  *ppvObject = static_cast<IEnumString*>(this);
  AddRef();
  return S_OK;
}

ULONG CSimEnumString::AddRef() {
  return ++m_refCount;
}

ULONG CSimEnumString::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CSimEnumString::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
  ComCallFrame frame("Next");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (rgelt == nullptr || (pceltFetched == nullptr && celt != 1)) return E_INVALIDARG;
  std::lock_guard lock(m_mutex);
  const std::size_t total = m_names->Count();
  ULONG fetched = 0;
  while (fetched < celt && m_position < total) {
    const WideString name = m_names->Name(m_position);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
    if (copy == nullptr) {
      for (ULONG k = 0; k < fetched; ++k) CoTaskMemFree(rgelt[k]);
      if (pceltFetched != nullptr) *pceltFetched = 0;
      return E_OUTOFMEMORY;
    }
    std::memcpy(copy, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
    rgelt[fetched++] = copy;
    ++m_position;
  }
  if (pceltFetched != nullptr) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CSimEnumString::Skip(ULONG celt) {
  ComCallFrame frame("Skip");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  std::lock_guard lock(m_mutex);
  const std::size_t left = m_names->Count() - m_position;
  if (celt > left) {
    m_position += left;
    return S_FALSE;
  }
  m_position += celt;
  return S_OK;
}

HRESULT CSimEnumString::Reset() {
  ComCallFrame frame("Reset");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  std::lock_guard lock(m_mutex);
  m_position = 0;
  return S_OK;
}

HRESULT CSimEnumString::Clone(IEnumString** ppenum) {
  ComCallFrame frame("Clone");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (ppenum == nullptr) return E_INVALIDARG;
  std::lock_guard lock(m_mutex);
  *ppenum = new (std::nothrow) CSimEnumString(m_names, m_position, m_core);
  return *ppenum == nullptr ? E_OUTOFMEMORY : S_OK;
}
