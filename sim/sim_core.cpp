// The simulation server core: server objects, groups and their items, group state.
#include "sim/sim_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/sim_core_parts.h"
#include "sim/sim_group.h"

using namespace sim_core_detail;

CSimCore& CSimCore::Instance(int number) {
  // One state per simulated server for the life of the process, never torn down.
  static CSimCore* first = new CSimCore(1);
  if (number != 2) return *first;
  static CSimCore* second = new CSimCore(2);
  return *second;
}

CSimCore::CSimCore(int number) : m_number(number), m_origin(Clock::now()) {
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
  state->core = this;
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
    if (info.control == SimControl::kInstance)
      slot->info.number = static_cast<std::uint32_t>(m_number);
    slot->seed = SimItemSeed(id);
    MakeSimValue(slot->info, slot->seed, m_tick, &slot->value);
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
      HRESULT hr = ParseSimItemId(id, &info, m_number);
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
