// The tray backend of the Win32 window: the shell's Shell_NotifyIconA and the tray menu from
// resource 135.
//
// NotifyIcon turns the frame core's record into the platform's NOTIFYICONDATAA in its first form
// (88 bytes in a 32-bit build, 104 in a 64-bit one, where the pointers are wider): the owner
// window, icon id 135, flags, callback message WM_TRAYNOTIFY, the icon handle and the 64-byte
// tooltip. The tray menu is tracked over the owner window, so the chosen item reaches it as
// WM_COMMAND.
//
// Error rule: the shell's failures are the operation's false result. Thread rule: UI thread
// only. Ownership: the owner window and the icon handle are borrowed.
#pragma once

#include <functional>

#include "core/tray_notifier.h"
#include "winui/win32_headers.h"

// The record's size in its first form on this platform.
constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAA_V1_SIZE;
static_assert(kNotifyIconDataSize == (sizeof(void*) == 4 ? 88 : 104));

class CShellTrayBackend final : public ITrayBackend {
public:
  // The shell's Shell_NotifyIconA; tests give a recorder.
  using NotifyFunction = std::function<BOOL(DWORD operation, NOTIFYICONDATAA* data)>;

  // ownerWindow gives the window that owns the icon (the frame's, once it exists).
  explicit CShellTrayBackend(std::function<HWND()> ownerWindow, NotifyFunction notify = nullptr);

  bool NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) override;
  int FirstTrayCommand() override;
  bool ShowTrayMenu(ITrayOwner& owner) override;

  // The record as the shell got it last.
  const NOTIFYICONDATAA& IconData() const { return m_iconData; }

private:
  std::function<HWND()> m_ownerWindow;
  NotifyFunction m_notify;
  NOTIFYICONDATAA m_iconData;
};
