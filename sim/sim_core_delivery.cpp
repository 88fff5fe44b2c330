// The simulation server core: callback connections, the callbacks, the simulated crash and the
// worker thread.
#include "sim/sim_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/sim_core_parts.h"
#include "sim/sim_group.h"

using namespace sim_core_detail;

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

// --- Worker -------------------------------------------------------------------------------------

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
