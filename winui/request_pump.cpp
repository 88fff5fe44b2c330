#include "winui/request_pump.h"

#include "core/apartment_drain.h"

CRequestPump::CRequestPump(std::shared_ptr<CApartment> apartment)
    : m_apartment(std::move(apartment)), m_target(std::make_shared<WakeTarget>()) {
  m_target->threadId = GetCurrentThreadId();
  // The thread needs a message queue before another thread can post to it.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

CRequestPump::~CRequestPump() {
  if (m_installed) m_apartment->SetWaker(nullptr);
}

void CRequestPump::Install() {
  std::shared_ptr<WakeTarget> target = m_target;
  m_apartment->SetWaker([target] { WakeUp(*target); });
  m_installed = true;
}

void CRequestPump::WakeUp(const WakeTarget& target) {
  // A window that went away in the meantime refuses the post; the thread message then carries
  // the wake-up (and the pump's owner re-wakes for calls still queued when it clears the window).
  const HWND window = target.window.load();
  if (window != nullptr && PostMessageW(window, WM_REQUEST, 0, 0)) return;
  PostThreadMessageW(target.threadId, WM_REQUEST, 0, 0);
}

void CRequestPump::SetTargetWindow(HWND window) {
  m_target->window.store(window);
  // Wake-ups posted to a window that is going away are lost with its messages.
  if (window == nullptr && m_apartment->PendingCount() > 0) Wake();
}

void CRequestPump::Wake() {
  WakeUp(*m_target);
}

void CRequestPump::Drain() {
  // A call that waits on COM (the OPC server's creation, any call to it) lets the thread's
  // messages run meanwhile, WM_REQUEST among them. A drain inside a drain would start the next
  // request in the middle of the current one, whose COM call then cannot return until the
  // nested one has (and the nested one may wait on the same server): it only notes that calls
  // wait, and the outer drain runs them once the current call is done.
  if (m_draining) {
    m_drainAgain = true;
    return;
  }
  m_draining = true;
  bool ran = true;
  do {
    m_drainAgain = false;
    // A call that throws must not unwind through the window procedure (core/apartment_drain.h).
    ran = RunQueuedCalls(*m_apartment, [this] { Wake(); });
  } while (ran && m_drainAgain);
  m_draining = false;
}

bool CRequestPump::PreTranslate(const MSG& msg) {
  if (msg.hwnd != nullptr || msg.message != WM_REQUEST) return false;
  Drain();
  return true;
}
