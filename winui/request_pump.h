// The UI thread's apartment drained through the thread's Windows message queue.
//
// Calls posted to the UI apartment (platform/apartment.h: the listeners' hand-off of request
// connections, and anything else queued for the UI thread) wake the UI thread with WM_REQUEST.
// While the main window exists, WM_REQUEST goes to that window, so it also runs inside modal
// loops (message boxes, menus, dialogs), which dispatch window messages; the window's handler
// calls Drain. Before the window exists and after it is gone, WM_REQUEST is a thread message,
// which the message loop hands to PreTranslate. Drain runs the queued calls, never inside a call
// it runs: a COM call of a request dispatches messages while it waits, and a WM_REQUEST then only
// makes the running drain go on once that call is done. A call that throws
// is logged to the log file ("调用RunPending时，程序抛出了异常。错误代码：%x") and the calls after
// it run in a later turn.
//
// Error rule: nothing throws out of Drain or the waker. Thread rule: construct, Drain,
// PreTranslate and SetTargetWindow on the UI thread; the waker runs on any thread that posts.
// Ownership: shares the apartment; the waker keeps its own small state, so it stays safe after
// the pump is gone (the destructor removes it from the apartment).
#pragma once

#include <atomic>
#include <memory>

#include "platform/apartment.h"
#include "winui/win32_headers.h"

// WM_USER+1: the hand-off of requests to the UI thread.
constexpr UINT WM_REQUEST = WM_USER + 1;

class CRequestPump {
public:
  explicit CRequestPump(std::shared_ptr<CApartment> apartment);
  ~CRequestPump();
  CRequestPump(const CRequestPump&) = delete;
  CRequestPump& operator=(const CRequestPump&) = delete;

  // Makes every later post to the apartment wake this thread.
  void Install();
  // The window that receives WM_REQUEST, or null for the thread message. When the window goes
  // away with calls still queued, the thread message takes over for them.
  void SetTargetWindow(HWND window);
  // Posts one wake-up (as a post to the apartment does).
  void Wake();
  // Runs the queued calls on the UI thread.
  void Drain();
  // The message loop's hook: true when msg was the thread's WM_REQUEST (then drained).
  bool PreTranslate(const MSG& msg);

  const std::shared_ptr<CApartment>& Apartment() const { return m_apartment; }

private:
  struct WakeTarget {
    std::atomic<HWND> window{nullptr};
    DWORD threadId = 0;
  };
  static void WakeUp(const WakeTarget& target);

  std::shared_ptr<CApartment> m_apartment;
  std::shared_ptr<WakeTarget> m_target;
  bool m_installed = false;
  bool m_draining = false;    // a drain runs (further up the stack)
  bool m_drainAgain = false;  // a wake-up came meanwhile
};
