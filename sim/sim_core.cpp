#include "sim/sim_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/sim_group.h"

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(100);
constexpr DWORD kFastestRate = 10;           // ms; faster requests are revised up to this
constexpr WORD kQualityOutOfService = 0x1C;  // bad, out of service: cache read of inactive items
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

FILETIME FileTimeNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100) +
      kUnixEpochAsFileTime;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A zero-filled task-allocated array of n elements (at least one byte is asked for).
template <class T>
T* TaskArray(std::size_t n) {
  T* block = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * n));
  if (block != nullptr) std::memset(static_cast<void*>(block), 0, sizeof(T) * n);
  return block;
}

LPWSTR TaskString(WideStringView text) {
  LPWSTR copy = TaskArray<WCHAR>(text.size() + 1);
  if (copy != nullptr) std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  return copy;
}

WideString Decimal(std::uint64_t n) {
  WideString digits;
  do {
    digits.insert(digits.begin(), static_cast<WideChar>(OLESTR('0') + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
}

bool IsGood(WORD quality) {
  return (quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
}
DWORD ReviseRate(DWORD requested) {
  return requested < kFastestRate ? kFastestRate : requested;
}
bool IsValidSource(OPCDATASOURCE source) {
  return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}
bool IsValidDeadband(const FLOAT* deadband) {
  return deadband == nullptr || (*deadband >= 0.0f && *deadband <= 100.0f);
}

// Owns the two task-allocated out arrays of a per-item call until they are handed out.
template <class T>
struct TaskOut {
  T* block = nullptr;
  ~TaskOut() { CoTaskMemFree(block); }
  T* Release() {
    T* p = block;
    block = nullptr;
    return p;
  }
};

}  // namespace

CSimCore& CSimCore::Instance() {
  static CSimCore* core = new CSimCore;  // one server state per process, never torn down
  return *core;
}

CSimCore::CSimCore() : m_origin(Clock::now()) {
  m_startTime = FileTimeNow();
  m_nextTick = m_origin + kTickPeriod;
}

// --- Server objects -----------------------------------------------------------------------------

std::uint64_t CSimCore::AttachServer() {
  std::lock_guard life(m_lifecycle);
  std::uint64_t owner;
  {
    std::lock_guard lock(m_mutex);
    owner = m_nextOwner++;
    m_stopping = false;
  }
  if (m_servers++ == 0) m_worker = std::thread(&CSimCore::WorkerMain, this);
  return owner;
}

void CSimCore::DetachServer(std::uint64_t ownerId) {
  std::vector<std::shared_ptr<SimGroupState>> groups;
  {
    std::lock_guard lock(m_mutex);
    for (const auto& [handle, group] : m_groups)
      if (group->ownerId == ownerId) groups.push_back(group);
  }
  for (const auto& group : groups) RemoveGroupObject(group, true);

  std::lock_guard life(m_lifecycle);
  if (m_servers == 0 || --m_servers > 0) return;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_worker.join();
  std::lock_guard lock(m_mutex);
  m_asyncQueue.clear();
}

HRESULT CSimCore::AddGroup(std::uint64_t ownerId, LPCWSTR name, BOOL active, DWORD requestedRate,
                           OPCHANDLE hClient, const LONG* timeBias, const FLOAT* deadband,
                           DWORD lcid, std::shared_ptr<SimGroupState>* group, DWORD* revisedRate) {
  if (group == nullptr || revisedRate == nullptr) return E_INVALIDARG;
  if (!IsValidDeadband(deadband)) return E_INVALIDARG;
  auto state = std::make_shared<SimGroupState>();
  std::lock_guard lock(m_mutex);
  WideString groupName = name != nullptr ? WideString(name) : WideString();
  if (!groupName.empty() && m_names.count({ownerId, groupName}) != 0) return OPC_E_DUPLICATENAME;
  while (m_nextGroupHandle == 0 || m_groups.count(m_nextGroupHandle) != 0) ++m_nextGroupHandle;
  const OPCHANDLE handle = m_nextGroupHandle++;
  if (groupName.empty()) {
    // A generated name that no group of this connection uses.
    groupName = OLESTR("Group") + Decimal(handle);
    for (std::uint64_t n = 1; m_names.count({ownerId, groupName}) != 0; ++n)
      groupName = OLESTR("Group") + Decimal(handle) + OLESTR("_") + Decimal(n);
  }
  state->hServer = handle;
  state->ownerId = ownerId;
  state->name = groupName;
  state->active = active != FALSE;
  state->updateRate = ReviseRate(requestedRate);
  state->hClient = hClient;
  state->timeBias = timeBias != nullptr ? *timeBias : 0;
  state->deadband = deadband != nullptr ? *deadband : 0.0f;
  state->lcid = lcid;
  m_groups[handle] = state;
  m_names[{ownerId, groupName}] = handle;
  if (state->active) {
    state->reportAll = true;
    ScheduleLocked(state, Clock::now());
  }
  *group = state;
  *revisedRate = state->updateRate;
  return state->updateRate != requestedRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

std::shared_ptr<SimGroupState> CSimCore::FindGroupByName(std::uint64_t ownerId, LPCWSTR name) {
  if (name == nullptr) return nullptr;
  std::lock_guard lock(m_mutex);
  const auto it = m_names.find({ownerId, WideString(name)});
  if (it == m_names.end()) return nullptr;
  return m_groups[it->second];
}

HRESULT CSimCore::RemoveGroup(std::uint64_t ownerId, OPCHANDLE hServerGroup, bool force) {
  std::shared_ptr<SimGroupState> group;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_groups.find(hServerGroup);
    if (it == m_groups.end() || it->second->ownerId != ownerId) return E_INVALIDARG;
    group = it->second;
  }
  return RemoveGroupObject(group, force);
}

HRESULT CSimCore::RemoveGroupObject(const std::shared_ptr<SimGroupState>& group, bool force) {
  // Taken before the state lock, as deliveries do: a callback running now finishes first.
  std::lock_guard delivery(group->delivery);
  IOPCDataCallback* sink = nullptr;
  HRESULT hr = S_OK;
  {
    std::lock_guard lock(m_mutex);
    if (!group->inNamespace) return E_INVALIDARG;
    group->inNamespace = false;
    m_groups.erase(group->hServer);
    m_names.erase({group->ownerId, group->name});
    if (!force && group->wrapper != nullptr) {
      group->pendingRemoval = true;
      hr = OPC_S_INUSE;
    } else {
      EndGroupLocked(*group, &sink);
    }
  }
  if (sink != nullptr) sink->Release();
  return hr;
}

void CSimCore::EndGroupLocked(SimGroupState& group, IOPCDataCallback** sink) {
  group.removed.store(true);
  group.cookie.store(0);
  for (std::uint32_t i = 0; i < group.slots.size(); ++i)
    if (group.slots[i].alive) UnsubscribeLocked(group, i);
  std::vector<SimSlot>().swap(group.slots);
  std::vector<std::uint32_t>().swap(group.dirtySlots);
  for (auto& [id, op] : group.pending) op->state = SimAsyncOp::State::kDone;
  group.pending.clear();
  *sink = group.sink;
  group.sink = nullptr;
  group.sinkApartment = ComApartmentRef();
  ++group.schedule;
}

DWORD CSimCore::GroupCount(std::uint64_t ownerId) {
  std::lock_guard lock(m_mutex);
  DWORD count = 0;
  for (const auto& [handle, group] : m_groups)
    if (group->ownerId == ownerId) ++count;
  return count;
}

void CSimCore::GetTimes(FILETIME* start, FILETIME* lastUpdate) {
  std::lock_guard lock(m_mutex);
  *start = m_startTime;
  *lastUpdate = m_lastUpdate;
}

CSimGroup* CSimCore::BindWrapper(SimGroupState& group, const std::function<CSimGroup*()>& make) {
  std::lock_guard lock(m_mutex);
  if (group.wrapper != nullptr && group.wrapper->TryAddRef()) return group.wrapper;
  group.wrapper = make();
  return group.wrapper;
}

void CSimCore::WrapperGone(SimGroupState& group, CSimGroup* wrapper) {
  std::lock_guard delivery(group.delivery);
  IOPCDataCallback* sink = nullptr;
  {
    std::lock_guard lock(m_mutex);
    if (group.wrapper != wrapper) return;
    group.wrapper = nullptr;
    if (group.pendingRemoval && !group.removed.load()) EndGroupLocked(group, &sink);
  }
  if (sink != nullptr) sink->Release();
}

// --- Points and subscriptions -------------------------------------------------------------------

SimPoint* CSimCore::PointLocked(WideStringView id, const SimItemInfo& info) {
  WideString key(id);
  auto& slot = m_points[key];
  if (!slot) {
    slot = std::make_unique<SimPoint>();
    slot->id = std::move(key);
    slot->info = info;
    slot->seed = SimItemSeed(id);
    MakeSimValue(info, slot->seed, m_tick, &slot->value);
    slot->timestamp = IsTicking(info.family) ? FileTimeNow() : m_startTime;
    if (IsTicking(info.family)) m_tickingPoints.push_back(slot.get());
  }
  return slot.get();
}

void CSimCore::SubscribeLocked(SimGroupState& group, std::uint32_t index) {
  SimSlot& slot = group.slots[index];
  slot.subscriberPos = static_cast<std::uint32_t>(slot.point->subscribers.size());
  slot.point->subscribers.push_back(SimSubscriber{&group, index});
}

void CSimCore::UnsubscribeLocked(SimGroupState& group, std::uint32_t index) {
  SimSlot& slot = group.slots[index];
  auto& subscribers = slot.point->subscribers;
  const SimSubscriber last = subscribers.back();
  subscribers[slot.subscriberPos] = last;
  last.group->slots[last.slot].subscriberPos = slot.subscriberPos;
  subscribers.pop_back();
}

void CSimCore::MarkDirtyLocked(SimGroupState& group, std::uint32_t index) {
  SimSlot& slot = group.slots[index];
  if (slot.dirty) return;
  slot.dirty = true;
  group.dirtySlots.push_back(index);
}

void CSimCore::MarkChangedLocked(SimPoint& point) {
  // Inactive groups and items need no mark: activation reports them anyway.
  for (const SimSubscriber& s : point.subscribers) {
    SimGroupState& group = *s.group;
    if (!group.active) continue;
    SimSlot& slot = group.slots[s.slot];
    if (slot.active && !slot.dirty) {
      slot.dirty = true;
      group.dirtySlots.push_back(s.slot);
    }
  }
}

SimSlot* CSimCore::SlotLocked(SimGroupState& group, OPCHANDLE handle) {
  if (handle == 0 || handle > group.slots.size()) return nullptr;
  SimSlot& slot = group.slots[handle - 1];
  return slot.alive ? &slot : nullptr;
}

void CSimCore::ScheduleLocked(const std::shared_ptr<SimGroupState>& group, Clock::time_point due) {
  ++group->schedule;
  m_schedule.push(ScheduleEntry{due, group->schedule, group});
  PokeLocked();
}

void CSimCore::PokeLocked() {
  m_poked = true;
  m_wake.notify_all();
}

// --- IOPCItemMgt --------------------------------------------------------------------------------

HRESULT CSimCore::AddItems(const std::shared_ptr<SimGroupState>& groupPtr, DWORD count,
                           const OPCITEMDEF* items, bool add, OPCITEMRESULT** results,
                           HRESULT** errors) {
  if (results == nullptr || errors == nullptr) return E_INVALIDARG;
  *results = nullptr;
  *errors = nullptr;
  if (count == 0 || items == nullptr) return E_INVALIDARG;
  TaskOut<OPCITEMRESULT> res{TaskArray<OPCITEMRESULT>(count)};
  TaskOut<HRESULT> err{TaskArray<HRESULT>(count)};
  if (res.block == nullptr || err.block == nullptr) return E_OUTOFMEMORY;
  SimGroupState& group = *groupPtr;
  bool anyFailed = false;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    for (DWORD i = 0; i < count; ++i) {
      const OPCITEMDEF& def = items[i];
      const WideStringView id = def.szItemID != nullptr ? def.szItemID : OLESTR("");
      SimItemInfo info;
      HRESULT hr = ParseSimItemId(id, &info);
      if (SUCCEEDED(hr) && !IsSupportedRequestedType(info.canonicalType, def.vtRequestedDataType))
        hr = OPC_E_BADTYPE;
      if (FAILED(hr)) {
        err.block[i] = hr;
        anyFailed = true;
        continue;
      }
      res.block[i].vtCanonicalDataType = info.canonicalType;
      res.block[i].dwAccessRights = info.accessRights;
      if (!add) continue;
      SimSlot slot;
      slot.point = PointLocked(id, info);
      slot.hClient = def.hClient;
      slot.requestedType = def.vtRequestedDataType;
      slot.alive = true;
      slot.active = def.bActive != FALSE;
      const auto index = static_cast<std::uint32_t>(group.slots.size());
      group.slots.push_back(slot);
      SubscribeLocked(group, index);
      // New active items of an active group go out with its next report.
      if (group.active && slot.active) MarkDirtyLocked(group, index);
      res.block[i].hServer = index + 1;
    }
  }
  *results = res.Release();
  *errors = err.Release();
  return anyFailed ? S_FALSE : S_OK;
}

template <class PerSlot>
HRESULT CSimCore::ForEachSlot(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                              bool argumentsGiven, HRESULT** errors, PerSlot perSlot) {
  if (errors == nullptr) return E_INVALIDARG;
  *errors = nullptr;
  if (count == 0 || handles == nullptr || !argumentsGiven) return E_INVALIDARG;
  TaskOut<HRESULT> err{TaskArray<HRESULT>(count)};
  if (err.block == nullptr) return E_OUTOFMEMORY;
  bool anyFailed = false;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    for (DWORD i = 0; i < count; ++i) {
      SimSlot* slot = SlotLocked(group, handles[i]);
      err.block[i] = slot == nullptr ? OPC_E_INVALIDHANDLE : perSlot(*slot, i);
      anyFailed = anyFailed || FAILED(err.block[i]);
    }
  }
  *errors = err.Release();
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT CSimCore::RemoveItems(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                              HRESULT** errors) {
  return ForEachSlot(group, count, handles, true, errors, [&](SimSlot& slot, DWORD i) {
    UnsubscribeLocked(group, handles[i] - 1);
    slot.alive = false;
    slot.active = false;
    return S_OK;
  });
}

HRESULT CSimCore::SetActiveState(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                                 BOOL active, HRESULT** errors) {
  return ForEachSlot(group, count, handles, true, errors, [&](SimSlot& slot, DWORD i) {
    const bool wasActive = slot.active;
    slot.active = active != FALSE;
    // An item that becomes active is reported with the group's next update.
    if (slot.active && !wasActive && group.active) MarkDirtyLocked(group, handles[i] - 1);
    return S_OK;
  });
}

HRESULT CSimCore::SetClientHandles(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                                   const OPCHANDLE* clients, HRESULT** errors) {
  return ForEachSlot(group, count, handles, clients != nullptr, errors,
                     [&](SimSlot& slot, DWORD i) {
                       slot.hClient = clients[i];
                       return S_OK;
                     });
}

HRESULT CSimCore::SetDatatypes(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                               const VARTYPE* types, HRESULT** errors) {
  return ForEachSlot(group, count, handles, types != nullptr, errors, [&](SimSlot& slot, DWORD i) {
    if (!IsSupportedRequestedType(slot.point->info.canonicalType, types[i])) return OPC_E_BADTYPE;
    slot.requestedType = types[i];
    return S_OK;
  });
}

// --- IOPCGroupStateMgt --------------------------------------------------------------------------

HRESULT CSimCore::GetState(SimGroupState& group, DWORD* updateRate, BOOL* active, LPWSTR* name,
                           LONG* timeBias, FLOAT* deadband, DWORD* lcid, OPCHANDLE* hClient,
                           OPCHANDLE* hServer) {
  if (name != nullptr) *name = nullptr;
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  if (name != nullptr) {
    *name = TaskString(group.name);
    if (*name == nullptr) return E_OUTOFMEMORY;
  }
  if (updateRate != nullptr) *updateRate = group.updateRate;
  if (active != nullptr) *active = group.active ? TRUE : FALSE;
  if (timeBias != nullptr) *timeBias = group.timeBias;
  if (deadband != nullptr) *deadband = group.deadband;
  if (lcid != nullptr) *lcid = group.lcid;
  if (hClient != nullptr) *hClient = group.hClient;
  if (hServer != nullptr) *hServer = group.hServer;
  return S_OK;
}

HRESULT CSimCore::SetState(const std::shared_ptr<SimGroupState>& groupPtr,
                           const DWORD* requestedRate, DWORD* revisedRate, const BOOL* active,
                           const LONG* timeBias, const FLOAT* deadband, const DWORD* lcid,
                           const OPCHANDLE* hClient) {
  if (!IsValidDeadband(deadband)) return E_INVALIDARG;
  SimGroupState& group = *groupPtr;
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  HRESULT hr = S_OK;
  const auto now = Clock::now();
  if (requestedRate != nullptr) {
    const DWORD rate = ReviseRate(*requestedRate);
    if (rate != *requestedRate) hr = OPC_S_UNSUPPORTEDRATE;
    if (rate != group.updateRate) {
      group.updateRate = rate;
      if (group.active) ScheduleLocked(groupPtr, now + std::chrono::milliseconds(rate));
    }
  }
  if (revisedRate != nullptr) *revisedRate = group.updateRate;
  if (active != nullptr) {
    const bool makeActive = *active != FALSE;
    if (makeActive && !group.active) {
      // Activation: the next report, due at once, carries every active item.
      group.active = true;
      group.reportAll = true;
      ScheduleLocked(groupPtr, now);
    } else if (!makeActive && group.active) {
      group.active = false;
      ++group.schedule;
    }
  }
  if (timeBias != nullptr) group.timeBias = *timeBias;
  if (deadband != nullptr) group.deadband = *deadband;
  if (lcid != nullptr) group.lcid = *lcid;
  if (hClient != nullptr) group.hClient = *hClient;
  return hr;
}

HRESULT CSimCore::SetName(SimGroupState& group, LPCWSTR name) {
  if (name == nullptr || name[0] == OLESTR('\0')) return E_INVALIDARG;
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  const WideString newName(name);
  if (newName == group.name) return S_OK;
  if (group.inNamespace) {
    if (m_names.count({group.ownerId, newName}) != 0) return OPC_E_DUPLICATENAME;
    m_names.erase({group.ownerId, group.name});
    m_names[{group.ownerId, newName}] = group.hServer;
  }
  group.name = newName;
  return S_OK;
}

// --- Values -------------------------------------------------------------------------------------

void CSimCore::FillEntryLocked(const SimSlot& slot, bool cacheRead, bool groupActive,
                               VARIANT* value, WORD* quality, FILETIME* timestamp, HRESULT* error) {
  const SimPoint& point = *slot.point;
  *timestamp = point.timestamp;
  *quality = point.info.quality;
  *error = S_OK;
  VariantInit(value);
  const VARTYPE vt = slot.requestedType == VT_EMPTY ? point.info.canonicalType : slot.requestedType;
  const HRESULT hr = vt == point.value.vt ? VariantCopy(value, &point.value)
                                          : VariantChangeType(value, &point.value, 0, vt);
  if (FAILED(hr)) {
    // The value does not fit the requested type now: no value, bad quality, the reason.
    VariantClear(value);
    *error = hr;
    *quality = OPC_QUALITY_BAD;
  }
  if (cacheRead && (!groupActive || !slot.active)) *quality = kQualityOutOfService;
}

HRESULT CSimCore::WriteSlotLocked(SimSlot& slot, const VARIANT& value) {
  SimPoint& point = *slot.point;
  if ((point.info.accessRights & OPC_WRITEABLE) == 0) return OPC_E_BADRIGHTS;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = VariantChangeType(&converted, &value, 0, point.info.canonicalType);
  if (hr == DISP_E_OVERFLOW) return OPC_E_RANGE;
  if (FAILED(hr)) return OPC_E_BADTYPE;
  if (point.info.family == SimFamily::kControl) {
    // "Control.Restart" keeps reading 0; the crash runs once the write has been answered.
    const long seconds = converted.lVal;
    if (seconds < kSimRestartMinSeconds || seconds > kSimRestartMaxSeconds) return OPC_E_RANGE;
    m_crashRequest = static_cast<unsigned>(seconds);
    return S_OK;
  }
  point.timestamp = FileTimeNow();
  if (SameSimValue(converted, point.value)) {
    VariantClear(&converted);
    return S_OK;
  }
  VariantClear(&point.value);
  point.value = converted;
  MarkChangedLocked(point);
  return S_OK;
}

// --- IOPCSyncIO ---------------------------------------------------------------------------------

HRESULT CSimCore::Read(SimGroupState& group, OPCDATASOURCE source, DWORD count,
                       const OPCHANDLE* handles, OPCITEMSTATE** states, HRESULT** errors) {
  if (states == nullptr || errors == nullptr) return E_INVALIDARG;
  *states = nullptr;
  *errors = nullptr;
  if (count == 0 || handles == nullptr || !IsValidSource(source)) return E_INVALIDARG;
  TaskOut<OPCITEMSTATE> st{TaskArray<OPCITEMSTATE>(count)};
  TaskOut<HRESULT> err{TaskArray<HRESULT>(count)};
  if (st.block == nullptr || err.block == nullptr) return E_OUTOFMEMORY;
  bool anyFailed = false;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    for (DWORD i = 0; i < count; ++i) {
      const SimSlot* slot = SlotLocked(group, handles[i]);
      if (slot == nullptr) {
        err.block[i] = OPC_E_INVALIDHANDLE;
        anyFailed = true;
        continue;
      }
      OPCITEMSTATE& state = st.block[i];
      state.hClient = slot->hClient;
      FillEntryLocked(*slot, source == OPC_DS_CACHE, group.active, &state.vDataValue,
                      &state.wQuality, &state.ftTimeStamp, &err.block[i]);
      anyFailed = anyFailed || FAILED(err.block[i]);
    }
  }
  *states = st.Release();
  *errors = err.Release();
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT CSimCore::Write(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                        const VARIANT* values, HRESULT** errors) {
  if (errors == nullptr) return E_INVALIDARG;
  *errors = nullptr;
  if (count == 0 || handles == nullptr || values == nullptr) return E_INVALIDARG;
  TaskOut<HRESULT> err{TaskArray<HRESULT>(count)};
  if (err.block == nullptr) return E_OUTOFMEMORY;
  bool anyFailed = false;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    for (DWORD i = 0; i < count; ++i) {
      SimSlot* slot = SlotLocked(group, handles[i]);
      err.block[i] = slot == nullptr ? OPC_E_INVALIDHANDLE : WriteSlotLocked(*slot, values[i]);
      anyFailed = anyFailed || FAILED(err.block[i]);
    }
  }
  *errors = err.Release();
  RunRequestedCrash();
  return anyFailed ? S_FALSE : S_OK;
}

// --- IOPCAsyncIO2 -------------------------------------------------------------------------------

HRESULT CSimCore::ReadAsync(const std::shared_ptr<SimGroupState>& groupPtr, DWORD count,
                            const OPCHANDLE* handles, DWORD transactionId, DWORD* cancelId,
                            HRESULT** errors) {
  return WriteAsync(groupPtr, count, handles, nullptr, transactionId, cancelId, errors);
}

HRESULT CSimCore::WriteAsync(const std::shared_ptr<SimGroupState>& groupPtr, DWORD count,
                             const OPCHANDLE* handles, const VARIANT* values, DWORD transactionId,
                             DWORD* cancelId, HRESULT** errors) {
  // Serves ReadAsync too (values null). Handles and access rights are checked now; the values
  // are read or converted and stored when the worker runs the operation.
  if (cancelId == nullptr || errors == nullptr) return E_INVALIDARG;
  *cancelId = 0;
  *errors = nullptr;
  if (count == 0 || handles == nullptr) return E_INVALIDARG;
  TaskOut<HRESULT> err{TaskArray<HRESULT>(count)};
  if (err.block == nullptr) return E_OUTOFMEMORY;
  auto op = std::make_shared<SimAsyncOp>();
  op->kind = values != nullptr ? SimAsyncOp::Kind::kWrite : SimAsyncOp::Kind::kRead;
  op->group = groupPtr;
  op->transactionId = transactionId;
  SimGroupState& group = *groupPtr;
  bool anyFailed = false;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    if (group.sink == nullptr) return CONNECT_E_NOCONNECTION;
    for (DWORD i = 0; i < count; ++i) {
      SimSlot* slot = SlotLocked(group, handles[i]);
      if (slot == nullptr) {
        err.block[i] = OPC_E_INVALIDHANDLE;
      } else if (values != nullptr && (slot->point->info.accessRights & OPC_WRITEABLE) == 0) {
        err.block[i] = OPC_E_BADRIGHTS;
      } else {
        if (values != nullptr) {
          VARIANT copy;
          VariantInit(&copy);
          if (FAILED(VariantCopy(&copy, &values[i]))) {
            err.block[i] = OPC_E_BADTYPE;  // a value this server cannot even hold
            anyFailed = true;
            continue;
          }
          op->values.push_back(copy);
        }
        op->handles.push_back(handles[i]);
        continue;
      }
      anyFailed = true;
    }
    if (!op->handles.empty()) {
      if (m_nextCancelId == 0) ++m_nextCancelId;
      op->cancelId = m_nextCancelId++;
      group.pending[op->cancelId] = op;
      m_asyncQueue.push_back(op);
      PokeLocked();
      *cancelId = op->cancelId;
    }
  }
  *errors = err.Release();
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT CSimCore::Refresh(const std::shared_ptr<SimGroupState>& groupPtr, OPCDATASOURCE source,
                          DWORD transactionId, DWORD* cancelId) {
  if (cancelId == nullptr) return E_INVALIDARG;
  *cancelId = 0;
  if (!IsValidSource(source)) return E_INVALIDARG;
  SimGroupState& group = *groupPtr;
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  if (!group.active) return E_FAIL;
  const bool anyActive = std::any_of(group.slots.begin(), group.slots.end(),
                                     [](const SimSlot& s) { return s.alive && s.active; });
  if (!anyActive) return E_FAIL;
  if (group.sink == nullptr) return CONNECT_E_NOCONNECTION;
  auto op = std::make_shared<SimAsyncOp>();
  op->kind = SimAsyncOp::Kind::kRefresh;
  op->group = groupPtr;
  op->transactionId = transactionId;
  if (m_nextCancelId == 0) ++m_nextCancelId;
  op->cancelId = m_nextCancelId++;
  group.pending[op->cancelId] = op;
  m_asyncQueue.push_back(op);
  PokeLocked();
  *cancelId = op->cancelId;
  return S_OK;
}

HRESULT CSimCore::Cancel(SimGroupState& group, DWORD cancelId) {
  std::unique_ptr<SimCallback> callback;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    const auto it = group.pending.find(cancelId);
    if (it == group.pending.end()) return E_FAIL;
    const std::shared_ptr<SimAsyncOp> op = it->second;
    // A write whose values are stored is done; only its report is still on the way.
    if (op->kind == SimAsyncOp::Kind::kWrite && op->state != SimAsyncOp::State::kQueued)
      return E_FAIL;
    op->state = SimAsyncOp::State::kDone;
    group.pending.erase(it);
    if (group.sink != nullptr)
      callback =
          NewCallbackLocked(op->group, SimCallback::Kind::kCancelComplete, op->transactionId);
  }
  if (callback) Post(std::move(callback));
  return S_OK;
}

HRESULT CSimCore::SetEnable(SimGroupState& group, BOOL enable) {
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  if (group.sink == nullptr) return CONNECT_E_NOCONNECTION;
  group.enabled = enable != FALSE;
  return S_OK;
}

HRESULT CSimCore::GetEnable(SimGroupState& group, BOOL* enable) {
  if (enable == nullptr) return E_INVALIDARG;
  std::lock_guard lock(m_mutex);
  if (group.removed.load()) return group.goneCode.load();
  if (group.sink == nullptr) return CONNECT_E_NOCONNECTION;
  *enable = group.enabled ? TRUE : FALSE;
  return S_OK;
}

// --- Connection point ---------------------------------------------------------------------------

HRESULT CSimCore::Advise(SimGroupState& group, IUnknown* unknown, DWORD* cookie) {
  if (unknown == nullptr || cookie == nullptr) return E_POINTER;
  *cookie = 0;
  // Callbacks go to the apartment of the advising thread, so it must have one.
  const ComApartmentRef apartment = ComApartmentRef::Current();
  if (!apartment.IsValid()) return CO_E_NOTINITIALIZED;
  IOPCDataCallback* sink = nullptr;
  if (FAILED(unknown->QueryInterface(IID_IOPCDataCallback, reinterpret_cast<void**>(&sink))) ||
      sink == nullptr)
    return CONNECT_E_CANNOTCONNECT;
  HRESULT hr = S_OK;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) {
      hr = group.goneCode.load();
    } else if (group.sink != nullptr) {
      hr = CONNECT_E_ADVISELIMIT;
    } else {
      if (m_nextCookie == 0) ++m_nextCookie;
      group.sink = sink;
      group.sinkApartment = apartment;
      group.cookie.store(m_nextCookie++);
      *cookie = group.cookie.load();
      sink = nullptr;  // the group holds the reference now
    }
  }
  if (sink != nullptr) sink->Release();
  return hr;
}

HRESULT CSimCore::Unadvise(SimGroupState& group, DWORD cookie) {
  std::lock_guard delivery(group.delivery);
  IOPCDataCallback* sink = nullptr;
  {
    std::lock_guard lock(m_mutex);
    if (group.removed.load()) return group.goneCode.load();
    if (cookie == 0 || group.cookie.load() != cookie) return CONNECT_E_NOCONNECTION;
    sink = group.sink;
    group.sink = nullptr;
    group.sinkApartment = ComApartmentRef();
    group.cookie.store(0);
    // Completions still on their way have no sink to reach any more.
    for (auto& [id, op] : group.pending) op->state = SimAsyncOp::State::kDone;
    group.pending.clear();
  }
  sink->Release();
  return S_OK;
}

// --- Callbacks ----------------------------------------------------------------------------------

std::unique_ptr<SimCallback> CSimCore::NewCallbackLocked(
    const std::shared_ptr<SimGroupState>& group, SimCallback::Kind kind, DWORD transactionId) {
  auto callback = std::make_unique<SimCallback>();
  callback->kind = kind;
  callback->group = group;
  callback->sink = group->sink;
  callback->sink->AddRef();
  callback->apartment = group->sinkApartment;
  callback->cookie = group->cookie.load();
  callback->transactionId = transactionId;
  callback->hClientGroup = group->hClient;
  return callback;
}

std::unique_ptr<SimCallback> CSimCore::BuildReportLocked(
    const std::shared_ptr<SimGroupState>& groupPtr, SimCallback::Kind kind, DWORD transactionId,
    const std::vector<std::uint32_t>& order) {
  SimGroupState& group = *groupPtr;
  auto callback = NewCallbackLocked(groupPtr, kind, transactionId);
  const std::size_t n = order.size();
  callback->clientHandles.resize(n);
  callback->values.resize(n);
  callback->qualities.resize(n);
  callback->timestamps.resize(n);
  callback->errors.resize(n);
  bool anyBad = false;
  bool anyError = false;
  for (std::size_t i = 0; i < n; ++i) {
    const SimSlot& slot = group.slots[order[i]];
    callback->clientHandles[i] = slot.hClient;
    FillEntryLocked(slot, false, group.active, &callback->values[i], &callback->qualities[i],
                    &callback->timestamps[i], &callback->errors[i]);
    anyBad = anyBad || !IsGood(callback->qualities[i]);
    anyError = anyError || callback->errors[i] != S_OK;
  }
  callback->masterQuality = anyBad ? S_FALSE : S_OK;
  callback->masterError = anyError ? S_FALSE : S_OK;
  return callback;
}

std::unique_ptr<SimCallback> CSimCore::BuildSubscriptionLocked(
    const std::shared_ptr<SimGroupState>& groupPtr) {
  SimGroupState& group = *groupPtr;
  if (group.sink == nullptr || !group.enabled) return nullptr;  // changes wait for a sink
  std::vector<std::uint32_t>& order = m_order;
  order.clear();
  const auto take = [&](std::uint32_t i) {
    SimSlot& slot = group.slots[i];
    slot.dirty = false;
    if (slot.alive && slot.active) order.push_back(i);
  };
  if (group.reportAll) {
    for (std::uint32_t i = 0; i < group.slots.size(); ++i) take(i);
    group.reportAll = false;
  } else if (group.dirtySlots.size() * 8 >= group.slots.size()) {
    // Many changes: one pass in item order is cheaper than sorting them.
    for (std::uint32_t i = 0; i < group.slots.size(); ++i)
      if (group.slots[i].dirty) take(i);
  } else {
    std::sort(group.dirtySlots.begin(), group.dirtySlots.end());
    for (std::uint32_t i : group.dirtySlots) take(i);
  }
  group.dirtySlots.clear();
  if (order.empty()) return nullptr;
  auto callback = BuildReportLocked(groupPtr, SimCallback::Kind::kDataChange, 0, order);
  callback->subscription = true;
  return callback;
}

std::unique_ptr<SimCallback> CSimCore::RunOpLocked(const std::shared_ptr<SimAsyncOp>& op) {
  if (op->state != SimAsyncOp::State::kQueued) return nullptr;  // cancelled or group ended
  SimGroupState& group = *op->group;
  if (group.removed.load() || group.sink == nullptr) {
    op->state = SimAsyncOp::State::kDone;
    group.pending.erase(op->cancelId);
    return nullptr;
  }
  std::unique_ptr<SimCallback> callback;
  std::vector<std::uint32_t>& order = m_order;
  order.clear();
  switch (op->kind) {
    case SimAsyncOp::Kind::kRead:
      // Items removed since the call are left out.
      for (OPCHANDLE h : op->handles)
        if (SlotLocked(group, h) != nullptr) order.push_back(h - 1);
      callback =
          BuildReportLocked(op->group, SimCallback::Kind::kReadComplete, op->transactionId, order);
      break;
    case SimAsyncOp::Kind::kRefresh:
      for (std::uint32_t i = 0; i < group.slots.size(); ++i)
        if (group.slots[i].alive && group.slots[i].active) order.push_back(i);
      callback =
          BuildReportLocked(op->group, SimCallback::Kind::kDataChange, op->transactionId, order);
      break;
    case SimAsyncOp::Kind::kWrite: {
      callback = NewCallbackLocked(op->group, SimCallback::Kind::kWriteComplete, op->transactionId);
      bool anyError = false;
      for (std::size_t i = 0; i < op->handles.size(); ++i) {
        SimSlot* slot = SlotLocked(group, op->handles[i]);
        if (slot == nullptr) continue;
        const HRESULT hr = WriteSlotLocked(*slot, op->values[i]);
        callback->clientHandles.push_back(slot->hClient);
        callback->errors.push_back(hr);
        anyError = anyError || hr != S_OK;
      }
      callback->masterError = anyError ? S_FALSE : S_OK;
      break;
    }
  }
  op->state = SimAsyncOp::State::kPosted;
  callback->op = op;
  return callback;
}

void CSimCore::Post(std::unique_ptr<SimCallback> callback) {
  const ComApartmentRef apartment = callback->apartment;
  // Whoever drops the callback last, delivered or not, settles its operation.
  std::shared_ptr<SimCallback> shared(callback.release(), [this](SimCallback* c) { Discard(c); });
  apartment.Post([this, shared] { Deliver(*shared); });
}

void CSimCore::Discard(SimCallback* callback) {
  if (callback->op) {
    std::lock_guard lock(m_mutex);
    if (callback->op->state == SimAsyncOp::State::kPosted) {
      callback->op->state = SimAsyncOp::State::kDone;
      callback->group->pending.erase(callback->op->cancelId);
    }
  }
  delete callback;
}

void CSimCore::Deliver(SimCallback& callback) {
  SimGroupState& group = *callback.group;
  std::lock_guard delivery(group.delivery);
  if (group.removed.load() || group.cookie.load() != callback.cookie) return;
  if (callback.op) {
    std::lock_guard lock(m_mutex);
    if (callback.op->state != SimAsyncOp::State::kPosted) return;  // cancelled meanwhile
    callback.op->state = SimAsyncOp::State::kDone;
    group.pending.erase(callback.op->cancelId);
  } else if (callback.subscription) {
    std::lock_guard lock(m_mutex);
    if (!group.active || !group.enabled) return;  // deactivated while on the way
  }
  const DWORD n = static_cast<DWORD>(callback.clientHandles.size());
  IOPCDataCallback* sink = callback.sink;
  switch (callback.kind) {
    case SimCallback::Kind::kDataChange:
      sink->OnDataChange(callback.transactionId, callback.hClientGroup, callback.masterQuality,
                         callback.masterError, n, callback.clientHandles.data(),
                         callback.values.data(), callback.qualities.data(),
                         callback.timestamps.data(), callback.errors.data());
      break;
    case SimCallback::Kind::kReadComplete:
      sink->OnReadComplete(callback.transactionId, callback.hClientGroup, callback.masterQuality,
                           callback.masterError, n, callback.clientHandles.data(),
                           callback.values.data(), callback.qualities.data(),
                           callback.timestamps.data(), callback.errors.data());
      break;
    case SimCallback::Kind::kWriteComplete:
      sink->OnWriteComplete(callback.transactionId, callback.hClientGroup, callback.masterError, n,
                            callback.clientHandles.data(), callback.errors.data());
      break;
    case SimCallback::Kind::kCancelComplete:
      sink->OnCancelComplete(callback.transactionId, callback.hClientGroup);
      break;
  }
}

// --- Worker -------------------------------------------------------------------------------------

// --- Simulated crash ----------------------------------------------------------------------------

bool CSimCore::IsOwnerDead(std::uint64_t ownerId) {
  std::lock_guard lock(m_mutex);
  return ownerId < m_firstLiveOwner;
}

bool CSimCore::AcceptCreation() {
  std::lock_guard lock(m_mutex);
  if (Clock::now() < m_downUntil) return false;
  if (m_freshStartPending) {
    m_freshStartPending = false;
    for (auto& [id, point] : m_points)
      if (point->info.family == SimFamily::kMemory)
        MakeSimValue(point->info, point->seed, m_tick, &point->value);
  }
  return true;
}

void CSimCore::SetCrashHook(void (*hook)(unsigned seconds)) {
  std::lock_guard lock(m_mutex);
  m_crashHook = hook;
}

void CSimCore::RunRequestedCrash() {
  std::vector<std::shared_ptr<SimGroupState>> groups;
  unsigned seconds = 0;
  void (*hook)(unsigned) = nullptr;
  {
    std::lock_guard lock(m_mutex);
    seconds = std::exchange(m_crashRequest, 0u);
    if (seconds == 0) return;
    hook = m_crashHook;
    if (hook == nullptr) {
      m_firstLiveOwner = m_nextOwner;
      m_downUntil = Clock::now() + std::chrono::seconds(seconds);
      m_freshStartPending = true;
      for (const auto& [handle, group] : m_groups) {
        group->goneCode.store(kSimCrashedCode);
        groups.push_back(group);
      }
    }
  }
  if (hook != nullptr) {
    hook(seconds);
    return;
  }
  // A crashed process sends nothing more: every group ends, queued callbacks are dropped.
  for (const auto& group : groups) RemoveGroupObject(group, true);
}

void CSimCore::SetHeld(bool held) {
  std::lock_guard lock(m_mutex);
  m_held = held;
  PokeLocked();
}

bool CSimCore::IsWorkerRunning() {
  std::lock_guard life(m_lifecycle);
  return m_servers > 0;
}

void CSimCore::TickLocked(Clock::time_point now) {
  const auto tick = static_cast<std::uint64_t>((now - m_origin) / kTickPeriod);
  m_nextTick = m_origin + kTickPeriod * (tick + 1);
  if (tick == m_tick) return;
  m_tick = tick;
  const FILETIME stamp = FileTimeNow();
  VARIANT fresh;
  VariantInit(&fresh);
  for (SimPoint* point : m_tickingPoints) {
    MakeSimValue(point->info, point->seed, tick, &fresh);
    if (!SameSimValue(fresh, point->value)) {
      std::swap(fresh, point->value);
      point->timestamp = stamp;
      MarkChangedLocked(*point);
    }
    VariantClear(&fresh);
  }
}

void CSimCore::WorkerMain() {
  std::vector<std::unique_ptr<SimCallback>> outgoing;
  std::unique_lock lock(m_mutex);
  // Posting happens outside the lock: an apartment's waker may take locks of its own.
  const auto flush = [&] {
    lock.unlock();
    for (auto& callback : outgoing) Post(std::move(callback));
    outgoing.clear();
    lock.lock();
  };
  while (!m_stopping) {
    if (m_held) {
      m_wake.wait(lock, [this] { return m_stopping || !m_held; });
      continue;
    }
    const auto now = Clock::now();
    if (now >= m_nextTick) TickLocked(now);
    while (!m_asyncQueue.empty()) {
      const std::shared_ptr<SimAsyncOp> op = std::move(m_asyncQueue.front());
      m_asyncQueue.pop_front();
      if (auto callback = RunOpLocked(op)) outgoing.push_back(std::move(callback));
    }
    if (!outgoing.empty()) {
      flush();
      if (m_crashRequest != 0) {  // an asynchronous write to "Control.Restart"
        lock.unlock();
        RunRequestedCrash();
        lock.lock();
      }
      continue;
    }
    // One due group at a time, so the lock is let go between groups.
    if (!m_schedule.empty() && m_schedule.top().due <= now) {
      const ScheduleEntry entry = m_schedule.top();
      m_schedule.pop();
      const std::shared_ptr<SimGroupState> group = entry.group.lock();
      if (group && !group->removed.load() && group->active && entry.schedule == group->schedule) {
        const auto period = std::chrono::milliseconds(group->updateRate);
        auto next = entry.due + period;
        if (next <= now) next = now + period;  // fell behind: skip the missed periods
        m_schedule.push(ScheduleEntry{next, entry.schedule, entry.group});
        if (auto callback = BuildSubscriptionLocked(group)) {
          m_lastUpdate = FileTimeNow();
          outgoing.push_back(std::move(callback));
          flush();
        }
      }
      continue;
    }
    auto wake = m_nextTick;
    if (!m_schedule.empty()) wake = std::min(wake, m_schedule.top().due);
    m_wake.wait_until(lock, wake, [this] { return m_stopping || m_poked; });
    m_poked = false;
  }
}
