#include "winui/shell_tray_backend.h"

#include <cstring>

#include "winui/win_text.h"

namespace {

// The tray menu (resource 135) with its popup, or nulls when it cannot be loaded.
struct TrayMenu {
  HMENU menu = nullptr;
  HMENU popup = nullptr;
  TrayMenu() {
    menu = LoadMenuW(ResourceModule(), MAKEINTRESOURCEW(kTrayIconId));
    popup = menu != nullptr ? GetSubMenu(menu, 0) : nullptr;
  }
  ~TrayMenu() {
    if (menu != nullptr) DestroyMenu(menu);
  }
  TrayMenu(const TrayMenu&) = delete;
  TrayMenu& operator=(const TrayMenu&) = delete;
};

}  // namespace

CShellTrayBackend::CShellTrayBackend(std::function<HWND()> ownerWindow, NotifyFunction notify)
    : m_ownerWindow(std::move(ownerWindow)), m_notify(std::move(notify)) {
  if (!m_notify)
    m_notify = [](DWORD operation, NOTIFYICONDATAA* data) {
      return Shell_NotifyIconA(operation, data);
    };
  std::memset(&m_iconData, 0, sizeof m_iconData);
  m_iconData.cbSize = kNotifyIconDataSize;
}

bool CShellTrayBackend::NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) {
  m_iconData.hWnd = record.owner != nullptr ? m_ownerWindow() : nullptr;
  m_iconData.uID = record.id;
  m_iconData.uFlags = record.flags;
  m_iconData.uCallbackMessage = record.callbackMessage;
  m_iconData.hIcon = static_cast<HICON>(const_cast<void*>(record.icon));
  static_assert(sizeof m_iconData.szTip >= sizeof record.tip);
  std::memcpy(m_iconData.szTip, record.tip, sizeof record.tip);
  return m_notify(operation, &m_iconData) != FALSE;
}

int CShellTrayBackend::FirstTrayCommand() {
  const TrayMenu tray;
  return tray.popup != nullptr ? static_cast<int>(GetMenuItemID(tray.popup, 0)) : 0;
}

bool CShellTrayBackend::ShowTrayMenu(ITrayOwner& owner) {
  const TrayMenu tray;
  if (tray.popup == nullptr) return false;
  const HWND window = m_ownerWindow();
  SetMenuDefaultItem(tray.popup, 0, TRUE);
  POINT where{};
  GetCursorPos(&where);
  owner.SetForegroundWindow();
  TrackPopupMenu(tray.popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, where.x, where.y, 0, window, nullptr);
  // Lets the menu close when the operator clicks elsewhere next time.
  PostMessageW(window, WM_NULL, 0, 0);
  return true;
}
