#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <cassert>
#include <cstdio>

#include "net/activity_log.h"
#include "res/resource.h"
#include "res/strings.h"
#include "ui/about_box.h"
#include "ui/app_icon.h"
#include "ui/caps_lock.h"
#include "ui/client_pane.h"
#include "ui/menu_resources.h"
#include "ui/qt_text.h"
#include "ui/qt_tray_backend.h"

namespace {

constexpr int kCapsPollMilliseconds = 250;

// The log switch that a View-menu command toggles, or null.
bool* SwitchOf(int commandId) {
  switch (commandId) {
    case ID_VIEW_LOG_VALUE_CHANGES:
      return &logValueChanges;
    case ID_VIEW_LOG_VALUE_WRITES:
      return &logValueWrites;
    case ID_VIEW_LOG_GROUP_OPS:
      return &logGroupOps;
    case ID_VIEW_LOG_ITEM_OPS:
      return &logItemOps;
    default:
      return nullptr;
  }
}

std::unique_ptr<ITrayBackend> OrQtTray(std::unique_ptr<ITrayBackend> backend) {
  if (backend) return backend;
  return std::make_unique<CQtTrayBackend>();
}

// A string resource shown in a message box: Qt breaks lines at LF alone.
QString BoxText(const QString& text) {
  QString result = text;
  result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return result;
}

}  // namespace

CMainFrame::CMainFrame(bool backgroundMode, std::unique_ptr<ITrayBackend> trayBackend)
    : m_backgroundMode(backgroundMode), m_trayNotifier(OrQtTray(std::move(trayBackend))) {
  logValueWrites = false;
  logGroupOps = true;
  logItemOps = false;
  // Hiding to the tray or closing the About box must never end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  setWindowTitle(ResourceText(IDR_MAINFRAME));
  m_appIcon = AppIcon();

  LoadMainMenu(*menuBar());
  for (QMenu* popup : Popups()) {
    connect(popup, &QMenu::triggered, this, [this](QAction* action) { OnMenuItem(action); });
  }

  m_clientPane = new CClientPane(this);
  setCentralWidget(m_clientPane);

  // Status bar: the message pane and the Caps Lock indicator.
  m_messagePane = new QLabel(statusBar());
  statusBar()->addWidget(m_messagePane, 1);
  m_capsIndicator = new QLabel(statusBar());
  m_capsIndicator->setAlignment(Qt::AlignCenter);
  m_capsIndicator->setMinimumWidth(
      m_capsIndicator->fontMetrics().horizontalAdvance(QStringLiteral("CAP")) + 8);
  statusBar()->addPermanentWidget(m_capsIndicator);
  if (!m_backgroundMode && CanReadCapsLock()) {
    m_capsTimer = new QTimer(this);
    connect(m_capsTimer, &QTimer::timeout, this, [this] { UpdateCapsIndicator(); });
    m_capsTimer->start(kCapsPollMilliseconds);
    UpdateCapsIndicator();
  }

  // The log pane lies at a fixed place over the client pane and keeps it when the frame is
  // resized; it does not wrap, is editable, has a plain border and both scroll bars, and uses
  // the default font.
  m_logPane = new QPlainTextEdit(m_clientPane);
  m_logPane->setGeometry(QRect(QPoint(1, 1), QPoint(580 - 1, 220 - 1)));
  m_logPane->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_logPane->setReadOnly(false);
  m_logPane->setFrameStyle(QFrame::Box | QFrame::Plain);
  m_logPane->setLineWidth(1);
  m_logPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_logPane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_logPaneText = std::make_unique<CLogPaneEdit>(*m_logPane);
  // Focus given to the frame goes to the log pane.
  setFocusProxy(m_logPane);

  m_trayNotifier.SetOwner(this, WM_TRAYNOTIFY);
}

CMainFrame::~CMainFrame() {
  if (!m_destroyed) {
    m_destroyed = true;
    if (m_onWindowDestroying) m_onWindowDestroying();
  }
  m_trayNotifier.RemoveTrayIcon();
}

// --- IFrameView ---

void CMainFrame::LogToWindow(std::string text) {
  assert(QThread::currentThread() == thread());
  LogToPane(*m_logPaneText, text);
  if (m_backgroundMode) MirrorPaneEntryToFile(text);  // the pane is never seen
}

void CMainFrame::SetMessageText(std::string text) {
  QString message = FromSystemText(text);
  if (QThread::currentThread() == thread()) {
    m_messagePane->setText(message);
    return;
  }
  // From a listener thread: queued to the UI thread, dropped if the window is gone by then.
  QMetaObject::invokeMethod(
      this, [this, message = std::move(message)] { m_messagePane->setText(message); },
      Qt::QueuedConnection);
}

void CMainFrame::ShowErrorMessage(const std::string& text) {
  if (m_backgroundMode) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return;
  }
  MessageBoxRequest request;
  request.icon = QMessageBox::Critical;
  request.caption = ResourceText(AFX_IDS_APP_TITLE);
  request.text = BoxText(FromSystemText(text));
  MessageBox(request);
}

void CMainFrame::PostCloseRequest() {
  if (m_backgroundMode) {
    DeclineClose();
    return;
  }
  QMetaObject::invokeMethod(
      this, [this] { close(); }, Qt::QueuedConnection);
}

void CMainFrame::DeclineClose() {
  LogCloseDeclined(*this);
}

// --- Callbacks ---

void CMainFrame::SetCreateOpcServerHandler(std::function<void()> handler) {
  m_onCreateOpcServer = std::move(handler);
}

void CMainFrame::SetDestroyOpcServerHandler(std::function<void()> handler) {
  m_onDestroyOpcServer = std::move(handler);
}

void CMainFrame::SetWindowDestroyingHandler(std::function<void()> handler) {
  m_onWindowDestroying = std::move(handler);
}

void CMainFrame::SetAboutHandler(std::function<void()> handler) {
  m_onAbout = std::move(handler);
}

void CMainFrame::SetMessageBoxHook(MessageBoxHook hook) {
  m_messageBoxHook = std::move(hook);
}

// --- Commands ---

void CMainFrame::OnMenuItem(QAction* action) {
  const int id = CommandIdOf(*action);
  if (id == 0) return;
  // A checkable item has already changed its check mark when it reports the choice.
  if (SwitchOf(id) != nullptr) {
    SwitchFollowsCheck(id);
    return;
  }
  OnCmdMsg(id);
}

bool CMainFrame::OnCmdMsg(int commandId) {
  // The client pane and the log pane handle no command: the frame's own map comes next, then
  // the application's (About).
  switch (commandId) {
    case ID_VIEW_HIDE:
      OnHideToTray();
      return true;
    case ID_TRAY_RESTORE:
      OnRestore();
      return true;
    case ID_VIEW_LOG_VALUE_CHANGES:
    case ID_VIEW_LOG_VALUE_WRITES:
    case ID_VIEW_LOG_GROUP_OPS:
    case ID_VIEW_LOG_ITEM_OPS:
      ToggleSwitch(commandId);
      return true;
    case ID_FILE_CREATE_OPCSERVER:
      if (m_onCreateOpcServer) m_onCreateOpcServer();
      return true;
    case ID_FILE_DESTROY_OPCSERVER:
      if (m_onDestroyOpcServer) m_onDestroyOpcServer();
      return true;
    case ID_HELP_USAGE:
      OnShowUsage();
      return true;
    case ID_APP_ABOUT:
      OnAbout();
      return true;
    case ID_APP_EXIT:
      close();  // the framework's exit: a close message to the main window
      return true;
    default:
      return false;
  }
}

void CMainFrame::ToggleSwitch(int commandId) {
  // The item of the View popup, the main menu's second.
  const QList<QMenu*> popups = Popups();
  QAction* item = popups.size() > 1 ? FindCommand(*popups[1], commandId) : nullptr;
  bool* logSwitch = SwitchOf(commandId);
  if (item == nullptr || logSwitch == nullptr) return;
  item->setChecked(!item->isChecked());
  *logSwitch = item->isChecked();
}

void CMainFrame::SwitchFollowsCheck(int commandId) {
  QAction* item = FindMenuCommand(commandId);
  bool* logSwitch = SwitchOf(commandId);
  if (item == nullptr || logSwitch == nullptr) return;
  *logSwitch = item->isChecked();
}

void CMainFrame::OnHideToTray() {
  if (m_backgroundMode) return;  // the window is never shown, so there is nothing to hide
  hide();
  m_trayNotifier.SetTooltip(LoadResString(IDR_MAINFRAME));
  m_trayNotifier.SetTrayIcon(m_appIcon.isNull() ? nullptr : &m_appIcon);
}

void CMainFrame::OnRestore() {
  if (m_backgroundMode || m_destroyed) return;
  showNormal();
  m_trayNotifier.RemoveTrayIcon();
}

void CMainFrame::OnShowUsage() {
  MessageBoxRequest request;
  request.icon = QMessageBox::Information;
  request.caption = ResourceText(AFX_IDS_APP_TITLE);
  request.text = BoxText(ResourceText(IDS_USAGE));
  MessageBox(request);
}

void CMainFrame::OnAbout() {
  if (m_onAbout) {
    m_onAbout();
  } else {
    ShowAboutBox(this);
  }
}

long CMainFrame::OnTrayNotify(std::uint32_t iconId, std::uint32_t mouseMessage) {
  return m_trayNotifier.HandleTrayEvent(iconId, mouseMessage);
}

// --- Tray owner ---

long CMainFrame::SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                                 std::uint32_t mouseMessage) {
  if (message != WM_TRAYNOTIFY) return 0;
  return OnTrayNotify(iconId, mouseMessage);
}

void CMainFrame::SetForegroundWindow() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

void CMainFrame::SendCommand(int commandId) {
  OnCmdMsg(commandId);
}

// --- Close and destruction ---

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (m_destroyed) {
    event->accept();
    return;
  }
  if (m_backgroundMode) {
    event->ignore();
    DeclineClose();
    return;
  }
  MessageBoxRequest request;
  request.icon = QMessageBox::Warning;
  request.caption = QStringLiteral("关闭后，同设备通讯将会中断！");
  request.text = QStringLiteral("保留窗口程序不退出吧？");
  request.buttons = QMessageBox::Yes | QMessageBox::No;
  // Keeping the gateway running is the answer that loses nothing.
  request.safeButton = QMessageBox::Yes;
  if (MessageBox(request) != QMessageBox::No) {
    event->ignore();
    return;
  }
  DestroyWindow();
  event->accept();
  // The loop ends once the close has finished (quit() would send close events again).
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void CMainFrame::DestroyWindow() {
  if (m_destroyed) return;
  m_destroyed = true;
  if (m_onWindowDestroying) m_onWindowDestroying();
  m_trayNotifier.RemoveTrayIcon();
  if (m_capsTimer != nullptr) m_capsTimer->stop();
  hide();
}

// --- Parts ---

QList<QMenu*> CMainFrame::Popups() const {
  QList<QMenu*> popups;
  for (QAction* action : menuBar()->actions()) {
    if (action->menu() != nullptr) popups.append(action->menu());
  }
  return popups;
}

QAction* CMainFrame::FindMenuCommand(int commandId) const {
  for (QMenu* popup : Popups()) {
    if (QAction* item = FindCommand(*popup, commandId)) return item;
  }
  return nullptr;
}

void CMainFrame::UpdateCapsIndicator() {
  m_capsIndicator->setText(IsCapsLockOn() ? QStringLiteral("CAP") : QString());
}

QMessageBox::StandardButton CMainFrame::MessageBox(const MessageBoxRequest& request) {
  if (m_messageBoxHook) return m_messageBoxHook(request);
  QMessageBox box(request.icon, request.caption, request.text, request.buttons, this);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(request.safeButton);
  box.setEscapeButton(request.safeButton);
  const int answer = box.exec();
  return static_cast<QMessageBox::StandardButton>(answer);
}
