// The operator window's rules, without a window toolkit: command routing, the four log switches
// and their check marks, the application's callbacks, the run-once teardown, the close policy
// with its confirmation, the usage and error boxes, and the tray icon's state.
//
// Each front end (Qt on Linux, Win32 on Windows) builds its window, gives the core the window's
// primitives (IFrameWindow) and its log pane, and calls the core from its event handlers: a menu
// command, a close of the window, a tray event. The core decides; the front end only shows.
// Every close, whatever its source (close box, the Exit items, a close request), passes the
// confirmation box, in which only the answer No tears down and ends the window; Escape or
// closing the box keeps the gateway running. In background mode the window is never shown:
// error messages go to standard output, close requests are declined with a log line, and every
// pane entry is copied to the log file.
//
// Error rule: nothing fails towards the caller. Thread rule: UI thread only. Ownership: the
// front end owns the core; the core owns the tray notifier; the window, the log pane and the
// callbacks' targets are borrowed and must outlive the core.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/activity_log.h"
#include "core/frame_view.h"
#include "core/tray_notifier.h"
#include "platform/wide_string.h"

// The boxes the window shows, and their answers.
enum class FrameBox { kError, kUsage, kCloseConfirmation };
enum class FrameAnswer { kOk, kYes, kNo };

// What a front end's window does when the core asks.
class IFrameWindow {
public:
  virtual void ShowNormal() = 0;
  virtual void Hide() = 0;
  // The check mark of a View-menu item; nullopt when the menu has no such item.
  virtual std::optional<bool> ViewItemChecked(int commandId) const = 0;
  virtual void SetViewItemChecked(int commandId, bool checked) = 0;
  // Shows a box and returns the answer: kOk for an error or the usage; kYes or kNo for the
  // confirmation, whose Escape and close button answer kYes.
  virtual FrameAnswer ShowBox(FrameBox kind, const WideString& caption, const WideString& text) = 0;
  // The Exit command: a close of the window now, which comes back through OnClose.
  virtual void SendClose() = 0;
  // A close of the window after the current event has been handled.
  virtual void PostClose() = 0;
  virtual void ShowAboutBox() = 0;
  // After the teardown: the window goes and the message loop ends.
  virtual void EndWindow() = 0;
  // The icon the tray shows (null when the program has none).
  virtual const void* TrayIcon() const = 0;

protected:
  ~IFrameWindow() = default;
};

class CFrameCore {
public:
  // What a close of the hidden window of background mode means: only the system or another
  // program can send one on Windows (a stop, as a stop signal is); elsewhere it is declined.
  enum class BackgroundClose { kDecline, kStop };

  // view is the front end's frame as the gateway sees it (the declined-close line goes there).
  // The View menu turns switches of the core's own (at their defaults) until UseLogSwitches.
  CFrameCore(IFrameWindow& window, IFrameView& view, bool backgroundMode,
             std::unique_ptr<ITrayBackend> tray,
             BackgroundClose backgroundClose = BackgroundClose::kDecline);
  // Runs the teardown callback if the close path has not run it; removes the tray icon.
  ~CFrameCore();
  CFrameCore(const CFrameCore&) = delete;
  CFrameCore& operator=(const CFrameCore&) = delete;

  // The View menu turns switches from now on (borrowed: they must outlive the core); the window's
  // three are set to their defaults, as the window does when it is made.
  void UseLogSwitches(LogSwitches& switches);
  const LogSwitches& Switches() const { return *m_switches; }

  // The pane LogToWindow writes (null: entries are dropped until one is set).
  void SetLogPane(ILogPane* pane) { m_pane = pane; }

  // --- The IFrameView parts that need no toolkit ---
  void LogToWindow(const std::string& text);
  // An error box, or in background mode a line on standard output.
  void ShowErrorMessage(const std::string& text);
  // Declined with a log line in background mode, otherwise a close posted to the window.
  void PostCloseRequest();

  // --- Callbacks of the application ---
  // File menu "创建OpcServer" (32785) and "销毁OpcServer" (32786).
  void SetCreateOpcServerHandler(std::function<void()> handler);
  void SetDestroyOpcServerHandler(std::function<void()> handler);
  // The OPC teardown: runs once, before the window goes, or at the latest in the destructor.
  void SetWindowDestroyingHandler(std::function<void()> handler);
  // The About command (57664); without one, the window shows its About box.
  void SetAboutHandler(std::function<void()> handler);

  // --- Commands and events ---
  // Runs a menu command by id; false when the id is no command of the window.
  bool OnCmdMsg(int commandId);
  // A View-menu switch whose check mark the toolkit changed itself: the switch follows it.
  void SwitchFollowsCheck(int commandId);
  // A close of the window: the confirmation (one at a time), and on No the teardown and the end
  // of the window. True when the window is torn down (now or before) and may go.
  bool OnClose();
  // The teardown (once), the tray icon removed, and the end of the window.
  void DestroyWindow();
  // Runs the teardown callback unless it ran already.
  void RunTeardown();

  bool IsBackgroundMode() const { return m_backgroundMode; }
  bool IsDestroyed() const { return m_destroyed; }
  CTrayNotifier& TrayNotifier() { return m_tray; }

  // The close confirmation's caption and text.
  static const WideChar kCloseCaption[];
  static const WideChar kCloseText[];

private:
  void OnHideToTray();
  void OnRestore();
  void ToggleSwitch(int commandId);

  IFrameWindow& m_window;
  IFrameView& m_view;
  const bool m_backgroundMode;
  const BackgroundClose m_backgroundClose;
  CTrayNotifier m_tray;
  LogSwitches m_ownSwitches;
  LogSwitches* m_switches = &m_ownSwitches;
  ILogPane* m_pane = nullptr;
  std::function<void()> m_onCreateOpcServer;
  std::function<void()> m_onDestroyOpcServer;
  std::function<void()> m_onWindowDestroying;
  std::function<void()> m_onAbout;
  bool m_destroyed = false;
  bool m_confirmingClose = false;
};
