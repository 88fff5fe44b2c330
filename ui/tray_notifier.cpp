#include "ui/tray_notifier.h"

#include <QAction>
#include <QCursor>
#include <QMenu>

#include <algorithm>
#include <cstring>

#include "res/strings.h"
#include "ui/menu_resources.h"

CTrayNotifier::CTrayNotifier(std::unique_ptr<ITrayBackend> backend)
    : m_backend(std::move(backend)) {
  m_iconData = NotifyIconData{};
  m_iconData.cbSize = kNotifyIconDataSize;
  m_iconData.uID = kTrayIconId;
  SetTooltip(LoadResString(static_cast<int>(kTrayIconId)));
}

CTrayNotifier::~CTrayNotifier() {
  RemoveTrayIcon();
  delete m_shownMenu.data();
}

void CTrayNotifier::SetOwner(ITrayOwner* owner, std::uint32_t callbackMessage) {
  m_iconData.hWnd = owner;
  m_iconData.uCallbackMessage = callbackMessage;
}

void CTrayNotifier::SetTooltip(const std::string& text) {
  const std::size_t length = std::min(text.size(), sizeof m_iconData.szTip - 1);
  std::memset(m_iconData.szTip, 0, sizeof m_iconData.szTip);
  std::memcpy(m_iconData.szTip, text.data(), length);
}

std::uint32_t CTrayNotifier::TipAndMessageFlags() const {
  std::uint32_t flags = 0;
  if (m_iconData.szTip[0] != '\0') flags |= NIF_TIP;
  if (m_iconData.uCallbackMessage != 0 && m_iconData.hWnd != nullptr) flags |= NIF_MESSAGE;
  return flags;
}

void CTrayNotifier::SetTrayIcon(const QIcon* icon) {
  std::uint32_t operation = NIM_ADD;
  m_iconData.uFlags = 0;
  if (icon != nullptr) {
    operation = m_iconData.hIcon != nullptr ? NIM_MODIFY : NIM_ADD;
    m_iconData.hIcon = icon;
    m_iconData.uFlags |= NIF_ICON;
  } else {
    if (m_iconData.hIcon == nullptr) return;
    operation = NIM_DELETE;
  }
  m_iconData.uFlags |= TipAndMessageFlags();
  const bool done = m_backend->NotifyIcon(operation, m_iconData);
  if (operation == NIM_DELETE || !done) m_iconData.hIcon = nullptr;
}

void CTrayNotifier::RemoveTrayIcon() {
  if (m_iconData.hIcon == nullptr) return;
  m_iconData.uFlags = TipAndMessageFlags();
  m_backend->NotifyIcon(NIM_DELETE, m_iconData);
  m_iconData.hIcon = nullptr;
}

int CTrayNotifier::HandleTrayEvent(std::uint32_t iconId, std::uint32_t mouseMessage) {
  if (iconId != m_iconData.uID) return 0;
  if (mouseMessage != WM_RBUTTONUP && mouseMessage != WM_LBUTTONDBLCLK) return 0;

  std::unique_ptr<QMenu> menu = LoadTrayMenu();
  const QList<QAction*> items = menu->actions();
  if (items.isEmpty()) return 0;
  QAction* first = items.front();
  ITrayOwner* owner = m_iconData.hWnd;

  if (mouseMessage == WM_RBUTTONUP) {
    // Shown without blocking: the menu deletes itself once it has closed, and the chosen item
    // reaches the owner as its own command.
    menu->setDefaultAction(first);
    const QPoint where = QCursor::pos();
    if (owner != nullptr) owner->SetForegroundWindow();
    QMenu* shown = menu.release();
    QObject::connect(shown, &QMenu::triggered, shown, [owner](QAction* action) {
      const int id = CommandIdOf(*action);
      if (owner != nullptr && id != 0) owner->SendCommand(id);
    });
    QObject::connect(shown, &QMenu::aboutToHide, shown, &QObject::deleteLater);
    delete m_shownMenu.data();  // a menu still up from an earlier click
    m_shownMenu = shown;
    shown->popup(where);
  } else {
    if (owner != nullptr) owner->SendCommand(CommandIdOf(*first));
  }
  return 1;
}
