// The stand-in main window: a frame with no toolkit behind it.
//
// Keeps the log pane in memory (the hidden window's pane of background mode, whose entries are
// then copied to the log file as well), remembers the
// status-bar text, writes error messages to standard output, and answers a close request
// either by declining it (background mode: there is no operator to confirm, so the gateway keeps
// running and logs that it declined) or by queueing the given close handler on the UI thread.
//
// Error rule: nothing fails. Thread rule: SetMessageText from any thread; everything else on
// the UI thread (the thread that constructed it). Ownership: owns its pane; the application
// owns the frame.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/activity_log.h"
#include "core/frame_view.h"

class CApartment;

class CHeadlessFrame final : public IFrameView {
public:
  // closeHandler runs, queued on the constructing thread, when a close request is accepted;
  // without one, or in background mode, close requests are declined.
  explicit CHeadlessFrame(bool backgroundMode, std::function<void()> closeHandler = {});
  ~CHeadlessFrame();

  void LogToWindow(std::string text) override;
  void SetMessageText(std::string text) override;
  void ShowErrorMessage(const std::string& text) override;
  void PostCloseRequest() override;

  const CTextLogPane& Pane() const { return m_pane; }
  std::string MessageText() const;

private:
  const bool m_backgroundMode;
  std::function<void()> m_closeHandler;
  std::shared_ptr<CApartment> m_uiApartment;
  CTextLogPane m_pane;
  mutable std::mutex m_messageMutex;
  std::string m_messageText;
};
