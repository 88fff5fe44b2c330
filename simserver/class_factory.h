// A class object of quarnix-sim.exe: makes simulator server objects (CreateSimulatorObject,
// CreateSimulatorFlatObject for the flat variant, CreateSimulator2Object for the second server)
// for COM activations of their class, and keeps the program running while clients lock it.
//
// Error rule: the IClassFactory results; CO_E_SERVER_STOPPING once the program is ending.
// Thread rule: any thread (the class object is registered in the multithreaded apartment).
// Ownership: one static instance per class; its reference count does not keep the program alive
// (COM holds it while it is registered), only objects and locks do (CServerLifetime).
#pragma once

#include "platform/com/com.h"

class CSimClassFactory final : public IClassFactory {
public:
  enum class Served { kSimulator, kFlat, kSecond };
  explicit CSimClassFactory(Served served) : m_served(served) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
  const Served m_served;
};
