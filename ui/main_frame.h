// The operator window: log pane, status bar, menus, log switches, close confirmation and the
// tray icon.
//
// CMainFrame is the gateway's one top-level window and its IFrameView. It knows nothing of the
// OPC side or of requests: the commands that belong there (create and destroy the server
// connection) and the teardown that must run before the window goes are callbacks that the
// application installs. The log pane is a QPlainTextEdit at the fixed client rectangle
// (1, 1)-(580, 220); LogToWindow writes it with the activity log's pruning rule. Every close,
// whatever its source (close box, the Exit items, a close request), passes the confirmation box;
// only the answer No tears down, closes the window and ends the event loop
// (QCoreApplication::exit once the window is gone). In background mode the window is never
// shown: error messages go to standard output, close requests are declined with a log line, and
// every pane entry is copied to the log file.
//
// Error rule: nothing fails towards the caller. Thread rule: UI thread only, except
// SetMessageText, which any thread may call while the window exists (it is queued to the UI
// thread). Ownership: the application owns the frame; the frame owns its widgets and the tray
// notifier; the callbacks' targets are borrowed and must outlive the frame.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QMessageBox>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/frame_view.h"
#include "ui/log_pane_edit.h"
#include "ui/tray_notifier.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QTimer;
class CClientPane;

class CMainFrame final : public QMainWindow, public IFrameView, private ITrayOwner {
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

  // Builds the window hidden, with its menus, status bar, client pane and log pane, and sets
  // the log switches logValueWrites, logGroupOps and logItemOps to their defaults. A null
  // trayBackend uses the desktop's tray (QSystemTrayIcon). Turns off Qt's quit-on-last-window:
  // only this window's close ends the program.
  explicit CMainFrame(bool backgroundMode, std::unique_ptr<ITrayBackend> trayBackend = nullptr);
  // Runs the teardown callback if the close path has not run it; removes the tray icon.
  ~CMainFrame() override;

  // --- IFrameView ---
  void LogToWindow(std::string text) override;
  void SetMessageText(std::string text) override;
  void ShowErrorMessage(const std::string& text) override;
  void PostCloseRequest() override;

  // --- Callbacks of the application ---
  // File menu "创建OpcServer" (32785) and "销毁OpcServer" (32786).
  void SetCreateOpcServerHandler(std::function<void()> handler);
  void SetDestroyOpcServerHandler(std::function<void()> handler);
  // The OPC teardown: runs once, before the window goes (answer No), or at the latest in the
  // destructor.
  void SetWindowDestroyingHandler(std::function<void()> handler);
  // The About command (57664); without one, the About box is shown over this window.
  void SetAboutHandler(std::function<void()> handler);
  // Message boxes (close confirmation, usage, errors) go to the hook instead of the screen.
  void SetMessageBoxHook(MessageBoxHook hook);

  // --- Commands and messages ---
  // Runs a menu command by id (as chosen from a menu); false when the id is no command here.
  bool OnCmdMsg(int commandId);
  // The tray's callback message: passes the icon id and mouse message to the tray notifier.
  long OnTrayNotify(std::uint32_t iconId, std::uint32_t mouseMessage);
  // The window's destruction: runs the teardown callback (once), removes the tray icon and
  // hides the window. The close path calls it after the answer No.
  void DestroyWindow();

  // --- Parts, for the application and tests ---
  bool IsBackgroundMode() const { return m_backgroundMode; }
  bool IsDestroyed() const { return m_destroyed; }
  QPlainTextEdit* LogPane() const { return m_logPane; }
  CClientPane* ClientPane() const { return m_clientPane; }
  QLabel* MessagePane() const { return m_messagePane; }
  QLabel* CapsIndicator() const { return m_capsIndicator; }
  CTrayNotifier& TrayNotifier() { return m_trayNotifier; }
  // The main menu's popups in order, and an item of the main menu by command id.
  QList<QMenu*> Popups() const;
  QAction* FindMenuCommand(int commandId) const;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  // ITrayOwner
  long SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                       std::uint32_t mouseMessage) override;
  void SetForegroundWindow() override;
  void SendCommand(int commandId) override;

  void OnMenuItem(QAction* action);
  void OnHideToTray();
  void OnRestore();
  void OnShowUsage();
  void OnAbout();
  // The View-menu switch toggles: the check mark is the truth, the switch follows it.
  void ToggleSwitch(int commandId);
  void SwitchFollowsCheck(int commandId);
  void UpdateCapsIndicator();
  QMessageBox::StandardButton MessageBox(const MessageBoxRequest& request);
  void DeclineClose();

  const bool m_backgroundMode;
  CClientPane* m_clientPane = nullptr;
  QLabel* m_messagePane = nullptr;
  QLabel* m_capsIndicator = nullptr;
  QTimer* m_capsTimer = nullptr;
  CTrayNotifier m_trayNotifier;
  QPlainTextEdit* m_logPane = nullptr;
  std::unique_ptr<CLogPaneEdit> m_logPaneText;
  QIcon m_appIcon;
  std::function<void()> m_onCreateOpcServer;
  std::function<void()> m_onDestroyOpcServer;
  std::function<void()> m_onWindowDestroying;
  std::function<void()> m_onAbout;
  MessageBoxHook m_messageBoxHook;
  bool m_destroyed = false;
};
