// A class object of quarnix-sim.exe: makes simulator server objects (CreateSimulatorObject, or
// CreateSimulatorFlatObject for the flat variant) for COM activations of CLSID_QuarnixSimulator
// or CLSID_QuarnixSimulatorFlat, and keeps the program running while clients lock it.
//
// Error rule: the IClassFactory results; CO_E_SERVER_STOPPING once the program is ending.
// Thread rule: any thread (the class object is registered in the multithreaded apartment).
// Ownership: one static instance per class; its reference count does not keep the program alive
// (COM holds it while it is registered), only objects and locks do (CServerLifetime).
#pragma once

#include "platform/com/com.h"

class CSimClassFactory final : public IClassFactory {
public:
  explicit CSimClassFactory(bool flat) : m_flat(flat) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
  const bool m_flat;
};
