// The stand-in main window: the frame core over a window that shows nothing.
//
// The window's rules are the frame core's, as for the Qt and the Win32 windows: background mode
// declines close requests with a log line and copies every pane entry to the log file, error
// messages go to standard output. The window behind the core shows nothing: the log pane is kept
// in memory, the status-bar text is remembered, an error box becomes a line on standard output,
// there is no tray, and a close outside background mode queues the given close handler on the UI
// thread (declined with the log line when there is none).
//
// Error rule: nothing fails. Thread rule: UI thread only (the thread that constructed it).
// Ownership: owns its pane and core; the application owns the frame.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/activity_log.h"
#include "core/frame_core.h"
#include "core/frame_view.h"

class CApartment;

class CHeadlessFrame final : public IFrameView, private IFrameWindow {
public:
  // closeHandler runs, queued on the constructing thread, when a close request is accepted;
  // without one, or in background mode, close requests are declined.
  explicit CHeadlessFrame(bool backgroundMode, std::function<void()> closeHandler = {});

  void LogToWindow(std::string text) override { m_core.LogToWindow(text); }
  void SetMessageText(std::string text) override { m_messageText = std::move(text); }
  void ShowErrorMessage(const std::string& text) override { m_core.ShowErrorMessage(text); }
  void PostCloseRequest() override { m_core.PostCloseRequest(); }

  CFrameCore& Core() { return m_core; }
  const CTextLogPane& Pane() const { return m_pane; }
  const std::string& MessageText() const { return m_messageText; }

private:
  // IFrameWindow: nothing to show, check or end.
  void ShowNormal() override {}
  void Hide() override {}
  std::optional<bool> ViewItemChecked(int) const override { return std::nullopt; }
  void SetViewItemChecked(int, bool) override {}
  FrameAnswer ShowBox(FrameBox kind, const WideString& caption, const WideString& text) override;
  void SendClose() override { PostClose(); }
  void PostClose() override;
  void ShowAboutBox() override {}
  void EndWindow() override {}
  const void* TrayIcon() const override { return nullptr; }

  std::function<void()> m_closeHandler;
  std::shared_ptr<CApartment> m_uiApartment;
  CTextLogPane m_pane;
  std::string m_messageText;
  CFrameCore m_core;  // last: its teardown may still write to the pane
};
