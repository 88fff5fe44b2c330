#include "tests/support/fake_opc_server.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include "platform/apartment.h"

// ================================================================================================
// Shared state
// ================================================================================================

namespace {

struct FakeItem {
  FakeItemDef def;
  OPCHANDLE serverHandle = 0;
};

// Where a sink's queued callbacks run: the COM apartment of the thread that advised it, or,
// when that thread never initialised COM, its plain apartment.
struct CallbackTarget {
  ComApartmentRef com;
  std::shared_ptr<CApartment> plain;

  static CallbackTarget Current() {
    CallbackTarget t;
    t.com = ComApartmentRef::Current();
    if (!t.com.IsValid()) t.plain = CApartment::ForCurrentThread();
    return t;
  }
  bool Post(std::function<void()> call) const {
    if (com.IsValid()) return com.Post(std::move(call));
    return plain && plain->Post(std::move(call));
  }
};

struct SinkEntry {
  DWORD cookie = 0;
  IOPCDataCallback* sink = nullptr;  // one reference held
  CallbackTarget target;
};

struct GroupData {
  OPCHANDLE serverHandle = 0;
  OPCHANDLE clientHandle = 0;
  std::u16string name;
  BOOL active = FALSE;
  DWORD requestedUpdateRate = 0;
  DWORD revisedUpdateRate = 0;
  bool removed = false;
  std::vector<FakeItem> items;
  std::vector<SinkEntry> sinks;
};

struct FailureRule {
  HRESULT hr = E_FAIL;
  int skip = 0;
  int times = -1;
};

struct ServedValue {
  CFakeVariant value;
  WORD quality = OPC_QUALITY_GOOD;
};

struct PendingCall {
  OPCHANDLE serverGroup = 0;
  DWORD transactionId = 0;
  bool cancelled = false;
};

class FakeObjectBase;

// Releases an interface when the last copy goes (std::function needs copyable captures).
template <class T>
std::shared_ptr<T> SharedRef(T* p) {
  p->AddRef();
  return std::shared_ptr<T>(p, [](T* q) { q->Release(); });
}

}  // namespace

struct CFakeOpcServer::State {
  mutable std::recursive_mutex mutex;
  std::map<std::string, FailureRule> failures;
  std::map<std::pair<std::string, std::u16string>, HRESULT> itemErrors;
  std::vector<IID> refused;
  bool factoryThrows = false;
  bool asyncCompletion = false;
  DWORD revisedRate = 0;
  std::map<HRESULT, std::u16string> errorStrings;
  std::map<std::u16string, ServedValue> values;
  std::vector<FakeCall> calls;
  std::vector<std::shared_ptr<GroupData>> groups;
  OPCHANDLE nextGroupHandle = kFirstServerGroupHandle;
  OPCHANDLE nextItemHandle = kFirstServerItemHandle;
  DWORD nextCancelId = kFirstCancelId;
  DWORD nextCookie = 1;
  std::map<DWORD, PendingCall> pending;
  std::set<FakeObjectBase*> live;

  // Applies a failure rule; true (and hr set) when this call must fail.
  bool Fails(const std::string& method, HRESULT& hr) {
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

  HRESULT ItemError(const std::string& method, const std::u16string& itemId) const {
    std::lock_guard lock(mutex);
    auto it = itemErrors.find({method, itemId});
    return it == itemErrors.end() ? S_OK : it->second;
  }

  bool Refuses(REFIID iid) const {
    std::lock_guard lock(mutex);
    return std::find(refused.begin(), refused.end(), iid) != refused.end();
  }

  HRESULT Record(FakeCall call, HRESULT result) {
    std::lock_guard lock(mutex);
    call.result = result;
    calls.push_back(std::move(call));
    return result;
  }

  ServedValue Value(const std::u16string& itemId) const {
    std::lock_guard lock(mutex);
    auto it = values.find(itemId);
    return it == values.end() ? ServedValue{} : it->second;
  }

  std::shared_ptr<GroupData> FindGroup(OPCHANDLE serverHandle) const {
    std::lock_guard lock(mutex);
    for (const auto& g : groups)
      if (g->serverHandle == serverHandle) return g;
    return nullptr;
  }
};

using State = CFakeOpcServer::State;

namespace {

// Reference count and membership in the fake's set of live objects.
class FakeObjectBase {
public:
  explicit FakeObjectBase(std::shared_ptr<State> state) : m_state(std::move(state)) {
    std::lock_guard lock(m_state->mutex);
    m_state->live.insert(this);
  }
  virtual ~FakeObjectBase() {
    std::lock_guard lock(m_state->mutex);
    m_state->live.erase(this);
  }
  FakeObjectBase(const FakeObjectBase&) = delete;
  FakeObjectBase& operator=(const FakeObjectBase&) = delete;

  long RefCount() const { return m_ref.load(); }

protected:
  ULONG DoAddRef() { return static_cast<ULONG>(++m_ref); }
  ULONG DoRelease() {
    const long left = --m_ref;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  std::shared_ptr<State> m_state;

private:
  std::atomic<long> m_ref{1};  // the creator's reference
};

// Copies one OPCITEMDEF into the record's form.
FakeItemDef CopyDef(const OPCITEMDEF& d) {
  FakeItemDef out;
  if (d.szAccessPath) out.accessPath = d.szAccessPath;
  if (d.szItemID) out.itemId = d.szItemID;
  out.active = d.bActive;
  out.clientHandle = d.hClient;
  out.blobSize = d.dwBlobSize;
  out.requestedType = d.vtRequestedDataType;
  return out;
}

template <class T>
T* TaskArray(DWORD count) {
  // Never a null array for a successful call, even of 0 items.
  const std::size_t n = count == 0 ? 1 : count;
  T* p = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * n));
  if (p) std::fill(p, p + n, T{});
  return p;
}

LPWSTR TaskString(const std::u16string& text) {
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (!p) return nullptr;
  std::copy(text.begin(), text.end(), p);
  p[text.size()] = 0;
  return p;
}

// Builds the argument arrays of a data callback and calls it.
struct CallbackArrays {
  std::vector<OPCHANDLE> handles;
  std::vector<VARIANT> values;  // shallow views of the updates' variants
  std::vector<WORD> qualities;
  std::vector<FILETIME> times;
  std::vector<HRESULT> errors;

  explicit CallbackArrays(const std::vector<FakeItemUpdate>& items) {
    for (const auto& u : items) {
      handles.push_back(u.clientHandle);
      values.push_back(u.value.Get());
      qualities.push_back(u.quality);
      times.push_back(FILETIME{0, 0});
      errors.push_back(u.error);
    }
  }
  // Data pointers that are never null, as a server passes them even for 0 items.
  OPCHANDLE* H() { return handles.empty() ? &m_h : handles.data(); }
  VARIANT* V() { return values.empty() ? &m_v : values.data(); }
  WORD* Q() { return qualities.empty() ? &m_q : qualities.data(); }
  FILETIME* T() { return times.empty() ? &m_t : times.data(); }
  HRESULT* E() { return errors.empty() ? &m_e : errors.data(); }

private:
  OPCHANDLE m_h = 0;
  VARIANT m_v{};
  WORD m_q = 0;
  FILETIME m_t{};
  HRESULT m_e = 0;
};

enum class CallbackKind { DataChange, ReadComplete };

HRESULT CallDataCallback(IOPCDataCallback* sink, CallbackKind kind, DWORD transid, OPCHANDLE hGroup,
                         HRESULT masterQuality, HRESULT masterError,
                         const std::vector<FakeItemUpdate>& items) {
  CallbackArrays a(items);
  const auto count = static_cast<DWORD>(items.size());
  if (kind == CallbackKind::DataChange)
    return sink->OnDataChange(transid, hGroup, masterQuality, masterError, count, a.H(), a.V(),
                              a.Q(), a.T(), a.E());
  return sink->OnReadComplete(transid, hGroup, masterQuality, masterError, count, a.H(), a.V(),
                              a.Q(), a.T(), a.E());
}

// The master results of a callback carrying these items.
void MasterResults(const std::vector<FakeItemUpdate>& items, HRESULT& quality, HRESULT& error) {
  quality = S_OK;
  error = S_OK;
  for (const auto& u : items) {
    if ((u.quality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) quality = S_FALSE;
    if (u.error != S_OK) error = S_FALSE;
  }
}

// Snapshot of the advised sinks (with a reference each) taken under the lock.
std::vector<std::pair<std::shared_ptr<IOPCDataCallback>, CallbackTarget>> SinksOf(
    State& state, const GroupData& group) {
  std::lock_guard lock(state.mutex);
  std::vector<std::pair<std::shared_ptr<IOPCDataCallback>, CallbackTarget>> out;
  for (const auto& s : group.sinks) out.emplace_back(SharedRef(s.sink), s.target);
  return out;
}

class FakeGroup;

// ------------------------------------------------------------------------------------------------
// The group's one connection point (IOPCDataCallback).
// ------------------------------------------------------------------------------------------------
class FakeConnectionPoint final : public FakeObjectBase, public IConnectionPoint {
public:
  FakeConnectionPoint(std::shared_ptr<State> state, std::shared_ptr<GroupData> group,
                      IConnectionPointContainer* container)
      : FakeObjectBase(std::move(state)), m_group(std::move(group)), m_container(container) {
    m_container->AddRef();
  }
  ~FakeConnectionPoint() override { m_container->Release(); }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (m_state->Refuses(riid)) return E_NOINTERFACE;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
      *ppv = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  HRESULT GetConnectionInterface(IID* pIID) override {
    if (!pIID) return E_POINTER;
    *pIID = IID_IOPCDataCallback;
    return S_OK;
  }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    if (!ppCPC) return E_POINTER;
    *ppCPC = m_container;
    m_container->AddRef();
    return S_OK;
  }

  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
    FakeCall call;
    call.method = "Advise";
    call.serverGroup = m_group->serverHandle;
    HRESULT hr = S_OK;
    if (m_state->Fails("Advise", hr)) {
      if (pdwCookie) *pdwCookie = 0;
      return m_state->Record(call, hr);
    }
    if (!pUnkSink || !pdwCookie) return m_state->Record(call, E_POINTER);
    *pdwCookie = 0;
    IOPCDataCallback* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(&sink))) ||
        !sink)
      return m_state->Record(call, CONNECT_E_CANNOTCONNECT);
    {
      std::lock_guard lock(m_state->mutex);
      const DWORD cookie = m_state->nextCookie++;
      m_group->sinks.push_back(SinkEntry{cookie, sink, CallbackTarget::Current()});
      *pdwCookie = cookie;
      call.cookie = cookie;
    }
    return m_state->Record(call, S_OK);
  }

  HRESULT Unadvise(DWORD dwCookie) override {
    FakeCall call;
    call.method = "Unadvise";
    call.serverGroup = m_group->serverHandle;
    call.cookie = dwCookie;
    HRESULT hr = S_OK;
    if (m_state->Fails("Unadvise", hr)) return m_state->Record(call, hr);
    IOPCDataCallback* sink = nullptr;
    {
      std::lock_guard lock(m_state->mutex);
      auto& sinks = m_group->sinks;
      auto it = std::find_if(sinks.begin(), sinks.end(),
                             [&](const SinkEntry& s) { return s.cookie == dwCookie; });
      if (it != sinks.end()) {
        sink = it->sink;
        sinks.erase(it);
      }
    }
    if (!sink) return m_state->Record(call, CONNECT_E_NOCONNECTION);
    sink->Release();
    return m_state->Record(call, S_OK);
  }

  HRESULT EnumConnections(IEnumConnections** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }

private:
  std::shared_ptr<GroupData> m_group;
  IConnectionPointContainer* m_container;  // one reference held
};

// ------------------------------------------------------------------------------------------------
// A group object: item management, state, sync and async I/O, connection points.
// ------------------------------------------------------------------------------------------------
class FakeGroup final : public FakeObjectBase,
                        public IOPCItemMgt,
                        public IOPCGroupStateMgt,
                        public IOPCSyncIO,
                        public IOPCAsyncIO2,
                        public IConnectionPointContainer {
public:
  FakeGroup(std::shared_ptr<State> state, std::shared_ptr<GroupData> group)
      : FakeObjectBase(std::move(state)), m_group(std::move(group)) {}

  ~FakeGroup() override {
    // A group that goes away drops the connections it still holds.
    std::vector<SinkEntry> sinks;
    {
      std::lock_guard lock(m_state->mutex);
      sinks.swap(m_group->sinks);
    }
    for (auto& s : sinks) s.sink->Release();
  }

  // --- IUnknown ---
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    FakeCall call;
    call.method = "QueryInterface";
    call.serverGroup = m_group->serverHandle;
    call.iid = riid;
    HRESULT hr = S_OK;
    if (m_state->Refuses(riid)) return m_state->Record(call, E_NOINTERFACE);
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt)
      *ppv = static_cast<IOPCItemMgt*>(this);
    else if (riid == IID_IOPCGroupStateMgt)
      *ppv = static_cast<IOPCGroupStateMgt*>(this);
    else if (riid == IID_IOPCSyncIO)
      *ppv = static_cast<IOPCSyncIO*>(this);
    else if (riid == IID_IOPCAsyncIO2)
      *ppv = static_cast<IOPCAsyncIO2*>(this);
    else if (riid == IID_IConnectionPointContainer)
      *ppv = static_cast<IConnectionPointContainer*>(this);
    else
      hr = E_NOINTERFACE;
    if (*ppv) AddRef();
    return m_state->Record(call, hr);
  }
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  // --- IOPCItemMgt ---
  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                   HRESULT** ppErrors) override {
    FakeCall call = Call("AddItems");
    call.count = dwCount;
    if (pItemArray)
      for (DWORD i = 0; i < dwCount; ++i) call.items.push_back(CopyDef(pItemArray[i]));
    if (ppAddResults) *ppAddResults = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("AddItems", hr)) return m_state->Record(call, hr);
    if (!ppAddResults || !ppErrors || (dwCount > 0 && !pItemArray))
      return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* results = TaskArray<OPCITEMRESULT>(dwCount);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      const FakeItemDef& def = call.items[i];
      const HRESULT itemHr = m_state->ItemError("AddItems", def.itemId);
      errors[i] = itemHr;
      if (itemHr != S_OK) {
        anyError = true;
        continue;
      }
      std::lock_guard lock(m_state->mutex);
      FakeItem item{def, m_state->nextItemHandle++};
      results[i].hServer = item.serverHandle;
      VARTYPE canonical = def.requestedType;
      if (canonical == VT_EMPTY) {
        auto it = m_state->values.find(def.itemId);
        canonical =
            it == m_state->values.end() ? static_cast<VARTYPE>(VT_I4) : it->second.value.Type();
      }
      results[i].vtCanonicalDataType = canonical;
      results[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
      m_group->items.push_back(std::move(item));
    }
    *ppAddResults = results;
    *ppErrors = errors;
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  HRESULT ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT** ppValidationResults,
                        HRESULT** ppErrors) override {
    if (ppValidationResults) *ppValidationResults = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    return E_NOTIMPL;
  }

  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override {
    FakeCall call = Call("RemoveItems");
    call.count = dwCount;
    if (phServer) call.handles.assign(phServer, phServer + dwCount);
    if (ppErrors) *ppErrors = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("RemoveItems", hr)) return m_state->Record(call, hr);
    if (!ppErrors || (dwCount > 0 && !phServer)) return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    {
      std::lock_guard lock(m_state->mutex);
      auto& items = m_group->items;
      for (DWORD i = 0; i < dwCount; ++i) {
        auto it = std::find_if(items.begin(), items.end(), [&](const FakeItem& item) {
          return item.serverHandle == phServer[i];
        });
        if (it == items.end()) {
          errors[i] = OPC_E_INVALIDHANDLE;
          anyError = true;
        } else {
          items.erase(it);
        }
      }
    }
    *ppErrors = errors;
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  HRESULT SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  HRESULT SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  HRESULT SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT** ppErrors) override {
    if (ppErrors) *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  HRESULT CreateEnumerator(REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }

  // --- IOPCGroupStateMgt ---
  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                   OPCHANDLE* phServerGroup) override {
    std::lock_guard lock(m_state->mutex);
    if (pUpdateRate) *pUpdateRate = m_group->revisedUpdateRate;
    if (pActive) *pActive = m_group->active;
    if (ppName) *ppName = TaskString(m_group->name);
    if (pTimeBias) *pTimeBias = 0;
    if (pPercentDeadband) *pPercentDeadband = 0.0f;
    if (pLCID) *pLCID = 0x409;
    if (phClientGroup) *phClientGroup = m_group->clientHandle;
    if (phServerGroup) *phServerGroup = m_group->serverHandle;
    return S_OK;
  }

  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG*,
                   FLOAT*, DWORD*, OPCHANDLE*) override {
    FakeCall call = Call("SetState");
    call.activeGiven = pActive != nullptr;
    if (pActive) call.active = *pActive;
    call.updateRateGiven = pRequestedUpdateRate != nullptr;
    if (pRequestedUpdateRate) call.updateRate = *pRequestedUpdateRate;
    HRESULT hr = S_OK;
    if (m_state->Fails("SetState", hr)) return m_state->Record(call, hr);
    if (Removed()) return m_state->Record(call, E_FAIL);
    std::lock_guard lock(m_state->mutex);
    if (pRequestedUpdateRate) {
      m_group->requestedUpdateRate = *pRequestedUpdateRate;
      m_group->revisedUpdateRate =
          m_state->revisedRate ? m_state->revisedRate : *pRequestedUpdateRate;
    }
    if (pRevisedUpdateRate) *pRevisedUpdateRate = m_group->revisedUpdateRate;
    if (pActive) m_group->active = *pActive;
    return m_state->Record(call, S_OK);
  }

  HRESULT SetName(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }

  // --- IOPCSyncIO ---
  HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
               OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override {
    FakeCall call = Call("SyncRead");
    call.source = dwSource;
    call.count = dwCount;
    if (phServer) call.handles.assign(phServer, phServer + dwCount);
    if (ppItemValues) *ppItemValues = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("SyncRead", hr)) return m_state->Record(call, hr);
    if (!ppItemValues || !ppErrors || (dwCount > 0 && !phServer))
      return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* states = TaskArray<OPCITEMSTATE>(dwCount);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      VariantInit(&states[i].vDataValue);
      FakeItem item;
      HRESULT itemHr = Lookup(phServer[i], item) ? m_state->ItemError("SyncRead", item.def.itemId)
                                                 : OPC_E_INVALIDHANDLE;
      errors[i] = itemHr;
      if (itemHr != S_OK) {
        anyError = true;
        continue;
      }
      const ServedValue value = m_state->Value(item.def.itemId);
      states[i].hClient = item.def.clientHandle;
      states[i].wQuality = value.quality;
      VariantCopy(&states[i].vDataValue, &value.value.Get());
    }
    *ppItemValues = states;
    *ppErrors = errors;
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                HRESULT** ppErrors) override {
    FakeCall call = Call("SyncWrite");
    call.count = dwCount;
    if (phServer) call.handles.assign(phServer, phServer + dwCount);
    if (pItemValues)
      for (DWORD i = 0; i < dwCount; ++i) call.values.emplace_back(pItemValues[i]);
    if (ppErrors) *ppErrors = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("SyncWrite", hr)) return m_state->Record(call, hr);
    if (!ppErrors || (dwCount > 0 && (!phServer || !pItemValues)))
      return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = Store("SyncWrite", phServer[i], call.values[i]);
      anyError |= errors[i] != S_OK;
    }
    *ppErrors = errors;
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  // --- IOPCAsyncIO2 ---
  HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
               HRESULT** ppErrors) override {
    FakeCall call = Call("AsyncRead");
    call.count = dwCount;
    call.transactionId = dwTransactionID;
    if (phServer) call.handles.assign(phServer, phServer + dwCount);
    if (ppErrors) *ppErrors = nullptr;
    if (pdwCancelID) *pdwCancelID = 0;
    HRESULT hr = S_OK;
    if (m_state->Fails("AsyncRead", hr)) return m_state->Record(call, hr);
    if (!ppErrors || !pdwCancelID || dwCount == 0 || !phServer)
      return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    std::vector<FakeItemUpdate> updates;
    for (DWORD i = 0; i < dwCount; ++i) {
      FakeItem item;
      errors[i] = Lookup(phServer[i], item) ? m_state->ItemError("AsyncRead", item.def.itemId)
                                            : OPC_E_INVALIDHANDLE;
      if (errors[i] != S_OK) {
        anyError = true;
        continue;
      }
      const ServedValue value = m_state->Value(item.def.itemId);
      updates.push_back(FakeItemUpdate{item.def.clientHandle, value.value, value.quality, S_OK});
    }
    *ppErrors = errors;
    *pdwCancelID = call.cancelId = NewCancelId(dwTransactionID);
    if (!updates.empty())
      PostData(CallbackKind::ReadComplete, dwTransactionID, call.cancelId, std::move(updates));
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                DWORD* pdwCancelID, HRESULT** ppErrors) override {
    FakeCall call = Call("AsyncWrite");
    call.count = dwCount;
    call.transactionId = dwTransactionID;
    if (phServer) call.handles.assign(phServer, phServer + dwCount);
    if (pItemValues)
      for (DWORD i = 0; i < dwCount; ++i) call.values.emplace_back(pItemValues[i]);
    if (ppErrors) *ppErrors = nullptr;
    if (pdwCancelID) *pdwCancelID = 0;
    HRESULT hr = S_OK;
    if (m_state->Fails("AsyncWrite", hr)) return m_state->Record(call, hr);
    if (!ppErrors || !pdwCancelID || dwCount == 0 || !phServer || !pItemValues)
      return m_state->Record(call, E_INVALIDARG);
    if (Removed()) return m_state->Record(call, E_FAIL);
    auto* errors = TaskArray<HRESULT>(dwCount);
    bool anyError = false;
    std::vector<std::pair<OPCHANDLE, HRESULT>> done;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = Store("AsyncWrite", phServer[i], call.values[i]);
      if (errors[i] != S_OK) {
        anyError = true;
        continue;
      }
      FakeItem item;
      Lookup(phServer[i], item);
      done.emplace_back(item.def.clientHandle, S_OK);
    }
    *ppErrors = errors;
    *pdwCancelID = call.cancelId = NewCancelId(dwTransactionID);
    if (!done.empty()) PostWrite(dwTransactionID, call.cancelId, std::move(done));
    return m_state->Record(call, anyError ? S_FALSE : S_OK);
  }

  HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override {
    FakeCall call = Call("Refresh2");
    call.source = dwSource;
    call.transactionId = dwTransactionID;
    if (pdwCancelID) *pdwCancelID = 0;
    HRESULT hr = S_OK;
    if (m_state->Fails("Refresh2", hr)) return m_state->Record(call, hr);
    if (!pdwCancelID) return m_state->Record(call, E_INVALIDARG);
    std::vector<FakeItemUpdate> updates;
    {
      std::lock_guard lock(m_state->mutex);
      // A refresh of an inactive (or removed) group is refused, as servers do.
      if (m_group->removed || !m_group->active) return m_state->Record(call, E_FAIL);
      for (const auto& item : m_group->items) {
        if (!item.def.active) continue;
        const ServedValue value = m_state->Value(item.def.itemId);
        updates.push_back(FakeItemUpdate{item.def.clientHandle, value.value, value.quality, S_OK});
      }
    }
    *pdwCancelID = call.cancelId = NewCancelId(dwTransactionID);
    PostData(CallbackKind::DataChange, dwTransactionID, call.cancelId, std::move(updates));
    return m_state->Record(call, S_OK);
  }

  HRESULT Cancel2(DWORD dwCancelID) override {
    FakeCall call = Call("Cancel2");
    call.cancelId = dwCancelID;
    HRESULT hr = S_OK;
    if (m_state->Fails("Cancel2", hr)) return m_state->Record(call, hr);
    DWORD transid = 0;
    {
      std::lock_guard lock(m_state->mutex);
      auto it = m_state->pending.find(dwCancelID);
      if (it == m_state->pending.end() || it->second.cancelled ||
          it->second.serverGroup != m_group->serverHandle)
        return m_state->Record(call, E_FAIL);
      it->second.cancelled = true;
      transid = it->second.transactionId;
      call.transactionId = transid;
    }
    Post([transid](IOPCDataCallback* sink, OPCHANDLE hGroup) {
      sink->OnCancelComplete(transid, hGroup);
    });
    return m_state->Record(call, S_OK);
  }

  HRESULT SetEnable(BOOL) override { return S_OK; }
  HRESULT GetEnable(BOOL* pbEnable) override {
    if (!pbEnable) return E_POINTER;
    *pbEnable = TRUE;
    return S_OK;
  }

  // --- IConnectionPointContainer ---
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    return E_NOTIMPL;
  }
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    FakeCall call = Call("FindConnectionPoint");
    call.iid = riid;
    if (ppCP) *ppCP = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("FindConnectionPoint", hr)) return m_state->Record(call, hr);
    if (!ppCP) return m_state->Record(call, E_POINTER);
    if (!(riid == IID_IOPCDataCallback)) return m_state->Record(call, CONNECT_E_NOCONNECTION);
    *ppCP = new FakeConnectionPoint(m_state, m_group, this);
    return m_state->Record(call, S_OK);
  }

private:
  FakeCall Call(const char* method) const {
    FakeCall call;
    call.method = method;
    call.serverGroup = m_group->serverHandle;
    return call;
  }

  bool Removed() const {
    std::lock_guard lock(m_state->mutex);
    return m_group->removed;
  }

  bool Lookup(OPCHANDLE serverHandle, FakeItem& out) const {
    std::lock_guard lock(m_state->mutex);
    for (const auto& item : m_group->items)
      if (item.serverHandle == serverHandle) {
        out = item;
        return true;
      }
    return false;
  }

  // A write of one item: its error, or S_OK after the served value has changed.
  HRESULT Store(const char* method, OPCHANDLE serverHandle, const CFakeVariant& value) {
    FakeItem item;
    if (!Lookup(serverHandle, item)) return OPC_E_INVALIDHANDLE;
    const HRESULT hr = m_state->ItemError(method, item.def.itemId);
    if (hr != S_OK) return hr;
    std::lock_guard lock(m_state->mutex);
    m_state->values[item.def.itemId].value = value;
    return S_OK;
  }

  DWORD NewCancelId(DWORD transid) {
    std::lock_guard lock(m_state->mutex);
    const DWORD id = m_state->nextCancelId++;
    m_state->pending[id] = PendingCall{m_group->serverHandle, transid, false};
    return id;
  }

  // Queues a call to every advised sink, on the apartment of the thread that advised it. The
  // call is dropped when the group has been removed by then (and, with a cancel id, when the
  // operation was cancelled).
  void Post(std::function<void(IOPCDataCallback*, OPCHANDLE)> fn, DWORD cancelId = 0) {
    {
      std::lock_guard lock(m_state->mutex);
      if (!m_state->asyncCompletion) return;
    }
    const OPCHANDLE hGroup = m_group->clientHandle;
    for (auto& [sink, target] : SinksOf(*m_state, *m_group)) {
      std::weak_ptr<State> weakState = m_state;
      std::shared_ptr<GroupData> group = m_group;
      target.Post([weakState, group, sink = sink, fn, hGroup, cancelId] {
        auto state = weakState.lock();
        if (state) {
          std::lock_guard lock(state->mutex);
          if (group->removed) return;
          if (cancelId) {
            auto it = state->pending.find(cancelId);
            if (it == state->pending.end() || it->second.cancelled) return;
          }
        }
        fn(sink.get(), hGroup);
      });
    }
  }

  void PostData(CallbackKind kind, DWORD transid, DWORD cancelId,
                std::vector<FakeItemUpdate> updates) {
    HRESULT quality = S_OK;
    HRESULT error = S_OK;
    MasterResults(updates, quality, error);
    Post(
        [kind, transid, quality, error, updates](IOPCDataCallback* sink, OPCHANDLE hGroup) {
          CallDataCallback(sink, kind, transid, hGroup, quality, error, updates);
        },
        cancelId);
  }

  void PostWrite(DWORD transid, DWORD cancelId, std::vector<std::pair<OPCHANDLE, HRESULT>> done) {
    Post(
        [transid, done](IOPCDataCallback* sink, OPCHANDLE hGroup) {
          std::vector<OPCHANDLE> handles;
          std::vector<HRESULT> errors;
          HRESULT master = S_OK;
          for (const auto& [h, e] : done) {
            handles.push_back(h);
            errors.push_back(e);
            if (e != S_OK) master = S_FALSE;
          }
          sink->OnWriteComplete(transid, hGroup, master, static_cast<DWORD>(done.size()),
                                handles.data(), errors.data());
        },
        cancelId);
  }

  std::shared_ptr<GroupData> m_group;
};

// ------------------------------------------------------------------------------------------------
// The server object.
// ------------------------------------------------------------------------------------------------
class FakeServer final : public FakeObjectBase, public IOPCServer {
public:
  using FakeObjectBase::FakeObjectBase;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (m_state->Refuses(riid)) {
      FakeCall call;
      call.method = "QueryInterface";
      call.iid = riid;
      return m_state->Record(call, E_NOINTERFACE);
    }
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
      *ppv = static_cast<IOPCServer*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                   LPUNKNOWN* ppUnk) override {
    FakeCall call;
    call.method = "AddGroup";
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
    if (m_state->Fails("AddGroup", hr)) return m_state->Record(call, hr);
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) return m_state->Record(call, E_INVALIDARG);

    auto group = std::make_shared<GroupData>();
    {
      std::lock_guard lock(m_state->mutex);
      group->serverHandle = m_state->nextGroupHandle++;
      group->clientHandle = hClientGroup;
      group->name = call.name;
      group->active = bActive;
      group->requestedUpdateRate = dwRequestedUpdateRate;
      group->revisedUpdateRate =
          m_state->revisedRate ? m_state->revisedRate : dwRequestedUpdateRate;
      m_state->groups.push_back(group);
    }
    auto* object = new FakeGroup(m_state, group);
    hr = object->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    object->Release();  // the creator's reference
    if (FAILED(hr)) {
      std::lock_guard lock(m_state->mutex);
      group->removed = true;
      return m_state->Record(call, hr);
    }
    *phServerGroup = group->serverHandle;
    *pRevisedUpdateRate = group->revisedUpdateRate;
    return m_state->Record(
        call, group->revisedUpdateRate == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE);
  }

  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override {
    FakeCall call;
    call.method = "GetErrorString";
    call.error = dwError;
    call.locale = dwLocale;
    if (ppString) *ppString = nullptr;
    HRESULT hr = S_OK;
    if (m_state->Fails("GetErrorString", hr)) return m_state->Record(call, hr);
    if (!ppString) return m_state->Record(call, E_INVALIDARG);
    std::u16string text;
    {
      std::lock_guard lock(m_state->mutex);
      auto it = m_state->errorStrings.find(dwError);
      if (it != m_state->errorStrings.end()) {
        text = it->second;
      } else {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "Fake error 0x%08x", static_cast<unsigned>(dwError));
        for (const char* p = buffer; *p; ++p) text.push_back(static_cast<char16_t>(*p));
      }
    }
    *ppString = TaskString(text);
    return m_state->Record(call, S_OK);
  }

  HRESULT GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
    if (ppServerStatus) *ppServerStatus = nullptr;
    FakeCall call;
    call.method = "GetStatus";
    HRESULT hr = S_OK;
    if (m_state->Fails("GetStatus", hr)) return m_state->Record(call, hr);
    if (!ppServerStatus) return m_state->Record(call, E_INVALIDARG);
    // A running server's status, with a vendor text the caller must free as well.
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    *status = OPCSERVERSTATUS{};
    status->dwServerState = OPC_STATUS_RUNNING;
    static constexpr WCHAR kVendor[] = OLESTR("Fake");
    status->szVendorInfo = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kVendor));
    std::memcpy(status->szVendorInfo, kVendor, sizeof kVendor);
    *ppServerStatus = status;
    return m_state->Record(call, S_OK);
  }

  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override {
    FakeCall call;
    call.method = "RemoveGroup";
    call.serverGroup = hServerGroup;
    call.force = bForce;
    HRESULT hr = S_OK;
    if (m_state->Fails("RemoveGroup", hr)) return m_state->Record(call, hr);
    std::lock_guard lock(m_state->mutex);
    for (auto& g : m_state->groups) {
      if (g->serverHandle == hServerGroup && !g->removed) {
        g->removed = true;
        return m_state->Record(call, S_OK);
      }
    }
    return m_state->Record(call, E_INVALIDARG);
  }

  HRESULT CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) override {
    if (ppUnk) *ppUnk = nullptr;
    return E_NOTIMPL;
  }
};

FakeGroupView ViewOf(const GroupData& g) {
  FakeGroupView v;
  v.serverHandle = g.serverHandle;
  v.clientHandle = g.clientHandle;
  v.name = g.name;
  v.active = g.active;
  v.requestedUpdateRate = g.requestedUpdateRate;
  v.revisedUpdateRate = g.revisedUpdateRate;
  v.removed = g.removed;
  for (const auto& item : g.items) v.items.push_back(FakeItemView{item.def, item.serverHandle});
  v.sinkCount = g.sinks.size();
  v.sink = g.sinks.empty() ? nullptr : g.sinks.front().sink;
  return v;
}

std::atomic<std::uint32_t> g_nextClsid{0x51A20001};

}  // namespace

// ================================================================================================
// CFakeOpcServer
// ================================================================================================

CFakeOpcServer::CFakeOpcServer(std::u16string progId)
    : m_state(std::make_shared<State>()), m_progId(std::move(progId)) {
  m_clsid = CLSID{g_nextClsid++, 0x7A11, 0x4E0F, {0x9A, 0x61, 0x51, 0x0F, 0xA4, 0xE5, 0x00, 0x01}};
  if (m_progId.empty()) return;
  std::weak_ptr<State> weak = m_state;
  CoRegisterProgId(m_progId, m_clsid, [weak](REFIID riid, void** ppv) -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto state = weak.lock();
    if (!state) return CO_E_SERVER_EXEC_FAILURE;
    FakeCall call;
    call.method = "CreateInstance";
    call.iid = riid;
    bool throws = false;
    {
      std::lock_guard lock(state->mutex);
      throws = state->factoryThrows;
    }
    if (throws) {
      state->Record(call, E_UNEXPECTED);
      throw std::runtime_error("fake server factory failure");
    }
    HRESULT hr = S_OK;
    if (state->Fails("CreateInstance", hr)) return state->Record(call, hr);
    auto* server = new FakeServer(state);
    hr = server->QueryInterface(riid, ppv);
    server->Release();
    return state->Record(call, hr);
  });
}

CFakeOpcServer::~CFakeOpcServer() {
  if (!m_progId.empty()) CoUnregisterProgId(m_progId);
}

IOPCServer* CFakeOpcServer::CreateServer() {
  return new FakeServer(m_state);
}

void CFakeOpcServer::SetFailure(const std::string& method, HRESULT hr, int skip, int times) {
  std::lock_guard lock(m_state->mutex);
  m_state->failures[method] = FailureRule{hr, skip, times};
}

void CFakeOpcServer::ClearFailure(const std::string& method) {
  std::lock_guard lock(m_state->mutex);
  m_state->failures.erase(method);
}

void CFakeOpcServer::SetItemError(const std::string& method, const std::u16string& itemId,
                                  HRESULT hr) {
  std::lock_guard lock(m_state->mutex);
  m_state->itemErrors[{method, itemId}] = hr;
}

void CFakeOpcServer::RefuseInterface(REFIID iid) {
  std::lock_guard lock(m_state->mutex);
  m_state->refused.push_back(iid);
}

void CFakeOpcServer::SetFactoryThrows(bool on) {
  std::lock_guard lock(m_state->mutex);
  m_state->factoryThrows = on;
}

void CFakeOpcServer::SetRevisedUpdateRate(DWORD rate) {
  std::lock_guard lock(m_state->mutex);
  m_state->revisedRate = rate;
}

void CFakeOpcServer::SetErrorString(HRESULT hr, const std::u16string& text) {
  std::lock_guard lock(m_state->mutex);
  m_state->errorStrings[hr] = text;
}

void CFakeOpcServer::SetAsyncCompletion(bool on) {
  std::lock_guard lock(m_state->mutex);
  m_state->asyncCompletion = on;
}

void CFakeOpcServer::SetItemValue(const std::u16string& itemId, const CFakeVariant& value,
                                  WORD quality) {
  std::lock_guard lock(m_state->mutex);
  m_state->values[itemId] = ServedValue{value, quality};
}

CFakeVariant CFakeOpcServer::ItemValue(const std::u16string& itemId) const {
  return m_state->Value(itemId).value;
}

std::vector<FakeCall> CFakeOpcServer::Calls() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->calls;
}

std::vector<FakeCall> CFakeOpcServer::CallsOf(const std::string& method) const {
  std::lock_guard lock(m_state->mutex);
  std::vector<FakeCall> out;
  for (const auto& c : m_state->calls)
    if (c.method == method) out.push_back(c);
  return out;
}

int CFakeOpcServer::CountOf(const std::string& method) const {
  std::lock_guard lock(m_state->mutex);
  return static_cast<int>(std::count_if(m_state->calls.begin(), m_state->calls.end(),
                                        [&](const FakeCall& c) { return c.method == method; }));
}

void CFakeOpcServer::ClearCalls() {
  std::lock_guard lock(m_state->mutex);
  m_state->calls.clear();
}

std::vector<FakeGroupView> CFakeOpcServer::Groups() const {
  std::lock_guard lock(m_state->mutex);
  std::vector<FakeGroupView> out;
  for (const auto& g : m_state->groups) out.push_back(ViewOf(*g));
  return out;
}

std::optional<FakeGroupView> CFakeOpcServer::GroupByHandle(OPCHANDLE serverHandle) const {
  std::lock_guard lock(m_state->mutex);
  auto g = m_state->FindGroup(serverHandle);
  if (!g) return std::nullopt;
  return ViewOf(*g);
}

std::optional<FakeGroupView> CFakeOpcServer::GroupByName(const std::u16string& name) const {
  std::lock_guard lock(m_state->mutex);
  for (auto it = m_state->groups.rbegin(); it != m_state->groups.rend(); ++it)
    if ((*it)->name == name) return ViewOf(**it);
  return std::nullopt;
}

std::size_t CFakeOpcServer::ActiveGroupCount() const {
  std::lock_guard lock(m_state->mutex);
  return static_cast<std::size_t>(std::count_if(m_state->groups.begin(), m_state->groups.end(),
                                                [](const auto& g) { return !g->removed; }));
}

namespace {

// Calls fn on each advised sink of the group; CONNECT_E_NOCONNECTION when there is none.
HRESULT ForEachSink(State& state, OPCHANDLE serverGroup,
                    const std::function<HRESULT(IOPCDataCallback*, OPCHANDLE)>& fn) {
  auto group = state.FindGroup(serverGroup);
  if (!group) return CONNECT_E_NOCONNECTION;
  auto sinks = SinksOf(state, *group);
  if (sinks.empty()) return CONNECT_E_NOCONNECTION;
  HRESULT hr = S_OK;
  for (auto& entry : sinks) hr = fn(entry.first.get(), group->clientHandle);
  return hr;
}

}  // namespace

HRESULT CFakeOpcServer::FireDataChange(OPCHANDLE serverGroup, DWORD transid, HRESULT masterQuality,
                                       HRESULT masterError,
                                       const std::vector<FakeItemUpdate>& items) {
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return CallDataCallback(sink, CallbackKind::DataChange, transid, hGroup, masterQuality,
                            masterError, items);
  });
}

HRESULT CFakeOpcServer::FireReadComplete(OPCHANDLE serverGroup, DWORD transid,
                                         HRESULT masterQuality, HRESULT masterError,
                                         const std::vector<FakeItemUpdate>& items) {
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return CallDataCallback(sink, CallbackKind::ReadComplete, transid, hGroup, masterQuality,
                            masterError, items);
  });
}

HRESULT CFakeOpcServer::FireWriteComplete(OPCHANDLE serverGroup, DWORD transid, HRESULT masterError,
                                          const std::vector<std::pair<OPCHANDLE, HRESULT>>& items) {
  std::vector<OPCHANDLE> handles;
  std::vector<HRESULT> errors;
  for (const auto& [h, e] : items) {
    handles.push_back(h);
    errors.push_back(e);
  }
  OPCHANDLE h0 = 0;
  HRESULT e0 = 0;
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return sink->OnWriteComplete(transid, hGroup, masterError, static_cast<DWORD>(items.size()),
                                 handles.empty() ? &h0 : handles.data(),
                                 errors.empty() ? &e0 : errors.data());
  });
}

HRESULT CFakeOpcServer::FireCancelComplete(OPCHANDLE serverGroup, DWORD transid) {
  return ForEachSink(*m_state, serverGroup, [&](IOPCDataCallback* sink, OPCHANDLE hGroup) {
    return sink->OnCancelComplete(transid, hGroup);
  });
}

std::size_t CFakeOpcServer::LiveObjectCount() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->live.size();
}

long CFakeOpcServer::OutstandingReferences() const {
  std::lock_guard lock(m_state->mutex);
  long sum = 0;
  for (const auto* object : m_state->live) sum += object->RefCount();
  return sum;
}

std::size_t CFakeOpcServer::HeldSinkCount() const {
  std::lock_guard lock(m_state->mutex);
  std::size_t n = 0;
  for (const auto& g : m_state->groups) n += g->sinks.size();
  return n;
}
