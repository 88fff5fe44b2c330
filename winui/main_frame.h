// The operator window on Win32: log pane, status bar, menus, message boxes, tray icon, About box,
// and the WM_REQUEST hand-off, driven by the toolkit-free frame core.
//
// CMainFrame is the gateway's one top-level window and its IFrameView, built from the program's
// resources (menu, icon and title 128, tray menu 135, About box 100). The rules (command
// routing, log switches, the close confirmation, background mode, the teardown, the tray state)
// live in its CFrameCore; this class makes the window and its children, gives the core the
// window's primitives and routes window messages to it. WM_REQUEST drains the UI apartment
// through the request pump. The log pane is an EDIT control at the fixed client rectangle
// (1, 1)-(580, 220); in background mode it stays empty and its entries are kept as text in
// memory (HiddenPane), since the window is never shown. In background mode a WM_CLOSE from
// outside the program (taskkill, the system) stops the gateway through the normal shutdown, as a
// stop signal does, since no operator can answer the box.
//
// Error rule: nothing fails towards the caller; LoadFrame reports a window that could not be
// created. Thread rule: UI thread only (the thread that constructed the frame). Ownership: the
// application owns the frame; the frame owns its window, child windows, menus and core; the
// callbacks' targets are borrowed and must outlive the frame.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/frame_core.h"
#include "core/frame_view.h"
#include "platform/thread_affinity.h"
#include "winui/client_pane.h"
#include "winui/log_pane_edit.h"
#include "winui/shell_tray_backend.h"
#include "winui/status_bar.h"
#include "winui/win32_headers.h"

class CRequestPump;

// Child ids of the frame's parts.
constexpr UINT kClientPaneId = 59648;  // AFX_IDW_PANE_FIRST
constexpr UINT kStatusBarId = 59393;   // AFX_IDW_STATUS_BAR
constexpr UINT kLogPaneId = 0;

class CMainFrame final : public IFrameView, private IFrameWindow, private ITrayOwner {
public:
  // A message box as the window would show it; the hook gets it instead of the operator.
  struct MessageBoxRequest {
    UINT style = MB_OK;  // buttons and icon (MB_...)
    std::wstring caption;
    std::wstring text;
  };
  // Returns the answer (IDYES, IDNO, IDOK ...).
  using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;

  // Prepares the core (which sets the log switches to their defaults) and the tray (a null
  // notify uses the shell's Shell_NotifyIconA). No window yet.
  explicit CMainFrame(bool backgroundMode, CShellTrayBackend::NotifyFunction notify = nullptr);
  // Runs the teardown callback if the close path has not run it, removes the tray icon and
  // destroys the window.
  ~CMainFrame();
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // Creates the window hidden from resource 128 (menu, title) with the overlapped-window style,
  // and its client pane, status bar and log pane. False when the window could not be created.
  bool LoadFrame();
  // The start-up's window steps outside background mode: icons 128, position (100, 300), size
  // 600 x 300 without repainting, no maximize command or box, shown normally.
  void ShowAtStartup();

  // --- IFrameView ---
  void LogToWindow(std::string text) override;
  void SetMessageText(std::string text) override;
  void ShowErrorMessage(const std::string& text) override;
  void PostCloseRequest() override;

  // The window's rules; the application installs its callbacks there.
  CFrameCore& Core() { return m_core; }

  // --- Callbacks of the application ---
  // The end of the Windows session (WM_ENDSESSION): runs after the teardown, before the
  // system ends the process.
  void SetSessionEndingHandler(std::function<void()> handler);
  // Message boxes (close confirmation, usage, errors) go to the hook instead of the screen.
  void SetMessageBoxHook(MessageBoxHook hook);
  // The pump whose Drain WM_REQUEST runs; the window becomes its target while it exists.
  void SetRequestPump(std::shared_ptr<CRequestPump> pump);

  // --- Commands and messages ---
  // Runs a menu command by id (as chosen from a menu); false when the id is no command here.
  bool OnCmdMsg(UINT commandId);
  // The tray's callback message: passes the icon id and mouse message to the tray notifier.
  LRESULT OnTrayNotify(WPARAM iconId, LPARAM mouseMessage);
  // The window's destruction on the close path: runs the teardown callback (once), removes the
  // tray icon, destroys the window and ends the message loop.
  void DestroyWindow();

  // --- Parts, for the application and tests ---
  HWND GetSafeHwnd() const { return m_hwnd.load(); }
  HWND LogPane() const { return m_logPaneText.Window(); }
  // Background mode's log pane.
  const CTextLogPane& HiddenPane() const { return m_hiddenPane; }
  HWND ClientPane() const { return m_clientPane.Window(); }
  CStatusBar& StatusBar() { return m_statusBar; }
  CTrayNotifier& TrayNotifier() { return m_core.TrayNotifier(); }
  bool IsBackgroundMode() const { return m_core.IsBackgroundMode(); }
  bool IsDestroyed() const { return m_core.IsDestroyed(); }

  // The frame's window class.
  static const wchar_t kClassName[];

private:
  // IFrameWindow: the window itself (shown, hidden, closed, destroyed)
  void ShowNormal() override;
  void Hide() override;
  void EndWindow() override;
  void SendClose() override;
  void PostClose() override;
  // IFrameWindow: the View menu's check marks, the boxes, the tray's icon
  std::optional<bool> ViewItemChecked(int commandId) const override;
  void SetViewItemChecked(int commandId, bool checked) override;
  FrameAnswer ShowBox(FrameBox kind, const WideString& caption, const WideString& text) override;
  void ShowAboutBox() override;
  const void* TrayIcon() const override { return m_smallIcon; }

  // ITrayOwner
  long SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                       std::uint32_t mouseMessage) override;
  void SetForegroundWindow() override;
  void SendCommand(int commandId) override;

  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  int OnCreate(const CREATESTRUCTW& create);
  void RecalcLayout();
  void OnClose();
  void OnMenuSelect(WPARAM wParam, LPARAM lParam);
  void OnEndSession();
  void UpdateCapsIndicator();
  int ShowMessageBox(const MessageBoxRequest& request);
  // The View popup of the main menu, or null.
  HMENU ViewMenu() const;

  CThreadAffinity m_uiThread;
  std::atomic<HWND> m_hwnd{nullptr};
  CClientPane m_clientPane;
  CStatusBar m_statusBar;
  CLogPaneEdit m_logPaneText;
  CTextLogPane m_hiddenPane;
  HICON m_largeIcon = nullptr;
  HICON m_smallIcon = nullptr;
  std::shared_ptr<CRequestPump> m_pump;
  std::function<void()> m_onSessionEnding;
  MessageBoxHook m_messageBoxHook;
  // The message pane's own text (SetMessageText), shown again when a menu prompt ends.
  std::wstring m_messageText;
  bool m_promptShown = false;
  bool m_quitOnDestroy = false;
  CFrameCore m_core;  // last: its teardown may still write to the log pane
};
