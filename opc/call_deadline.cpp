#include "opc/call_deadline.h"

#include <utility>

namespace {

// How often the watchdog looks at the owning thread: the deadline is kept to within this.
constexpr std::chrono::milliseconds kWatchInterval{20};

}  // namespace

CCallDeadline::CCallDeadline(std::chrono::milliseconds timeout)
    : m_owner(ComCurrentThreadId()), m_timeout(timeout) {
  // Where the pending calls cannot be seen, nothing is watched and cancellation (which costs
  // something on every call there) stays off.
  if (timeout.count() <= 0 || !ComPendingCallsObservable()) return;
  CoEnableCallCancellation(nullptr);
  m_thread = std::thread([this] { Watch(); });
}

CCallDeadline::~CCallDeadline() {
  {
    std::lock_guard lock(m_mutex);
    m_ending = true;
  }
  m_changed.notify_all();
  if (!m_thread.joinable()) return;
  m_thread.join();
  CoDisableCallCancellation(nullptr);
}

void CCallDeadline::SetTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(m_mutex);
  m_timeout = timeout;
}

std::chrono::milliseconds CCallDeadline::Timeout() const {
  std::lock_guard lock(m_mutex);
  return m_timeout;
}

CCallDeadline::ScopedTimeout::ScopedTimeout(CCallDeadline& deadline,
                                            std::chrono::milliseconds timeout)
    : m_deadline(deadline), m_previous(deadline.Timeout()) {
  m_deadline.SetTimeout(timeout);
}

CCallDeadline::ScopedTimeout::~ScopedTimeout() {
  m_deadline.SetTimeout(m_previous);
}

std::chrono::milliseconds CCallDeadline::CallWait() const {
  std::lock_guard lock(m_mutex);
  return m_cancelAtOnce || m_cancelled ? std::chrono::milliseconds(0) : m_timeout;
}

void CCallDeadline::SetCancelAtOnce(bool atOnce) {
  std::lock_guard lock(m_mutex);
  m_cancelAtOnce = atOnce;
}

bool CCallDeadline::HasCancelled() const {
  std::lock_guard lock(m_mutex);
  return m_cancelled.has_value();
}

std::optional<CancelledCall> CCallDeadline::TakeCancelled() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_cancelled, std::nullopt);
}

void CCallDeadline::NoteCancelled(const char* method,
                                  std::chrono::steady_clock::time_point started) {
  const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  std::lock_guard lock(m_mutex);
  if (!m_cancelled) m_cancelled = CancelledCall{method, lasted};
}

void CCallDeadline::Watch() {
  std::unique_lock lock(m_mutex);
  while (!m_ending) {
    m_changed.wait_for(lock, kWatchInterval, [this] { return m_ending; });
    if (m_ending) break;
    const ComPendingCall call = ComPendingCallOf(m_owner);
    if (!call.pending || call.serial == m_lastCancelledSerial) continue;
    const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - call.started);
    const bool atOnce = m_cancelAtOnce || m_cancelled.has_value();
    if (!atOnce && lasted < m_timeout) continue;
    // Cancelled only when it is still the same call; one that ended meanwhile is left alone.
    if (ComCancelPendingCall(m_owner, call.serial) != S_OK) continue;
    m_lastCancelledSerial = call.serial;
    if (!m_cancelled) m_cancelled = CancelledCall{call.method, lasted};
  }
}
