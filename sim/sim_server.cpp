#include "sim/sim_server.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

#include "sim/sim_address_space.h"
#include "sim/sim_core.h"
#include "sim/sim_core_parts.h"
#include "sim/sim_error_text.h"
#include "sim/sim_group.h"

namespace {

constexpr LCID kLocaleEnglishUs = 0x409;
constexpr LCID kLocaleNeutral = 0x0;
constexpr LCID kLocaleUserDefault = 0x400;
constexpr LCID kLocaleSystemDefault = 0x800;
constexpr WideChar kVendorInfo[] = OLESTR("Quarnix simulation server");

std::atomic<void (*)(bool)> g_lifetimeHook{nullptr};

LPWSTR TaskCopy(const WideChar* text) {
  std::size_t length = 0;
  while (text[length] != OLESTR('\0')) ++length;
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((length + 1) * sizeof(WCHAR)));
  if (copy != nullptr) std::memcpy(copy, text, (length + 1) * sizeof(WCHAR));
  return copy;
}

}  // namespace

HRESULT CSimServer::Create(REFIID riid, void** ppv, bool flat, int instance) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CSimCore& core = CSimCore::Instance(instance);
  ComCallFrame frame("CoCreateInstance");
  if (const HRESULT served = core.ServeCall(frame); served != S_OK) return served;
  // A crashed server cannot be started until its downtime is over.
  if (!core.AcceptCreation()) return CO_E_SERVER_EXEC_FAILURE;
  auto* server = new (std::nothrow) CSimServer(flat, core);
  if (server == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = server->QueryInterface(riid, ppv);
  server->Release();
  return hr;
}

void CSimServer::SetLifetimeHook(void (*hook)(bool made)) {
  g_lifetimeHook.store(hook);
}

CSimServer::CSimServer(bool flat, CSimCore& core)
    : m_core(core), m_owner(core.AttachServer()), m_flat(flat), m_browseBranch(kSimRootBranch) {
  if (auto hook = g_lifetimeHook.load()) hook(true);
}

CSimServer::~CSimServer() {
  m_core.DetachServer(m_owner);
  // Last: a server program may end the process once its last object is gone.
  if (auto hook = g_lifetimeHook.load()) hook(false);
}

HRESULT CSimServer::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (riid == IID_IUnknown || riid == IID_IOPCServer) {
    *ppvObject = static_cast<IOPCServer*>(this);
  } else if (riid == IID_IOPCBrowseServerAddressSpace) {
    *ppvObject = static_cast<IOPCBrowseServerAddressSpace*>(this);
  } else if (riid == IID_IOPCItemProperties) {
    *ppvObject = static_cast<IOPCItemProperties*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CSimServer::AddRef() {
  return ++m_refCount;
}

ULONG CSimServer::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CSimServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                             OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                             DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                             REFIID riid, LPUNKNOWN* ppUnk) {
  ComCallFrame frame("AddGroup");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppUnk == nullptr || phServerGroup == nullptr || pRevisedUpdateRate == nullptr)
    return E_INVALIDARG;
  *ppUnk = nullptr;
  CSimCore& core = m_core;
  std::shared_ptr<SimGroupState> state;
  const HRESULT hr = core.AddGroup(m_owner, szName, bActive, dwRequestedUpdateRate, hClientGroup,
                                   pTimeBias, pPercentDeadband, dwLCID, &state, pRevisedUpdateRate);
  if (FAILED(hr)) return hr;
  CSimGroup* group = core.BindWrapper(*state, [&] { return new CSimGroup(this, state); });
  const HRESULT found = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  group->Release();
  if (FAILED(found)) {
    core.RemoveGroup(m_owner, state->hServer, true);
    return found;
  }
  *phServerGroup = state->hServer;
  return hr;
}

HRESULT CSimServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
  ComCallFrame frame("GetErrorString");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppString == nullptr) return E_INVALIDARG;
  *ppString = nullptr;
  if (dwLocale != kLocaleEnglishUs && dwLocale != kLocaleNeutral &&
      dwLocale != kLocaleUserDefault && dwLocale != kLocaleSystemDefault)
    return E_INVALIDARG;
  const WideChar* text = SimErrorText(dwError);
  if (text == nullptr) return E_INVALIDARG;
  *ppString = TaskCopy(text);
  return *ppString == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT CSimServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  ComCallFrame frame("GetGroupByName");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppUnk == nullptr) return E_INVALIDARG;
  *ppUnk = nullptr;
  CSimCore& core = m_core;
  const std::shared_ptr<SimGroupState> state = core.FindGroupByName(m_owner, szName);
  if (!state) return E_INVALIDARG;
  CSimGroup* group = core.BindWrapper(*state, [&] { return new CSimGroup(this, state); });
  const HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  group->Release();
  return hr;
}

HRESULT CSimServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  ComCallFrame frame("GetStatus");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  if (ppServerStatus == nullptr) return E_INVALIDARG;
  *ppServerStatus = nullptr;
  auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
  if (status == nullptr) return E_OUTOFMEMORY;
  std::memset(static_cast<void*>(status), 0, sizeof *status);
  status->szVendorInfo = TaskCopy(kVendorInfo);
  if (status->szVendorInfo == nullptr) {
    CoTaskMemFree(status);
    return E_OUTOFMEMORY;
  }
  CSimCore& core = m_core;
  core.GetTimes(&status->ftStartTime, &status->ftLastUpdateTime);
  status->ftCurrentTime = sim_core_detail::FileTimeNow();
  status->dwServerState = OPC_STATUS_RUNNING;
  status->dwGroupCount = core.GroupCount(m_owner);
  status->dwBandWidth = 0xFFFFFFFFu;  // not known
  status->wMajorVersion = 1;
  status->wMinorVersion = 0;
  status->wBuildNumber = 0;
  *ppServerStatus = status;
  return S_OK;
}

HRESULT CSimServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  ComCallFrame frame("RemoveGroup");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (Crashed()) return kSimCrashedCode;
  return m_core.RemoveGroup(m_owner, hServerGroup, bForce != FALSE);
}

HRESULT CSimServer::CreateGroupEnumerator(OPCENUMSCOPE /*dwScope*/, REFIID /*riid*/,
                                          LPUNKNOWN* ppUnk) {
  ComCallFrame frame("CreateGroupEnumerator");
  if (const HRESULT served = m_core.ServeCall(frame); served != S_OK) return served;
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}

bool CSimServer::Crashed() const {
  return m_core.IsOwnerDead(m_owner);
}
