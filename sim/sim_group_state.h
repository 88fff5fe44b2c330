// The simulator's server-side records: items' data points, a group's state and items, queued
// asynchronous operations and the callbacks on their way to a sink.
//
// Error rule: plain data, no failures. Thread rule: every field not marked otherwise is guarded
// by the core's mutex (CSimCore); `removed`, `cookie` and `delivery` are what the delivering
// thread checks without it. Ownership: the core owns points for the life of the process; groups
// are shared by the core, their COM wrapper, queued operations and callbacks in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "opc/opcda.h"
#include "sim/sim_delivery_lock.h"
#include "sim/sim_item_catalog.h"

class CSimCore;
class CSimGroup;
struct SimGroupState;

// One group item that follows a data point.
struct SimSubscriber {
  SimGroupState* group;
  std::uint32_t slot;
};

// The value of one item ID, shared by every group item that names it.
struct SimPoint {
  WideString id;
  SimItemInfo info;
  std::uint64_t seed = 0;
  VARIANT value;
  FILETIME timestamp{};
  std::vector<SimSubscriber> subscribers;  // active items of active groups and the rest

  SimPoint() { VariantInit(&value); }
  ~SimPoint() { VariantClear(&value); }
  SimPoint(const SimPoint&) = delete;
  SimPoint& operator=(const SimPoint&) = delete;
};

// One item of a group; its server handle is its index + 1. Removed items stay as dead slots so
// that handles are never reused within the group.
struct SimSlot {
  SimPoint* point = nullptr;
  OPCHANDLE hClient = 0;
  VARTYPE requestedType = VT_EMPTY;
  bool alive = false;
  bool active = false;
  bool dirty = false;  // changed since the last report to the group
  std::uint32_t subscriberPos = 0;
};

// A queued asynchronous read, write or refresh, known by its cancel id until it completes.
struct SimAsyncOp {
  enum class Kind { kRead, kWrite, kRefresh };
  enum class State { kQueued, kPosted, kDone };

  Kind kind = Kind::kRead;
  State state = State::kQueued;
  std::shared_ptr<SimGroupState> group;
  DWORD transactionId = 0;
  DWORD cancelId = 0;
  std::vector<OPCHANDLE> handles;  // server item handles
  std::vector<VARIANT> values;     // values to write, owned

  SimAsyncOp() = default;
  SimAsyncOp(const SimAsyncOp&) = delete;
  SimAsyncOp& operator=(const SimAsyncOp&) = delete;
  ~SimAsyncOp() {
    for (auto& v : values) VariantClear(&v);
  }
};

// What every call on a crashed server's objects answers: RPC_S_SERVER_UNAVAILABLE.
inline constexpr HRESULT kSimCrashedCode = static_cast<HRESULT>(0x800706BAu);

struct SimGroupState {
  // Fixed at creation.
  OPCHANDLE hServer = 0;
  std::uint64_t ownerId = 0;
  CSimCore* core = nullptr;  // the server state the group belongs to

  // Read by the delivering thread without the core lock.
  std::atomic<bool> removed{false};
  // What calls on the group answer once it is removed: RPC_E_DISCONNECTED, or the code of a
  // server process that is gone after a simulated crash.
  std::atomic<HRESULT> goneCode{RPC_E_DISCONNECTED};
  std::atomic<DWORD> cookie{0};
  // Held while a callback of the group runs, and by removal and Unadvise, so that no callback
  // runs after they return. Recursive per logical thread: a sink may remove its group from
  // inside a callback, also from another process.
  SimDeliveryLock delivery;

  WideString name;
  bool inNamespace = true;      // reachable by handle and name
  bool pendingRemoval = false;  // removed without force while referenced: ends with its wrapper
  bool active = false;
  bool enabled = true;
  DWORD updateRate = 0;
  OPCHANDLE hClient = 0;
  LONG timeBias = 0;
  FLOAT deadband = 0;
  DWORD lcid = 0;

  std::vector<SimSlot> slots;
  std::vector<std::uint32_t> dirtySlots;  // indices of slots with dirty set
  bool reportAll = false;                 // the next report carries every active item
  std::uint64_t schedule = 0;             // the generation of the group's update schedule

  IOPCDataCallback* sink = nullptr;  // one reference while connected
  ComApartmentRef sinkApartment;
  std::unordered_map<DWORD, std::shared_ptr<SimAsyncOp>> pending;  // by cancel id
  CSimGroup* wrapper = nullptr;  // the group's COM object while one exists (not counted)
};

// One callback on its way to a sink; the arrays belong to the callback, the sink only reads them.
struct SimCallback {
  enum class Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete };

  Kind kind = Kind::kDataChange;
  std::shared_ptr<SimGroupState> group;
  IOPCDataCallback* sink = nullptr;  // one reference, released by the destructor
  ComApartmentRef apartment;
  DWORD cookie = 0;                // the connection it was made for
  std::shared_ptr<SimAsyncOp> op;  // the operation it completes, if any
  bool subscription = false;       // an update report: dropped if the group went inactive
  DWORD transactionId = 0;
  OPCHANDLE hClientGroup = 0;
  HRESULT masterQuality = S_OK;
  HRESULT masterError = S_OK;
  std::vector<OPCHANDLE> clientHandles;
  std::vector<VARIANT> values;
  std::vector<WORD> qualities;
  std::vector<FILETIME> timestamps;
  std::vector<HRESULT> errors;

  SimCallback() = default;
  SimCallback(const SimCallback&) = delete;
  SimCallback& operator=(const SimCallback&) = delete;
  ~SimCallback() {
    for (auto& v : values) VariantClear(&v);
    if (sink != nullptr) sink->Release();
  }
};
