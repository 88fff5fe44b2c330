#include "ui/qt_tray_backend.h"

#include <QIcon>
#include <QMetaObject>

#include <algorithm>
#include <iterator>
#include <string>

#include "ui/qt_text.h"

std::uint32_t MouseMessageOf(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Context:
      return WM_RBUTTONUP;
    case QSystemTrayIcon::DoubleClick:
      return WM_LBUTTONDBLCLK;
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
}

bool CQtTrayBackend::NotifyIcon(std::uint32_t operation, const NotifyIconData& data) {
  switch (operation) {
    case NIM_ADD:
      if (m_icon != nullptr) return false;
      if (m_requireTrayHost && !QSystemTrayIcon::isSystemTrayAvailable()) return false;
      m_icon = new QSystemTrayIcon();
      QObject::connect(m_icon, &QSystemTrayIcon::activated, &m_context,
                       [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
      Apply(data);
      m_icon->show();
      return true;
    case NIM_MODIFY:
      if (m_icon == nullptr) return false;
      Apply(data);
      return true;
    case NIM_DELETE:
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

void CQtTrayBackend::Apply(const NotifyIconData& data) {
  if ((data.uFlags & NIF_ICON) != 0 && data.hIcon != nullptr) m_icon->setIcon(*data.hIcon);
  if ((data.uFlags & NIF_TIP) != 0) {
    const char* end = std::find(std::begin(data.szTip), std::end(data.szTip), '\0');
    m_icon->setToolTip(FromSystemText(std::string(std::begin(data.szTip), end)));
  }
  if ((data.uFlags & NIF_MESSAGE) != 0) {
    m_owner = data.hWnd;
    m_iconId = data.uID;
    m_callbackMessage = data.uCallbackMessage;
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
