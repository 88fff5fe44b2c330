// The operator window on Qt: log pane, status bar, menus, the message boxes and the tray icon,
// driven by the toolkit-free frame core.
//
// CMainFrame is the gateway's one top-level window and its IFrameView. The rules (command
// routing, log switches, the close confirmation, background mode, the teardown, the tray state)
// live in its CFrameCore; this class builds the Qt widgets and gives the core the window's
// primitives. The log pane is a QPlainTextEdit at the fixed client rectangle (1, 1)-(580, 220).
// In background mode the window is never shown: the pane's entries are kept as text in memory
// (HiddenPane) and the edit stays empty, since laying out text nobody sees cost milliseconds per
// entry on the UI thread.
// A close ends the event loop (QCoreApplication::exit once the window is gone).
//
// Error rule: nothing fails towards the caller. Thread rule: UI thread only. Ownership: the
// application owns the frame; the frame owns its widgets and the core; the callbacks' targets are
// borrowed and must outlive the frame.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QMessageBox>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/frame_core.h"
#include "core/frame_view.h"
#include "ui/log_pane_edit.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QTimer;
class CClientPane;

class CMainFrame final : public QMainWindow,
                         public IFrameView,
                         private IFrameWindow,
                         private ITrayOwner {
public:
  // A message box as the window would show it; the hook gets it instead of the operator.
  struct MessageBoxRequest {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    // The default button, which is also the answer of Escape and of the box's close button.
    QMessageBox::StandardButton safeButton = QMessageBox::Ok;
  };
  using MessageBoxHook = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;

  // Builds the window hidden, with its menus, status bar, client pane and log pane (the core
  // sets the log switches to their defaults). A null trayBackend uses the desktop's tray
  // (QSystemTrayIcon). Turns off Qt's quit-on-last-window: only this window's close ends the
  // program.
  explicit CMainFrame(bool backgroundMode, std::unique_ptr<ITrayBackend> trayBackend = nullptr);
  // Runs the teardown callback if the close path has not run it; removes the tray icon.
  ~CMainFrame() override;

  // The window's rules; the application installs its callbacks there.
  CFrameCore& Core() { return m_core; }

  // --- IFrameView ---
  void LogToWindow(std::string text) override;
  void SetMessageText(std::string text) override;
  void ShowErrorMessage(const std::string& text) override;
  void PostCloseRequest() override;

  // Message boxes (close confirmation, usage, errors) go to the hook instead of the screen.
  void SetMessageBoxHook(MessageBoxHook hook);

  // --- Commands and messages ---
  // Runs a menu command by id (as chosen from a menu); false when the id is no command here.
  bool OnCmdMsg(int commandId) { return m_core.OnCmdMsg(commandId); }
  // The tray's callback message: passes the icon id and mouse message to the tray notifier.
  long OnTrayNotify(std::uint32_t iconId, std::uint32_t mouseMessage);
  // The window's destruction: runs the teardown callback (once), removes the tray icon, hides
  // the window and ends the event loop. The close path calls it after the answer No.
  void DestroyWindow() { m_core.DestroyWindow(); }

  // --- Parts, for the application and tests ---
  bool IsBackgroundMode() const { return m_core.IsBackgroundMode(); }
  bool IsDestroyed() const { return m_core.IsDestroyed(); }
  QPlainTextEdit* LogPane() const { return m_logPane; }
  // Background mode's log pane.
  const CTextLogPane& HiddenPane() const { return m_hiddenPane; }
  CClientPane* ClientPane() const { return m_clientPane; }
  QLabel* MessagePane() const { return m_messagePane; }
  QLabel* CapsIndicator() const { return m_capsIndicator; }
  CTrayNotifier& TrayNotifier() { return m_core.TrayNotifier(); }
  // The main menu's popups in order, and an item of the main menu by command id.
  QList<QMenu*> Popups() const;
  QAction* FindMenuCommand(int commandId) const;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  // IFrameWindow: the View menu's check marks and the boxes, through Qt's widgets
  std::optional<bool> ViewItemChecked(int commandId) const override;
  void SetViewItemChecked(int commandId, bool checked) override;
  FrameAnswer ShowBox(FrameBox kind, const WideString& caption, const WideString& text) override;
  const void* TrayIcon() const override;
  void ShowAboutBox() override;
  // IFrameWindow: the window itself (shown, hidden, closed, ended with the event loop)
  void ShowNormal() override;
  void Hide() override;
  void SendClose() override;
  void PostClose() override;
  void EndWindow() override;

  // ITrayOwner
  long SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                       std::uint32_t mouseMessage) override;
  void SetForegroundWindow() override;
  void SendCommand(int commandId) override;

  void OnMenuItem(QAction* action);
  // The View popup's item with the command id, or null.
  QAction* ViewItem(int commandId) const;
  void UpdateCapsIndicator();
  QMessageBox::StandardButton MessageBox(const MessageBoxRequest& request);

  CClientPane* m_clientPane = nullptr;
  QLabel* m_messagePane = nullptr;
  QLabel* m_capsIndicator = nullptr;
  QTimer* m_capsTimer = nullptr;
  QPlainTextEdit* m_logPane = nullptr;
  std::unique_ptr<CLogPaneEdit> m_logPaneText;
  CTextLogPane m_hiddenPane;
  QIcon m_appIcon;
  MessageBoxHook m_messageBoxHook;
  CFrameCore m_core;  // last: its teardown may still write to the log pane
};
