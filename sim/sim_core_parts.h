// What the parts of the simulation server's core share among their source files: the constants
// of its timing, the task-memory helpers of its out arrays and the per-handle loop of the item
// calls. Internal to sim/: nothing outside the core's own files includes it.
//
// Error rule, thread rule and ownership as in sim_core.h; the helpers cannot fail except by
// returning null when task memory runs out.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>

#include "sim/sim_core.h"

namespace sim_core_detail {

inline constexpr auto kTickPeriod = std::chrono::milliseconds(100);
inline constexpr DWORD kFastestRate = 10;  // ms; faster requests are revised up to this
// Bad, out of service: the quality of a cache read of an inactive item.
inline constexpr WORD kQualityOutOfService = 0x1C;
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

inline FILETIME FileTimeNow() {
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

inline LPWSTR TaskString(WideStringView text) {
  LPWSTR copy = TaskArray<WCHAR>(text.size() + 1);
  if (copy != nullptr) std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  return copy;
}

inline WideString Decimal(std::uint64_t n) {
  WideString digits;
  do {
    digits.insert(digits.begin(), static_cast<WideChar>(OLESTR('0') + n % 10));
    n /= 10;
  } while (n != 0);
  return digits;
}

inline bool IsGood(WORD quality) {
  return (quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
}
inline DWORD ReviseRate(DWORD requested) {
  return requested < kFastestRate ? kFastestRate : requested;
}
inline bool IsValidSource(OPCDATASOURCE source) {
  return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}
inline bool IsValidDeadband(const FLOAT* deadband) {
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

}  // namespace sim_core_detail

template <class PerSlot>
HRESULT CSimCore::ForEachSlot(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                              bool argumentsGiven, HRESULT** errors, PerSlot perSlot) {
  if (errors == nullptr) return E_INVALIDARG;
  *errors = nullptr;
  if (count == 0 || handles == nullptr || !argumentsGiven) return E_INVALIDARG;
  sim_core_detail::TaskOut<HRESULT> err{sim_core_detail::TaskArray<HRESULT>(count)};
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
