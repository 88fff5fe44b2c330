// The simulation server's one state per process: data points, every connection's groups, the
// worker thread that ticks every 100 ms, drives update periods and completes asynchronous
// operations, and the delivery of callbacks into the apartment of the thread that advised.
//
// Error rule: the group operations return the HRESULTs of the OPC DA 2.0 methods they serve;
// out arrays come from CoTaskMemAlloc and are null on failure. A group that was removed answers
// RPC_E_DISCONNECTED.
// Thread rule: every method from any thread; one mutex guards the state and is held briefly.
// Callbacks run on the advising thread, one at a time per group, never inside the call that
// caused them; none of a group runs after its removal or Unadvise returns.
// Ownership: the core lives until the process ends; the worker runs while server objects exist.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/wide_string.h"
#include "sim/sim_group_state.h"

class CSimCore {
public:
  // The process's server states: 1 is Quarnix.Simulator's (and its flat variant's), 2 is
  // Quarnix.Simulator.2's, a server of its own (its own Memory and Control items, crash and hang).
  static CSimCore& Instance(int number = 1);
  // 1 or 2: what "Control.Instance" reads.
  int Number() const { return m_number; }

  // --- Server objects ---
  // A new connection's id; the first one starts the worker.
  std::uint64_t AttachServer();
  // Ends the connection's remaining groups; the last one stops the worker.
  void DetachServer(std::uint64_t ownerId);

  HRESULT AddGroup(std::uint64_t ownerId, LPCWSTR name, BOOL active, DWORD requestedRate,
                   OPCHANDLE hClient, const LONG* timeBias, const FLOAT* deadband, DWORD lcid,
                   std::shared_ptr<SimGroupState>* group, DWORD* revisedRate);
  std::shared_ptr<SimGroupState> FindGroupByName(std::uint64_t ownerId, LPCWSTR name);
  // Forced: the group ends at once. Otherwise, while its COM object is referenced, it leaves the
  // namespace, ends with the object's last reference, and the result is OPC_S_INUSE.
  HRESULT RemoveGroup(std::uint64_t ownerId, OPCHANDLE hServerGroup, bool force);
  DWORD GroupCount(std::uint64_t ownerId);
  void GetTimes(FILETIME* start, FILETIME* lastUpdate);

  // The group's COM object: the existing one with a new reference, or the one make() creates.
  CSimGroup* BindWrapper(SimGroupState& group, const std::function<CSimGroup*()>& make);
  void WrapperGone(SimGroupState& group, CSimGroup* wrapper);

  // --- IOPCItemMgt ---
  HRESULT AddItems(const std::shared_ptr<SimGroupState>& group, DWORD count,
                   const OPCITEMDEF* items, bool add, OPCITEMRESULT** results, HRESULT** errors);
  HRESULT RemoveItems(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                      HRESULT** errors);
  HRESULT SetActiveState(SimGroupState& group, DWORD count, const OPCHANDLE* handles, BOOL active,
                         HRESULT** errors);
  HRESULT SetClientHandles(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                           const OPCHANDLE* clients, HRESULT** errors);
  HRESULT SetDatatypes(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                       const VARTYPE* types, HRESULT** errors);

  // --- IOPCGroupStateMgt ---
  HRESULT GetState(SimGroupState& group, DWORD* updateRate, BOOL* active, LPWSTR* name,
                   LONG* timeBias, FLOAT* deadband, DWORD* lcid, OPCHANDLE* hClient,
                   OPCHANDLE* hServer);
  HRESULT SetState(const std::shared_ptr<SimGroupState>& group, const DWORD* requestedRate,
                   DWORD* revisedRate, const BOOL* active, const LONG* timeBias,
                   const FLOAT* deadband, const DWORD* lcid, const OPCHANDLE* hClient);
  HRESULT SetName(SimGroupState& group, LPCWSTR name);

  // --- IOPCSyncIO ---
  HRESULT Read(SimGroupState& group, OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles,
               OPCITEMSTATE** states, HRESULT** errors);
  HRESULT Write(SimGroupState& group, DWORD count, const OPCHANDLE* handles, const VARIANT* values,
                HRESULT** errors);

  // --- IOPCAsyncIO2 ---
  HRESULT ReadAsync(const std::shared_ptr<SimGroupState>& group, DWORD count,
                    const OPCHANDLE* handles, DWORD transactionId, DWORD* cancelId,
                    HRESULT** errors);
  HRESULT WriteAsync(const std::shared_ptr<SimGroupState>& group, DWORD count,
                     const OPCHANDLE* handles, const VARIANT* values, DWORD transactionId,
                     DWORD* cancelId, HRESULT** errors);
  HRESULT Refresh(const std::shared_ptr<SimGroupState>& group, OPCDATASOURCE source,
                  DWORD transactionId, DWORD* cancelId);
  HRESULT Cancel(SimGroupState& group, DWORD cancelId);
  HRESULT SetEnable(SimGroupState& group, BOOL enable);
  HRESULT GetEnable(SimGroupState& group, BOOL* enable);

  // --- IOPCItemProperties ---
  // The item's value, quality and timestamp now, into *value (cleared first): the stored
  // point's when a group holds the item, else the value it has at this tick. Adds nothing.
  void PeekValue(WideStringView id, const SimItemInfo& info, VARIANT* value, WORD* quality,
                 FILETIME* timestamp);

  // --- Connection point ---
  HRESULT Advise(SimGroupState& group, IUnknown* sink, DWORD* cookie);
  HRESULT Unadvise(SimGroupState& group, DWORD cookie);

  // --- Simulated crash ---
  // Whether the connection ownerId belongs to a server process that crashed: every call on its
  // objects answers kSimCrashedCode.
  bool IsOwnerDead(std::uint64_t ownerId);
  // False while a crashed server is down (creation then fails). The first creation after the
  // downtime gets a fresh server: Memory items are back to their initial values.
  bool AcceptCreation();
  // Runs the crash that a write to "Control.Restart" asked for, if any: every group ends without
  // callbacks, every existing connection is dead, and creations fail for the asked seconds. A
  // crash hook (a server program) takes over instead when one is set.
  void RunRequestedCrash();
  void SetCrashHook(void (*hook)(unsigned seconds));

  // --- Hang and delay ---
  // Serves the start of a call on its frame: blocks while a hang asked by "Control.Hang" lasts,
  // then for the delay asked by "Control.Delay". S_OK, or RPC_E_CALL_CANCELED when the caller's
  // call was cancelled meanwhile (the call then does nothing).
  HRESULT ServeCall(ComCallFrame& frame);
  // Calls block until duration from now (0: no hang for later calls).
  void SetHang(std::chrono::milliseconds duration);

  // For tests: while held, the worker neither ticks nor completes asynchronous operations.
  void SetHeld(bool held);
  // The worker runs while server objects exist.
  bool IsWorkerRunning();

private:
  // Runs perSlot(slot, i) under the lock for every handle that names an item of the group
  // (OPC_E_INVALIDHANDLE for the others) and returns the per-item results as a task-allocated
  // array: S_FALSE when any failed, RPC_E_DISCONNECTED for a removed group, E_INVALIDARG for no
  // handles, no error slot or a missing argument array (argumentsGiven false).
  template <class PerSlot>
  HRESULT ForEachSlot(SimGroupState& group, DWORD count, const OPCHANDLE* handles,
                      bool argumentsGiven, HRESULT** errors, PerSlot perSlot);

  using Clock = std::chrono::steady_clock;
  struct ScheduleEntry {
    Clock::time_point due;
    std::uint64_t schedule;
    std::weak_ptr<SimGroupState> group;
    bool operator>(const ScheduleEntry& other) const { return due > other.due; }
  };

  explicit CSimCore(int number);

  SimPoint* PointLocked(WideStringView id, const SimItemInfo& info);
  void MarkChangedLocked(SimPoint& point);
  void SubscribeLocked(SimGroupState& group, std::uint32_t slot);
  void UnsubscribeLocked(SimGroupState& group, std::uint32_t slot);
  void MarkDirtyLocked(SimGroupState& group, std::uint32_t slot);
  SimSlot* SlotLocked(SimGroupState& group, OPCHANDLE handle);
  void EndGroupLocked(SimGroupState& group, IOPCDataCallback** sink);
  HRESULT RemoveGroupObject(const std::shared_ptr<SimGroupState>& group, bool force);
  void ScheduleLocked(const std::shared_ptr<SimGroupState>& group, Clock::time_point due);
  void PokeLocked();
  HRESULT WriteSlotLocked(SimSlot& slot, const VARIANT& value);
  HRESULT WriteControlLocked(const SimPoint& point, long value);
  void FillEntryLocked(const SimSlot& slot, bool cacheRead, bool groupActive, VARIANT* value,
                       WORD* quality, FILETIME* timestamp, HRESULT* error);
  std::unique_ptr<SimCallback> NewCallbackLocked(const std::shared_ptr<SimGroupState>& group,
                                                 SimCallback::Kind kind, DWORD transactionId);
  // A value callback with the slots of order, in that order.
  std::unique_ptr<SimCallback> BuildReportLocked(const std::shared_ptr<SimGroupState>& group,
                                                 SimCallback::Kind kind, DWORD transactionId,
                                                 const std::vector<std::uint32_t>& order);
  // The group's update: changed items (or all after activation); null when nothing to send.
  std::unique_ptr<SimCallback> BuildSubscriptionLocked(const std::shared_ptr<SimGroupState>& group);
  std::unique_ptr<SimCallback> RunOpLocked(const std::shared_ptr<SimAsyncOp>& op);
  void Post(std::unique_ptr<SimCallback> callback);
  void Deliver(SimCallback& callback);
  void Discard(SimCallback* callback);

  void WorkerMain();
  void TickLocked(Clock::time_point now);

  const int m_number;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_poked = false;
  bool m_stopping = false;
  bool m_held = false;

  const Clock::time_point m_origin;
  FILETIME m_startTime{};
  FILETIME m_lastUpdate{};
  std::uint64_t m_tick = 0;
  Clock::time_point m_nextTick;

  std::unordered_map<WideString, std::unique_ptr<SimPoint>> m_points;
  std::vector<SimPoint*> m_tickingPoints;

  std::unordered_map<OPCHANDLE, std::shared_ptr<SimGroupState>> m_groups;  // by server handle
  std::map<std::pair<std::uint64_t, WideString>, OPCHANDLE> m_names;
  OPCHANDLE m_nextGroupHandle = 1;
  DWORD m_nextCancelId = 1;
  DWORD m_nextCookie = 1;
  std::uint64_t m_nextOwner = 1;

  std::vector<std::uint32_t> m_order;  // scratch list of slots for the report being built
  std::deque<std::shared_ptr<SimAsyncOp>> m_asyncQueue;
  std::priority_queue<ScheduleEntry, std::vector<ScheduleEntry>, std::greater<ScheduleEntry>>
      m_schedule;

  // Simulated crash: connections with an owner id below m_firstLiveOwner are dead.
  std::uint64_t m_firstLiveOwner = 0;
  Clock::time_point m_downUntil{};
  bool m_freshStartPending = false;
  unsigned m_crashRequest = 0;  // seconds asked by a write to "Control.Restart", 0 for none
  void (*m_crashHook)(unsigned seconds) = nullptr;
  Clock::time_point m_hangUntil{};           // calls block until then
  std::chrono::milliseconds m_callDelay{0};  // every call lags this much

  std::mutex m_lifecycle;  // serialises starting and stopping the worker
  unsigned m_servers = 0;
  std::thread m_worker;
};
