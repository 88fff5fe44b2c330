#include "ui/qt_tray_backend.h"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMetaObject>

#include <algorithm>
#include <iterator>
#include <string>

#include "ui/menu_resources.h"
#include "ui/qt_text.h"

std::uint32_t MouseMessageOf(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Context:
      return kTrayRightButtonUp;
    case QSystemTrayIcon::DoubleClick:
      return kTrayLeftButtonDoubleClick;
    case QSystemTrayIcon::Trigger:
      return WM_LBUTTONUP;
    case QSystemTrayIcon::MiddleClick:
      return WM_MBUTTONUP;
    case QSystemTrayIcon::Unknown:
      break;
  }
  return 0;
}

CQtTrayBackend::~CQtTrayBackend() {
  // Never inside one of the icon's signals: those reach the owner queued.
  delete m_icon;
  delete m_shownMenu.data();
}

bool CQtTrayBackend::NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) {
  switch (operation) {
    case kTrayAdd:
      if (m_icon != nullptr) return false;
      if (m_requireTrayHost && !QSystemTrayIcon::isSystemTrayAvailable()) return false;
      m_icon = new QSystemTrayIcon();
      QObject::connect(m_icon, &QSystemTrayIcon::activated, &m_context,
                       [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
      Apply(record);
      m_icon->show();
      return true;
    case kTrayModify:
      if (m_icon == nullptr) return false;
      Apply(record);
      return true;
    case kTrayDelete:
      if (m_icon == nullptr) return false;
      m_icon->hide();
      // Deleted later: a delete may be the answer to one of this icon's own signals.
      m_icon->deleteLater();
      m_icon = nullptr;
      m_owner = nullptr;
      return true;
    default:
      return false;
  }
}

void CQtTrayBackend::Apply(const TrayIconRecord& record) {
  if ((record.flags & kTrayFlagIcon) != 0 && record.icon != nullptr)
    m_icon->setIcon(*static_cast<const QIcon*>(record.icon));
  if ((record.flags & kTrayFlagTip) != 0) {
    const char* end = std::find(std::begin(record.tip), std::end(record.tip), '\0');
    m_icon->setToolTip(FromSystemText(std::string(std::begin(record.tip), end)));
  }
  if ((record.flags & kTrayFlagMessage) != 0) {
    m_owner = record.owner;
    m_iconId = record.id;
    m_callbackMessage = record.callbackMessage;
  }
}

void CQtTrayBackend::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  const std::uint32_t mouseMessage = MouseMessageOf(reason);
  if (m_owner == nullptr || m_callbackMessage == 0 || mouseMessage == 0) return;
  // Posted, as the shell posts its callback: the handler may delete this very icon.
  QMetaObject::invokeMethod(
      &m_context,
      [owner = m_owner, message = m_callbackMessage, id = m_iconId, mouseMessage] {
        owner->SendTrayMessage(message, id, mouseMessage);
      },
      Qt::QueuedConnection);
}

int CQtTrayBackend::FirstTrayCommand() {
  const std::unique_ptr<QMenu> menu = LoadTrayMenu();
  const QList<QAction*> items = menu->actions();
  return items.isEmpty() ? 0 : CommandIdOf(*items.front());
}

bool CQtTrayBackend::ShowTrayMenu(ITrayOwner& owner) {
  std::unique_ptr<QMenu> menu = LoadTrayMenu();
  const QList<QAction*> items = menu->actions();
  if (items.isEmpty()) return false;
  // Shown without blocking: the menu deletes itself once it has closed, and the chosen item
  // reaches the owner as its own command.
  menu->setDefaultAction(items.front());
  const QPoint where = QCursor::pos();
  owner.SetForegroundWindow();
  QMenu* shown = menu.release();
  ITrayOwner* target = &owner;
  QObject::connect(shown, &QMenu::triggered, shown, [target](QAction* action) {
    const int id = CommandIdOf(*action);
    if (id != 0) target->SendCommand(id);
  });
  QObject::connect(shown, &QMenu::aboutToHide, shown, &QObject::deleteLater);
  delete m_shownMenu.data();  // a menu still up from an earlier click
  m_shownMenu = shown;
  shown->popup(where);
  return true;
}
