// Turns the termination signals (SIGTERM, SIGINT) into a call on a small thread of its own, so
// that the application can run its normal shutdown on the UI thread instead of dying.
//
// Start blocks the signals in the calling thread, which every thread created afterwards
// inherits; call it first thing in main, before any other thread exists. The signals stay
// blocked after Stop, so a second signal during shutdown cannot cut the shutdown short.
//
// Error rule: Start returns false when the hook cannot be set up (the signals then keep their
// default action). Thread rule: Start and Stop on one thread; the handler runs on the hook's
// thread, once per signal received, and should only post work elsewhere.
// Ownership: the object owns its thread and descriptors; the destructor stops it.
#pragma once

#include <functional>
#include <thread>

class CSignalHook {
public:
  // Names the signals for the handler.
  static const int kTerminate;  // SIGTERM
  static const int kInterrupt;  // SIGINT

  CSignalHook() = default;
  ~CSignalHook();
  CSignalHook(const CSignalHook&) = delete;
  CSignalHook& operator=(const CSignalHook&) = delete;

  bool Start(std::function<void(int signal)> handler);
  // Ends the hook's thread and waits for it. Safe to call any number of times.
  void Stop();

private:
  std::function<void(int)> m_handler;
  std::thread m_thread;
  int m_signalFd = -1;
  int m_stopFd = -1;
};
