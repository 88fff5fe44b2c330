#include "tests/support/faulty_opc_server.h"

#include <algorithm>
#include <stdexcept>

#include "sim/simulator.h"
#include "tests/support/faulty_opc_objects.h"

// ================================================================================================
// The shared record
// ================================================================================================

const char* MethodName(OpcMethod method) {
  static const char* const kNames[] = {
      "CreateInstance", "AddGroup",    "GetErrorString", "GetStatus", "RemoveGroup",
      "AddItems",       "RemoveItems", "SetState",       "SyncRead",  "SyncWrite",
      "AsyncRead",      "AsyncWrite",  "Refresh2",       "Cancel2",   "FindConnectionPoint",
      "Advise",         "Unadvise",    "QueryInterface"};
  return kNames[static_cast<int>(method)];
}

bool CFaultyState::Fails(OpcMethod method, HRESULT& hr) {
  std::lock_guard lock(mutex);
  auto it = failures.find(method);
  if (it == failures.end()) return false;
  FailureRule& rule = it->second;
  if (rule.skip > 0) {
    --rule.skip;
    return false;
  }
  if (rule.times == 0) return false;
  if (rule.times > 0) --rule.times;
  hr = rule.hr;
  return true;
}

HRESULT CFaultyState::ItemError(OpcMethod method, const std::u16string& itemId) const {
  std::lock_guard lock(mutex);
  auto it = itemErrors.find({method, itemId});
  return it == itemErrors.end() ? S_OK : it->second;
}

bool CFaultyState::Refuses(REFIID iid) const {
  std::lock_guard lock(mutex);
  return std::find(refused.begin(), refused.end(), iid) != refused.end();
}

HRESULT CFaultyState::Record(RecordedCall call, HRESULT result) {
  std::lock_guard lock(mutex);
  call.result = result;
  calls.push_back(std::move(call));
  return result;
}

std::u16string CFaultyState::ItemIdOf(const FaultyGroupData& group, OPCHANDLE serverItem) const {
  std::lock_guard lock(mutex);
  for (const RecordedItem& item : group.view.items)
    if (item.serverHandle == serverItem) return item.def.itemId;
  return {};
}

RecordedGroup CFaultyState::Snapshot(const FaultyGroupData& group) const {
  std::lock_guard lock(mutex);
  RecordedGroup view = group.view;
  view.sinkCount = group.sinks.size();
  view.sink = group.sinks.empty() ? nullptr : group.sinks.front().second;
  return view;
}

CFaultyState::CForwarder::CForwarder(std::shared_ptr<State> state) : m_state(std::move(state)) {
  std::lock_guard lock(m_state->mutex);
  m_state->live.insert(this);
}

CFaultyState::CForwarder::~CForwarder() {
  std::lock_guard lock(m_state->mutex);
  m_state->live.erase(this);
}

ULONG CFaultyState::CForwarder::DoRelease() {
  const long left = --m_ref;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT CFaultyState::CForwarder::RefusedQuery(REFIID riid, void** ppv, OPCHANDLE serverGroup) {
  *ppv = nullptr;
  RecordedCall call;
  call.method = OpcMethod::kQueryInterface;
  call.iid = riid;
  call.serverGroup = serverGroup;
  return m_state->Record(call, E_NOINTERFACE);
}

// ================================================================================================
// CFaultyServer
// ================================================================================================

CFaultyServer::CFaultyServer(std::shared_ptr<CFaultyState> state, IOPCServer* inner)
    : CForwarder(std::move(state)), m_inner(inner) {}

CFaultyServer::~CFaultyServer() {
  m_inner->Release();
}

HRESULT CFaultyServer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (m_state->Refuses(riid)) return RefusedQuery(riid, ppv, 0);
  if (riid == IID_IUnknown || riid == IID_IOPCServer) {
    *ppv = static_cast<IOPCServer*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT CFaultyServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                REFIID riid, LPUNKNOWN* ppUnk) {
  RecordedCall call;
  call.method = OpcMethod::kAddGroup;
  if (szName) call.name = szName;
  call.active = bActive;
  call.updateRate = dwRequestedUpdateRate;
  call.clientHandle = hClientGroup;
  call.timeBias = pTimeBias ? *pTimeBias : 0;
  call.percentDeadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
  call.locale = dwLCID;
  call.iid = riid;
  if (ppUnk) *ppUnk = nullptr;
  HRESULT hr = S_OK;
  if (m_state->Fails(OpcMethod::kAddGroup, hr)) return m_state->Record(call, hr);
  IUnknown* inner = nullptr;
  hr = m_inner->AddGroup(szName, bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias,
                         pPercentDeadband, dwLCID, phServerGroup, pRevisedUpdateRate, IID_IUnknown,
                         ppUnk ? &inner : nullptr);
  if (FAILED(hr) || !inner) return m_state->Record(call, hr);
  auto data = std::make_shared<FaultyGroupData>();
  data->view.serverHandle = call.serverGroup = *phServerGroup;
  data->view.clientHandle = hClientGroup;
  data->view.name = call.name;
  data->view.active = bActive;
  data->view.requestedUpdateRate = dwRequestedUpdateRate;
  data->view.revisedUpdateRate = pRevisedUpdateRate ? *pRevisedUpdateRate : 0;
  {
    std::lock_guard lock(m_state->mutex);
    m_state->groups.push_back(data);
  }
  IUnknown* group = NewFaultyGroup(m_state, this, data, inner);
  const HRESULT qi = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  group->Release();
  return m_state->Record(call, FAILED(qi) ? qi : hr);
}

HRESULT CFaultyServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
  RecordedCall call;
  call.method = OpcMethod::kGetErrorString;
  call.error = dwError;
  call.locale = dwLocale;
  if (ppString) *ppString = nullptr;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  return m_state->Record(call, m_inner->GetErrorString(dwError, dwLocale, ppString));
}

HRESULT CFaultyServer::GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) {
  if (ppUnk) *ppUnk = nullptr;
  return E_NOTIMPL;
}

HRESULT CFaultyServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  RecordedCall call;
  call.method = OpcMethod::kGetStatus;
  if (ppServerStatus) *ppServerStatus = nullptr;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  const HRESULT answered = m_inner->GetStatus(ppServerStatus);
  {
    std::lock_guard lock(m_state->mutex);
    if (answered == S_OK && ppServerStatus && *ppServerStatus && m_state->serverState)
      (*ppServerStatus)->dwServerState = static_cast<OPCSERVERSTATE>(*m_state->serverState);
  }
  return m_state->Record(call, answered);
}

HRESULT CFaultyServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  RecordedCall call;
  call.method = OpcMethod::kRemoveGroup;
  call.serverGroup = hServerGroup;
  call.force = bForce;
  HRESULT hr = S_OK;
  if (m_state->Fails(call.method, hr)) return m_state->Record(call, hr);
  hr = m_inner->RemoveGroup(hServerGroup, bForce);
  if (SUCCEEDED(hr)) {
    std::lock_guard lock(m_state->mutex);
    for (const auto& group : m_state->groups)
      if (group->view.serverHandle == hServerGroup && !group->view.removed)
        group->view.removed = true;
  }
  return m_state->Record(call, hr);
}

HRESULT CFaultyServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) {
  if (ppUnk) *ppUnk = nullptr;
  return E_NOTIMPL;
}

// ================================================================================================
// CFaultySink
// ================================================================================================

CFaultySink::CFaultySink(std::shared_ptr<CFaultyState> state,
                         std::shared_ptr<FaultyGroupData> group, IOPCDataCallback* sink)
    : m_state(std::move(state)), m_group(std::move(group)), m_sink(sink) {
  m_sink->AddRef();
  std::lock_guard lock(m_state->mutex);
  m_group->sinks.emplace_back(this, m_sink);
}

CFaultySink::~CFaultySink() {
  {
    std::lock_guard lock(m_state->mutex);
    auto& sinks = m_group->sinks;
    sinks.erase(std::remove_if(sinks.begin(), sinks.end(),
                               [this](const auto& entry) { return entry.first == this; }),
                sinks.end());
  }
  m_sink->Release();
}

HRESULT CFaultySink::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
    *ppv = static_cast<IOPCDataCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CFaultySink::Release() {
  const long left = --m_ref;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT CFaultySink::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                  HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                  VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                  HRESULT* pErrors) {
  return m_sink->OnDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                              phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT CFaultySink::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                    HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                    VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                    HRESULT* pErrors) {
  return m_sink->OnReadComplete(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                                phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT CFaultySink::OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                     DWORD dwCount, OPCHANDLE* pClienthandles, HRESULT* pErrors) {
  return m_sink->OnWriteComplete(dwTransid, hGroup, hrMastererr, dwCount, pClienthandles, pErrors);
}

HRESULT CFaultySink::OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) {
  return m_sink->OnCancelComplete(dwTransid, hGroup);
}

// ================================================================================================
// CFaultyOpcServer
// ================================================================================================

namespace {

std::atomic<std::uint32_t> g_nextClsid{0x51A20001};

HRESULT CreateFaultyServer(const std::shared_ptr<CFaultyState>& state, REFIID riid, void** ppv) {
  RecordedCall call;
  call.method = OpcMethod::kCreateInstance;
  call.iid = riid;
  bool throws = false;
  {
    std::lock_guard lock(state->mutex);
    throws = state->factoryThrows;
  }
  if (throws) {
    state->Record(call, E_UNEXPECTED);
    throw std::runtime_error("faulty server factory failure");
  }
  HRESULT hr = S_OK;
  if (state->Fails(call.method, hr)) return state->Record(call, hr);
  IOPCServer* inner = nullptr;
  hr = CreateSimulatorObject(IID_IOPCServer, reinterpret_cast<void**>(&inner));
  if (FAILED(hr)) return state->Record(call, hr);
  auto* server = new CFaultyServer(state, inner);
  hr = server->QueryInterface(riid, ppv);
  server->Release();
  return state->Record(call, hr);
}

// Calls fn on each sink advised on the group; CONNECT_E_NOCONNECTION when there is none.
template <class Fn>
HRESULT ForEachSink(CFaultyState& state, OPCHANDLE serverGroup, Fn fn) {
  std::vector<IOPCDataCallback*> sinks;
  OPCHANDLE clientGroup = 0;
  {
    std::lock_guard lock(state.mutex);
    for (const auto& group : state.groups) {
      if (group->view.serverHandle != serverGroup || group->view.removed) continue;
      clientGroup = group->view.clientHandle;
      for (const auto& entry : group->sinks) {
        entry.second->AddRef();
        sinks.push_back(entry.second);
      }
    }
  }
  HRESULT hr = CONNECT_E_NOCONNECTION;
  for (IOPCDataCallback* sink : sinks) {
    hr = fn(sink, clientGroup);
    sink->Release();
  }
  return hr;
}

}  // namespace

CFaultyOpcServer::CFaultyOpcServer(std::u16string progId)
    : m_state(std::make_shared<State>()), m_progId(std::move(progId)) {
  const CLSID clsid = {g_nextClsid++, 0x7A11, 0x4E0F, {0x9A, 0x61, 0x51, 0x0F, 0xA4, 0xE5, 0, 2}};
  std::weak_ptr<State> weak = m_state;
  CoRegisterProgId(m_progId, clsid, [weak](REFIID riid, void** ppv) -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto state = weak.lock();
    return state ? CreateFaultyServer(state, riid, ppv) : CO_E_SERVER_EXEC_FAILURE;
  });
}

CFaultyOpcServer::~CFaultyOpcServer() {
  CoUnregisterProgId(m_progId);
}

HRESULT CFaultyOpcServer::WriteItem(const std::u16string& itemId, const CTestVariant& value) {
  IOPCServer* server = nullptr;
  HRESULT hr = CreateSimulatorObject(IID_IOPCServer, reinterpret_cast<void**>(&server));
  if (FAILED(hr)) return hr;
  OPCHANDLE hGroup = 0;
  DWORD revised = 0;
  IOPCItemMgt* items = nullptr;
  hr = server->AddGroup(u"", FALSE, 0, 0, nullptr, nullptr, 0x409, &hGroup, &revised,
                        IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items));
  if (SUCCEEDED(hr)) {
    std::u16string id = itemId;
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(u"");
    def.szItemID = id.data();
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &def, &results, &errors);
    IOPCSyncIO* sync = nullptr;
    if (hr == S_OK && SUCCEEDED(items->QueryInterface(IID_IOPCSyncIO, (void**)&sync))) {
      VARIANT v = value.Get();
      HRESULT* writeErrors = nullptr;
      hr = sync->Write(1, &results[0].hServer, &v, &writeErrors);
      if (hr == S_FALSE) hr = writeErrors[0];
      CoTaskMemFree(writeErrors);
      sync->Release();
    } else if (hr == S_FALSE) {
      hr = errors[0];
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    items->Release();
    server->RemoveGroup(hGroup, TRUE);
  }
  server->Release();
  return hr;
}

void CFaultyOpcServer::SetFailure(OpcMethod method, HRESULT hr, int skip, int times) {
  std::lock_guard lock(m_state->mutex);
  m_state->failures[method] = State::FailureRule{hr, skip, times};
}

void CFaultyOpcServer::ClearFailure(OpcMethod method) {
  std::lock_guard lock(m_state->mutex);
  m_state->failures.erase(method);
}

void CFaultyOpcServer::SetItemError(OpcMethod method, const std::u16string& itemId, HRESULT hr) {
  std::lock_guard lock(m_state->mutex);
  m_state->itemErrors[{method, itemId}] = hr;
}

void CFaultyOpcServer::RefuseInterface(REFIID iid) {
  std::lock_guard lock(m_state->mutex);
  m_state->refused.push_back(iid);
}

void CFaultyOpcServer::SetServerState(std::optional<DWORD> state) {
  std::lock_guard lock(m_state->mutex);
  m_state->serverState = state;
}

void CFaultyOpcServer::SetFactoryThrows(bool on) {
  std::lock_guard lock(m_state->mutex);
  m_state->factoryThrows = on;
}

std::vector<RecordedCall> CFaultyOpcServer::Calls() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->calls;
}

std::vector<RecordedCall> CFaultyOpcServer::CallsOf(OpcMethod method) const {
  std::lock_guard lock(m_state->mutex);
  std::vector<RecordedCall> out;
  for (const auto& c : m_state->calls)
    if (c.method == method) out.push_back(c);
  return out;
}

int CFaultyOpcServer::CountOf(OpcMethod method) const {
  return static_cast<int>(CallsOf(method).size());
}

void CFaultyOpcServer::ClearCalls() {
  std::lock_guard lock(m_state->mutex);
  m_state->calls.clear();
}

std::vector<RecordedGroup> CFaultyOpcServer::Groups() const {
  std::lock_guard lock(m_state->mutex);
  std::vector<RecordedGroup> out;
  for (const auto& g : m_state->groups) out.push_back(m_state->Snapshot(*g));
  return out;
}

std::optional<RecordedGroup> CFaultyOpcServer::GroupByName(const std::u16string& name) const {
  std::lock_guard lock(m_state->mutex);
  for (auto it = m_state->groups.rbegin(); it != m_state->groups.rend(); ++it)
    if ((*it)->view.name == name) return m_state->Snapshot(**it);
  return std::nullopt;
}

std::size_t CFaultyOpcServer::ActiveGroupCount() const {
  std::lock_guard lock(m_state->mutex);
  return static_cast<std::size_t>(std::count_if(m_state->groups.begin(), m_state->groups.end(),
                                                [](const auto& g) { return !g->view.removed; }));
}

HRESULT CFaultyOpcServer::FireDataChange(OPCHANDLE serverGroup, DWORD transid,
                                         HRESULT masterQuality, HRESULT masterError,
                                         const std::vector<InjectedItem>& items) {
  std::vector<OPCHANDLE> handles(items.size() + 1);
  std::vector<VARIANT> values(items.size() + 1);
  std::vector<WORD> qualities(items.size() + 1);
  std::vector<FILETIME> times(items.size() + 1);
  std::vector<HRESULT> errors(items.size() + 1);
  for (std::size_t i = 0; i < items.size(); ++i) {
    handles[i] = items[i].clientHandle;
    values[i] = items[i].value.Get();  // a shallow view: the sink only reads it
    qualities[i] = items[i].quality;
    errors[i] = items[i].error;
  }
  const auto count = static_cast<DWORD>(items.size());
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return sink->OnDataChange(transid, hGroup, masterQuality, masterError, count, handles.data(),
                              values.data(), qualities.data(), times.data(), errors.data());
  });
}

HRESULT CFaultyOpcServer::FireCancelComplete(OPCHANDLE serverGroup, DWORD transid) {
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return sink->OnCancelComplete(transid, hGroup);
  });
}

std::size_t CFaultyOpcServer::LiveObjectCount() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->live.size();
}

long CFaultyOpcServer::OutstandingReferences() const {
  std::lock_guard lock(m_state->mutex);
  long sum = 0;
  for (const auto* object : m_state->live) sum += object->RefCount();
  return sum;
}

std::size_t CFaultyOpcServer::HeldSinkCount() const {
  std::lock_guard lock(m_state->mutex);
  std::size_t n = 0;
  for (const auto& g : m_state->groups) n += g->sinks.size();
  return n;
}
