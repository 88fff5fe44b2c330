// Turns the requests to terminate the process into a call on a thread of their own, so that the
// application can run its normal shutdown on the UI thread instead of dying.
//
// On Linux: the signals SIGTERM and SIGINT. Start blocks them in the calling thread, which every
// thread created afterwards inherits; call it first thing in main, before any other thread
// exists. The signals stay blocked after Stop, so a second signal during shutdown cannot cut the
// shutdown short. The handler runs on the hook's own thread.
// On Windows: the console's control events. Ctrl+C arrives as kInterrupt; Ctrl+Break, the close
// of the console window, logoff and system shutdown as kTerminate. The handler runs on the thread
// that the system starts for the event. After the last three the system ends the process when
// the event's call returns, so that call returns only when the process ends of itself (or the
// system's time limit for the event runs out), leaving the shutdown its time. After Stop the
// events are swallowed, as blocked signals are.
//
// Error rule: Start returns false when the hook cannot be set up (the signals or events then keep
// their default action). Thread rule: Start and Stop on one thread; the handler is called once
// per signal or event received and should only post work elsewhere; once Stop has returned it is
// called no more. Ownership: the object owns its thread and descriptors; the destructor stops it.
// One hook at a time per process.
#pragma once

#include <functional>
#include <thread>

class CSignalHook {
public:
  // Names the signals for the handler.
  static const int kTerminate;  // SIGTERM
  static const int kInterrupt;  // SIGINT
  // How an operator sends this platform's stop request from outside, for messages (UTF-8):
  // "SIGTERM或SIGINT" on Linux, "Ctrl+C或taskkill" on Windows.
  static const char kStopRequestNames[];

  CSignalHook() = default;
  ~CSignalHook();
  CSignalHook(const CSignalHook&) = delete;
  CSignalHook& operator=(const CSignalHook&) = delete;

  bool Start(std::function<void(int signal)> handler);
  // Ends the hook (and its thread) and waits until no handler call is running. Safe to call any
  // number of times.
  void Stop();

private:
#if defined(_WIN32)
  bool m_started = false;  // this object's handler is the process's current one
#else
  std::function<void(int)> m_handler;
  std::thread m_thread;
  int m_signalFd = -1;
  int m_stopFd = -1;
#endif
};
