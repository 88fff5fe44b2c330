#include "winui/request_pump.h"

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"

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
  try {
    m_apartment->RunPending();
  } catch (...) {
    // A call that throws must not unwind through the window procedure: it is logged, and the
    // calls queued after it run in a later turn.
    LogToFile(StringPrintf(SystemText("调用RunPending时，程序抛出了异常。错误代码：%x").c_str(),
                           static_cast<unsigned>(SocketLastError())));
    if (m_apartment->PendingCount() > 0) Wake();
  }
}

bool CRequestPump::PreTranslate(const MSG& msg) {
  if (msg.hwnd != nullptr || msg.message != WM_REQUEST) return false;
  Drain();
  return true;
}
