#include "winui/tray_notifier.h"

#include <algorithm>
#include <cstring>

#include "winui/win_text.h"

CTrayNotifier::CTrayNotifier(NotifyFunction notify) : m_notify(std::move(notify)) {
  if (!m_notify)
    m_notify = [](DWORD operation, NOTIFYICONDATAA* data) {
      return Shell_NotifyIconA(operation, data);
    };
  std::memset(&m_iconData, 0, sizeof m_iconData);
  m_iconData.cbSize = kNotifyIconDataSize;
  m_iconData.uID = kTrayIconId;
  SetTooltip(ResourceStringA(kTrayIconId));
}

CTrayNotifier::~CTrayNotifier() {
  RemoveTrayIcon();
}

void CTrayNotifier::SetOwner(HWND owner, UINT callbackMessage) {
  m_iconData.hWnd = owner;
  m_iconData.uCallbackMessage = callbackMessage;
}

void CTrayNotifier::SetTooltip(const std::string& text) {
  const std::size_t length = std::min(text.size(), sizeof m_iconData.szTip - 1);
  std::memset(m_iconData.szTip, 0, sizeof m_iconData.szTip);
  std::memcpy(m_iconData.szTip, text.data(), length);
}

UINT CTrayNotifier::TipAndMessageFlags() const {
  UINT flags = 0;
  if (m_iconData.szTip[0] != '\0') flags |= NIF_TIP;
  if (m_iconData.uCallbackMessage != 0 && m_iconData.hWnd != nullptr) flags |= NIF_MESSAGE;
  return flags;
}

void CTrayNotifier::SetTrayIcon(HICON icon) {
  DWORD operation = NIM_ADD;
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
  const BOOL done = m_notify(operation, &m_iconData);
  if (operation == NIM_DELETE || !done) m_iconData.hIcon = nullptr;
}

void CTrayNotifier::RemoveTrayIcon() {
  if (m_iconData.hIcon == nullptr) return;
  m_iconData.uFlags = TipAndMessageFlags();
  m_notify(NIM_DELETE, &m_iconData);
  m_iconData.hIcon = nullptr;
}

LRESULT CTrayNotifier::HandleTrayEvent(WPARAM iconId, LPARAM mouseMessage) {
  if (iconId != m_iconData.uID) return 0;
  if (mouseMessage != WM_RBUTTONUP && mouseMessage != WM_LBUTTONDBLCLK) return 0;

  HMENU menu = LoadMenuW(ResourceModule(), MAKEINTRESOURCEW(m_iconData.uID));
  HMENU popup = menu != nullptr ? GetSubMenu(menu, 0) : nullptr;
  if (popup == nullptr) {
    if (menu != nullptr) DestroyMenu(menu);
    return 0;
  }
  const HWND owner = m_iconData.hWnd;
  if (mouseMessage == WM_RBUTTONUP) {
    SetMenuDefaultItem(popup, 0, TRUE);
    POINT where{};
    GetCursorPos(&where);
    SetForegroundWindow(owner);
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, where.x, where.y, 0, owner, nullptr);
    // Lets the menu close when the operator clicks elsewhere next time.
    PostMessageW(owner, WM_NULL, 0, 0);
  } else {
    SendMessageW(owner, WM_COMMAND, GetMenuItemID(popup, 0), 0);
  }
  DestroyMenu(menu);
  return 1;
}
