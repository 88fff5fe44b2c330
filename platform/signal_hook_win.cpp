#include "platform/signal_hook.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <condition_variable>
#include <csignal>
#include <mutex>

const int CSignalHook::kTerminate = SIGTERM;
const int CSignalHook::kInterrupt = SIGINT;
const char CSignalHook::kStopRequestNames[] = "Ctrl+C或taskkill";

namespace {

// The console handler is one per process; so is the hook's state.
std::mutex g_mutex;
std::condition_variable g_idle;      // a handler call has ended
bool g_started = false;              // a hook is started
std::function<void(int)> g_handler;  // its handler (may be empty)
int g_calls = 0;                     // handler calls running
bool g_installed = false;            // the console handler is registered

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int signal;
  bool processEnds;  // the system ends the process when this call returns
  switch (event) {
    case CTRL_C_EVENT:
      signal = CSignalHook::kInterrupt;
      processEnds = false;
      break;
    case CTRL_BREAK_EVENT:
      signal = CSignalHook::kTerminate;
      processEnds = false;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signal = CSignalHook::kTerminate;
      processEnds = true;
      break;
    default:
      return FALSE;  // not ours: the next handler decides
  }
  std::function<void(int)> handler;
  {
    std::lock_guard lock(g_mutex);
    if (!g_started) return TRUE;  // stopped: swallowed, as a blocked signal
    handler = g_handler;
    ++g_calls;
  }
  if (handler) handler(signal);
  {
    std::lock_guard lock(g_mutex);
    --g_calls;
  }
  g_idle.notify_all();
  // Returning now would end the process in the middle of its shutdown: wait for the shutdown to
  // end the process instead. The system's own limit for the event still applies.
  if (processEnds) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

CSignalHook::~CSignalHook() {
  Stop();
}

bool CSignalHook::Start(std::function<void(int)> handler) {
  Stop();
  std::lock_guard lock(g_mutex);
  if (g_started) return false;  // another hook is running
  if (!g_installed) {
    if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return false;
    g_installed = true;  // stays registered: after Stop it swallows the events
  }
  g_handler = std::move(handler);
  g_started = true;
  m_started = true;
  return true;
}

void CSignalHook::Stop() {
  if (!m_started) return;
  std::unique_lock lock(g_mutex);
  g_started = false;
  g_handler = nullptr;
  g_idle.wait(lock, [] { return g_calls == 0; });
  m_started = false;
}
