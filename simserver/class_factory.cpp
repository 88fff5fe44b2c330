#include "simserver/class_factory.h"

#include "sim/simulator.h"
#include "simserver/server_downtime.h"
#include "simserver/server_lifetime.h"

HRESULT CSimClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory*>(this);
  return S_OK;
}

ULONG CSimClassFactory::AddRef() {
  return 2;
}

ULONG CSimClassFactory::Release() {
  return 1;
}

HRESULT CSimClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  // Taken before the object exists, so that an ending program refuses the activation; the
  // object holds a reference of its own once made.
  // A server that crashed is down for the seconds its crash asked for.
  if (InServerDowntime(m_served == Served::kSecond ? 2 : 1)) return CO_E_SERVER_EXEC_FAILURE;
  CServerLifetime& lifetime = CServerLifetime::Instance();
  if (!lifetime.Acquire()) return CO_E_SERVER_STOPPING;
  const HRESULT hr = m_served == Served::kFlat     ? CreateSimulatorFlatObject(riid, ppv)
                     : m_served == Served::kSecond ? CreateSimulator2Object(riid, ppv)
                                                   : CreateSimulatorObject(riid, ppv);
  lifetime.Release();
  return hr;
}

HRESULT CSimClassFactory::LockServer(BOOL lock) {
  CServerLifetime& lifetime = CServerLifetime::Instance();
  if (!lock) {
    lifetime.Unlock();
    return S_OK;
  }
  return lifetime.Lock() ? S_OK : CO_E_SERVER_STOPPING;
}
