// The COM subset's creation: on a thread of its own, so that a creation that hangs holds the UI
// thread for the deadline once. It goes on after the deadline; the next try waits for that same
// creation at most 1 s and takes its result. The UI thread's calls on the server's objects are
// covered by the watchdog by itself.
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "opc/deadline_objects.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a later try waits for a creation that already passed its deadline.
constexpr std::chrono::milliseconds kPendingCreationWait{1000};
// How often the end of a pending creation asks it again to stop.
constexpr std::chrono::milliseconds kCancelInterval{20};

struct CCreation {
  CLSID clsid{};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  DWORD creator = 0;  // the creating thread's COM id, once it runs
  Clock::time_point started = Clock::now();
  HRESULT hr = E_FAIL;
  IOPCServer* server = nullptr;
  std::exception_ptr failure;  // what the creation threw, thrown again to the caller
  std::thread thread;

  // Joined by whoever takes the result or ends the creation; one left at the process's end (its
  // last owner the thread itself, or the ending thread's pending creation) is let go.
  ~CCreation() {
    if (thread.joinable()) thread.detach();
  }

  void Run() {
    CoInitialize(nullptr);
    CoEnableCallCancellation(nullptr);
    {
      std::lock_guard lock(mutex);
      creator = ComCurrentThreadId();
    }
    IOPCServer* created = nullptr;
    HRESULT result = E_FAIL;
    std::exception_ptr thrown;
    try {
      result = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&created));
    } catch (...) {
      thrown = std::current_exception();
    }
    CoDisableCallCancellation(nullptr);
    CoUninitialize();
    std::lock_guard lock(mutex);
    hr = result;
    server = created;
    failure = thrown;
    done = true;
    finished.notify_all();
  }

  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return finished.wait_for(lock, timeout, [this] { return done; });
  }
};

// The UI thread's creation that passed its deadline, if any.
thread_local std::shared_ptr<CCreation> t_pendingCreation;

}  // namespace

HRESULT CreateServerUnderDeadline(const CLSID& clsid, CCallDeadline& deadline, IOPCServer** server,
                                  std::optional<std::chrono::milliseconds> waitLimit,
                                  const WideString& /*host: refused at start without DCOM*/) {
  *server = nullptr;
  const auto timeout = deadline.Timeout();
  if (timeout.count() <= 0)
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(server));
  const auto start = Clock::now();
  if (t_pendingCreation && !IsEqualGUID(t_pendingCreation->clsid, clsid)) EndPendingCreation();
  std::shared_ptr<CCreation> creation = std::exchange(t_pendingCreation, nullptr);
  bool finished = false;
  const auto limited = [&](std::chrono::milliseconds wait) {
    return waitLimit ? std::min(wait, *waitLimit) : wait;
  };
  if (creation) {
    finished = creation->WaitFor(limited(std::min(timeout, kPendingCreationWait)));
  } else {
    creation = std::make_shared<CCreation>();
    creation->clsid = clsid;
    creation->thread = std::thread([creation] { creation->Run(); });
    // Started without waiting: the result is the next try's, whenever the creation is done.
    finished = limited(timeout).count() > 0 && creation->WaitFor(limited(timeout));
  }
  if (!finished) {
    t_pendingCreation = creation;
    if (!waitLimit) {
      deadline.NoteCancelled("CoCreateInstance", start);
      return RPC_E_CALL_CANCELED;
    }
    if (Clock::now() - creation->started < timeout) return kCreationPending;
    deadline.NoteCancelled("CoCreateInstance", creation->started);
    return RPC_E_CALL_CANCELED;
  }
  creation->thread.join();
  if (creation->failure) std::rethrow_exception(creation->failure);
  *server = creation->server;
  return creation->hr;
}

void SettleServerReleases(CCallDeadline& /*deadline*/) {}

void EndPendingCreation() {
  const std::shared_ptr<CCreation> creation = std::exchange(t_pendingCreation, nullptr);
  if (!creation) return;
  // A proxy's pending call ends when cancelled; the creation is asked until it has ended (it may
  // not have reached the server yet when first asked).
  for (;;) {
    DWORD creator = 0;
    {
      std::lock_guard lock(creation->mutex);
      if (creation->done) break;
      creator = creation->creator;
    }
    if (creator != 0) CoCancelCall(creator, 0);
    creation->WaitFor(kCancelInterval);
  }
  creation->thread.join();
  if (creation->server != nullptr) creation->server->Release();
}
