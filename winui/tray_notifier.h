// The notification-area (tray) icon of the main window: its record, its add, modify and delete
// operations through Shell_NotifyIconA, and its mouse handling.
//
// CTrayNotifier keeps m_iconData, the platform's NOTIFYICONDATAA record in its first form (owner,
// icon id 135, flags, callback message, icon, 64-byte tooltip; 88 bytes in a 32-bit build, 104
// in a 64-bit one, where the pointers are wider). The icon in the record doubles as the state:
// null means no icon is in the tray. The shell reports mouse events on the icon to the owner
// window as the callback message WM_TRAYNOTIFY (icon id, mouse message); the owner passes them to
// HandleTrayEvent, which shows the tray menu (resource 135) or restores the window.
//
// Error rule: nothing throws; a failed add leaves the notifier without icon (as on a desktop
// without a tray). Thread rule: UI thread only. Ownership: the icon handle and the owner window
// are borrowed; the notifier removes its icon from the tray when it is destroyed.
#pragma once

#include <functional>
#include <string>

#include "winui/win32_headers.h"

// WM_USER+2: the tray icon's callback message.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 2;
// The icon id, which is also the tray menu's resource id.
constexpr UINT kTrayIconId = 135;
// The record's size in its first form on this platform.
constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAA_V1_SIZE;
static_assert(kNotifyIconDataSize == (sizeof(void*) == 4 ? 88 : 104));

class CTrayNotifier {
public:
  // The shell's Shell_NotifyIconA; tests give a recorder.
  using NotifyFunction = std::function<BOOL(DWORD operation, NOTIFYICONDATAA* data)>;

  // Zeroes the record, sets its size and icon id (135), and loads the tooltip from string 135
  // (which the program does not have, so the tooltip starts empty).
  explicit CTrayNotifier(NotifyFunction notify = nullptr);
  // Removes the icon from the tray when one is shown.
  virtual ~CTrayNotifier();
  CTrayNotifier(const CTrayNotifier&) = delete;
  CTrayNotifier& operator=(const CTrayNotifier&) = delete;

  // Puts the owner window and its callback message into the record.
  void SetOwner(HWND owner, UINT callbackMessage);
  // Sets the tooltip (narrow text, cut to 63 bytes plus the terminator).
  void SetTooltip(const std::string& text);
  // Shows icon in the tray (add, or modify when one is shown); null removes a shown icon.
  void SetTrayIcon(HICON icon);
  // Deletes a shown icon from the tray; nothing when none is shown.
  void RemoveTrayIcon();
  // A mouse event on the icon: right-button-up shows the tray menu at the cursor with its first
  // item ("还原(&S)") as the default, after bringing the owner to the foreground; the chosen item
  // reaches the owner as WM_COMMAND. Left-double-click sends the owner the first item's command
  // at once. Returns 1 when handled, 0 for another icon id, another mouse message or a tray menu
  // that cannot be loaded.
  virtual LRESULT HandleTrayEvent(WPARAM iconId, LPARAM mouseMessage);

  const NOTIFYICONDATAA& IconData() const { return m_iconData; }
  bool IsIconShown() const { return m_iconData.hIcon != nullptr; }

private:
  // The flags every call carries: tip when the tooltip is set, message when the callback
  // message and the owner are.
  UINT TipAndMessageFlags() const;

  NotifyFunction m_notify;
  NOTIFYICONDATAA m_iconData;
};
