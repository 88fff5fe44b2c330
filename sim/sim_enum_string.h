// The simulator's IEnumString over one browse result (CSimNameList): Skip and Reset move a
// position and cost nothing, Next makes only the names it returns.
//
// Error rule: the IEnumString results (S_FALSE when fewer than asked were left). Thread rule:
// any thread; one enumerator is used by one caller at a time (a mutex keeps it sound anyway).
// Ownership: reference-counted; the list is shared with clones.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "sim/sim_address_space.h"

class CSimCore;

class CSimEnumString final : public IEnumString {
public:
  // A new enumerator at position 0 with one reference, served by core (its hang and delay).
  static CSimEnumString* Create(std::shared_ptr<const CSimNameList> names, CSimCore& core);

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumString** ppenum) override;

private:
  CSimEnumString(std::shared_ptr<const CSimNameList> names, std::size_t position, CSimCore& core);
  ~CSimEnumString() = default;

  std::atomic<ULONG> m_refCount{1};
  const std::shared_ptr<const CSimNameList> m_names;
  std::mutex m_mutex;
  std::size_t m_position;
  CSimCore& m_core;
};
