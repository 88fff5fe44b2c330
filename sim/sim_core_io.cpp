// The simulation server core: values, reads, writes and refresh.
#include "sim/sim_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/sim_core_parts.h"
#include "sim/sim_group.h"

using namespace sim_core_detail;

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
  const HRESULT hr = ConvertSimWriteValue(value, point.info.canonicalType, &converted);
  if (hr == DISP_E_OVERFLOW) return OPC_E_RANGE;
  if (FAILED(hr)) return OPC_E_BADTYPE;
  if (point.info.family == SimFamily::kControl) return WriteControlLocked(point, converted.lVal);
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

HRESULT CSimCore::WriteControlLocked(const SimPoint& point, long value) {
  // Control items keep reading 0. The crash runs once the write has been answered; a hang or a
  // delay starts with the next call.
  if (point.id == WideStringView(OLESTR("Control.Hang"))) {
    if (value < kSimHangMinSeconds || value > kSimHangMaxSeconds) return OPC_E_RANGE;
    m_hangUntil = Clock::now() + std::chrono::seconds(value);
    return S_OK;
  }
  if (point.id == WideStringView(OLESTR("Control.Delay"))) {
    if (value < 0 || value > kSimDelayMaxMilliseconds) return OPC_E_RANGE;
    m_callDelay = std::chrono::milliseconds(value);
    return S_OK;
  }
  if (value < kSimRestartMinSeconds || value > kSimRestartMaxSeconds) return OPC_E_RANGE;
  m_crashRequest = static_cast<unsigned>(value);
  return S_OK;
}

void CSimCore::SetHang(std::chrono::milliseconds duration) {
  std::lock_guard lock(m_mutex);
  m_hangUntil = Clock::now() + duration;
}

HRESULT CSimCore::ServeCall(ComCallFrame& frame) {
  Clock::time_point hangUntil;
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(m_mutex);
    hangUntil = m_hangUntil;
    delay = m_callDelay;
  }
  const auto now = Clock::now();
  if (hangUntil > now) {
    const HRESULT hr = frame.Block(std::chrono::ceil<std::chrono::milliseconds>(hangUntil - now));
    if (hr != S_OK) return hr;
  }
  return delay.count() > 0 ? frame.Block(delay) : S_OK;
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
  const HRESULT hr =
      ForEachSlot(group, count, handles, values != nullptr, errors,
                  [&](SimSlot& slot, DWORD i) { return WriteSlotLocked(slot, values[i]); });
  RunRequestedCrash();
  return hr;
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

// --- IOPCItemProperties -------------------------------------------------------------------------

void CSimCore::PeekValue(WideStringView id, const SimItemInfo& info, VARIANT* value, WORD* quality,
                         FILETIME* timestamp) {
  VariantClear(value);
  *quality = info.quality;
  std::lock_guard lock(m_mutex);
  const auto found = m_points.find(WideString(id));
  if (found != m_points.end()) {
    VariantCopy(value, &found->second->value);
    *timestamp = found->second->timestamp;
    return;
  }
  SimItemInfo own = info;
  if (own.control == SimControl::kInstance) own.number = static_cast<std::uint32_t>(m_number);
  MakeSimValue(own, SimItemSeed(id), m_tick, value);
  *timestamp = IsTicking(info.family) ? FileTimeNow() : m_startTime;
}
