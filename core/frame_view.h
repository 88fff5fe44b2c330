// What the gateway's core needs from the operator window, as a toolkit-free interface.
//
// The Qt main window implements it; tests and background mode can use their own. Everything
// below the window (listener threads, datagram sender, OPC registry, request handlers) reaches
// the window only through this interface and the process-wide pointer pMainFrame.
//
// Error rule: no method reports failure. Thread rule: UI thread only (other threads post to the
// UI thread's apartment). Ownership: pMainFrame is not owned; the application sets it after
// constructing the window and clears it before the window is destroyed.
#pragma once

#include <string>

class IFrameView {
public:
  // Adds a time-stamped entry at the top of the log pane (activity log rules).
  virtual void LogToWindow(std::string text) = 0;
  // Shows a text in the status bar's message pane.
  virtual void SetMessageText(std::string text) = 0;
  // Tells the operator about an error that needs no answer (an error message box; in
  // background mode a line on standard output).
  virtual void ShowErrorMessage(const std::string& text) = 0;
  // Queues a close request for the window (it passes through the close confirmation); it runs
  // after the current event has been handled, never inside this call.
  virtual void PostCloseRequest() = 0;

protected:
  ~IFrameView() = default;
};

// The process-wide main window, or null before it exists and after it is gone.
extern IFrameView* pMainFrame;

// Writes the declined-close line to the frame's log pane and to the log file: in background
// mode no operator can answer the close confirmation, so the gateway keeps running and says so.
void LogCloseDeclined(IFrameView& frame);
