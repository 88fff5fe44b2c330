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

#include "core/activity_log.h"
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
    : m_core(*this, *this, backgroundMode, OrQtTray(std::move(trayBackend))) {
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
  if (!backgroundMode && CanReadCapsLock()) {
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
  if (backgroundMode) {
    m_core.SetLogPane(&m_hiddenPane);
  } else {
    m_core.SetLogPane(m_logPaneText.get());
  }
  // Focus given to the frame goes to the log pane.
  setFocusProxy(m_logPane);

  m_core.TrayNotifier().SetOwner(this, WM_TRAYNOTIFY);
}

// The core, destroyed first of the members, runs the teardown and removes the tray icon while
// the widgets still exist.
CMainFrame::~CMainFrame() = default;

// --- IFrameView ---

void CMainFrame::LogToWindow(std::string text) {
  assert(QThread::currentThread() == thread());
  m_core.LogToWindow(text);
}

void CMainFrame::SetMessageText(std::string text) {
  assert(QThread::currentThread() == thread());
  m_messagePane->setText(FromSystemText(text));
}

void CMainFrame::ShowErrorMessage(const std::string& text) {
  m_core.ShowErrorMessage(text);
}

void CMainFrame::PostCloseRequest() {
  m_core.PostCloseRequest();
}

void CMainFrame::SetMessageBoxHook(MessageBoxHook hook) {
  m_messageBoxHook = std::move(hook);
}

// --- Commands ---

void CMainFrame::OnMenuItem(QAction* action) {
  const int id = CommandIdOf(*action);
  if (id == 0) return;
  // A checkable item has already changed its check mark when it reports the choice.
  if (action->isCheckable()) {
    m_core.SwitchFollowsCheck(id);
    return;
  }
  OnCmdMsg(id);
}

// --- Window primitives ---

void CMainFrame::ShowNormal() {
  showNormal();
}

void CMainFrame::Hide() {
  hide();
}

QAction* CMainFrame::ViewItem(int commandId) const {
  // The item of the View popup, the main menu's second.
  const QList<QMenu*> popups = Popups();
  return popups.size() > 1 ? FindCommand(*popups[1], commandId) : nullptr;
}

std::optional<bool> CMainFrame::ViewItemChecked(int commandId) const {
  const QAction* item = ViewItem(commandId);
  if (item == nullptr) return std::nullopt;
  return item->isChecked();
}

void CMainFrame::SetViewItemChecked(int commandId, bool checked) {
  if (QAction* item = ViewItem(commandId)) item->setChecked(checked);
}

FrameAnswer CMainFrame::ShowBox(FrameBox kind, const WideString& caption, const WideString& text) {
  MessageBoxRequest request;
  request.caption = QString::fromStdU16String(caption);
  request.text = BoxText(QString::fromStdU16String(text));
  switch (kind) {
    case FrameBox::kError:
      request.icon = QMessageBox::Critical;
      break;
    case FrameBox::kUsage:
      request.icon = QMessageBox::Information;
      break;
    case FrameBox::kCloseConfirmation:
      request.icon = QMessageBox::Warning;
      request.buttons = QMessageBox::Yes | QMessageBox::No;
      request.safeButton = QMessageBox::Yes;
      break;
  }
  switch (MessageBox(request)) {
    case QMessageBox::Yes:
      return FrameAnswer::kYes;
    case QMessageBox::No:
      return FrameAnswer::kNo;
    default:
      return kind == FrameBox::kCloseConfirmation ? FrameAnswer::kYes : FrameAnswer::kOk;
  }
}

void CMainFrame::SendClose() {
  close();  // the framework's exit: a close message to the main window
}

void CMainFrame::PostClose() {
  QMetaObject::invokeMethod(
      this, [this] { close(); }, Qt::QueuedConnection);
}

void CMainFrame::ShowAboutBox() {
  ::ShowAboutBox(this);
}

void CMainFrame::EndWindow() {
  if (m_capsTimer != nullptr) m_capsTimer->stop();
  hide();
  // The loop ends once the close has finished (quit() would send close events again).
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

const void* CMainFrame::TrayIcon() const {
  return m_appIcon.isNull() ? nullptr : &m_appIcon;
}

long CMainFrame::OnTrayNotify(std::uint32_t iconId, std::uint32_t mouseMessage) {
  return m_core.TrayNotifier().HandleTrayEvent(iconId, mouseMessage);
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
  if (m_core.OnClose())
    event->accept();
  else
    event->ignore();
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
