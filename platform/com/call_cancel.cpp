// Call cancellation in the COM subset: each thread's pending call into a server (marked by the
// server's ComCallFrame), cancellable from another thread as CoCancelCall cancels a proxy's call.
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/com/com.h"

namespace {

struct ThreadCalls {
  std::mutex mutex;
  std::condition_variable cancelled;
  unsigned cancellationEnabled = 0;
  unsigned depth = 0;  // frames of one call (a creation may serve a QueryInterface inside)
  bool cancelRequested = false;
  ComPendingCall call;
};

struct CallTable {
  std::mutex mutex;
  std::map<DWORD, std::weak_ptr<ThreadCalls>> byThread;
};

CallTable& Table() {
  static CallTable* table = new CallTable;  // lives until the process ends
  return *table;
}

std::atomic<std::uint64_t> g_nextSerial{1};

// The calling thread's record, registered under its id for the life of the thread.
struct ThisThreadCalls {
  DWORD id;
  std::shared_ptr<ThreadCalls> calls = std::make_shared<ThreadCalls>();
  ThisThreadCalls() {
    static std::atomic<DWORD> nextId{1};
    id = nextId.fetch_add(1);
    std::lock_guard lock(Table().mutex);
    Table().byThread[id] = calls;
  }
  ~ThisThreadCalls() {
    std::lock_guard lock(Table().mutex);
    Table().byThread.erase(id);
  }
};

ThisThreadCalls& Mine() {
  thread_local ThisThreadCalls mine;
  return mine;
}

std::shared_ptr<ThreadCalls> Find(DWORD threadId) {
  std::lock_guard lock(Table().mutex);
  const auto it = Table().byThread.find(threadId);
  return it == Table().byThread.end() ? nullptr : it->second.lock();
}

HRESULT Cancel(DWORD threadId, const std::uint64_t* serial) {
  const std::shared_ptr<ThreadCalls> calls = Find(threadId);
  if (!calls) return E_INVALIDARG;
  std::lock_guard lock(calls->mutex);
  if (calls->cancellationEnabled == 0) return CO_E_CANCEL_DISABLED;
  if (!calls->call.pending || (serial != nullptr && calls->call.serial != *serial))
    return RPC_E_CALL_COMPLETE;
  calls->cancelRequested = true;
  calls->cancelled.notify_all();
  return S_OK;
}

}  // namespace

DWORD ComCurrentThreadId() {
  return Mine().id;
}

HRESULT CoEnableCallCancellation(void* /*reserved*/) {
  ThreadCalls& calls = *Mine().calls;
  std::lock_guard lock(calls.mutex);
  ++calls.cancellationEnabled;
  return S_OK;
}

HRESULT CoDisableCallCancellation(void* /*reserved*/) {
  ThreadCalls& calls = *Mine().calls;
  std::lock_guard lock(calls.mutex);
  if (calls.cancellationEnabled == 0) return CO_E_CANCEL_DISABLED;
  --calls.cancellationEnabled;
  return S_OK;
}

HRESULT CoCancelCall(DWORD threadId, ULONG /*timeout*/) {
  return Cancel(threadId, nullptr);
}

HRESULT ComCancelPendingCall(DWORD threadId, std::uint64_t serial) {
  return Cancel(threadId, &serial);
}

bool ComPendingCallsObservable() {
  return true;
}

ComPendingCall ComPendingCallOf(DWORD threadId) {
  const std::shared_ptr<ThreadCalls> calls = Find(threadId);
  if (!calls) return ComPendingCall();
  std::lock_guard lock(calls->mutex);
  return calls->call;
}

ComCallFrame::ComCallFrame(const char* method) {
  ThreadCalls& calls = *Mine().calls;
  std::lock_guard lock(calls.mutex);
  if (calls.depth++ > 0) return;
  calls.cancelRequested = false;
  calls.call.pending = true;
  calls.call.serial = g_nextSerial.fetch_add(1);
  calls.call.method = method;
  calls.call.started = std::chrono::steady_clock::now();
}

ComCallFrame::~ComCallFrame() {
  ThreadCalls& calls = *Mine().calls;
  std::lock_guard lock(calls.mutex);
  if (--calls.depth > 0) return;
  calls.call.pending = false;
  calls.cancelRequested = false;
}

HRESULT ComCallFrame::Block(std::chrono::milliseconds duration) {
  ThreadCalls& calls = *Mine().calls;
  std::unique_lock lock(calls.mutex);
  const bool cancelled =
      calls.cancelled.wait_for(lock, duration, [&calls] { return calls.cancelRequested; });
  return cancelled ? RPC_E_CALL_CANCELED : S_OK;
}
