// The notification-area (tray) icon of the main window: its record, its add, modify and delete
// operations, and its mouse handling.
//
// CTrayNotifier keeps the icon record m_iconData in the record's first, 88-byte form (owner,
// icon id 135, flags, callback message, icon, 64-byte tooltip) and hands it to a tray backend
// with an add, modify or delete operation. The icon in the record doubles as the state: null
// means no icon is in the tray. The backend reports mouse events on the icon to the owner as the
// record's callback message (icon id and mouse message), and the owner passes them back to
// HandleTrayEvent, which shows the tray menu or restores the window.
//
// Error rule: nothing throws; a backend operation that fails leaves the notifier without icon.
// Thread rule: UI thread only. Ownership: the notifier owns its backend and any tray menu it
// shows; the owner and the icon are borrowed and must outlive the notifier's use of them.
#pragma once

#include <QMenu>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>

class QIcon;

// Window messages of the tray protocol.
constexpr std::uint32_t WM_TRAYNOTIFY = 0x0400 + 2;  // WM_USER+2: the tray's callback message
constexpr std::uint32_t WM_LBUTTONUP = 0x0202;
constexpr std::uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr std::uint32_t WM_RBUTTONUP = 0x0205;
constexpr std::uint32_t WM_MBUTTONUP = 0x0208;

// Tray operations and record flags.
constexpr std::uint32_t NIM_ADD = 0;
constexpr std::uint32_t NIM_MODIFY = 1;
constexpr std::uint32_t NIM_DELETE = 2;
constexpr std::uint32_t NIF_MESSAGE = 0x1;
constexpr std::uint32_t NIF_ICON = 0x2;
constexpr std::uint32_t NIF_TIP = 0x4;

constexpr std::uint32_t kNotifyIconDataSize = 88;  // the record's first form
constexpr std::uint32_t kTrayIconId = 135;         // also the tray menu's resource id

// The window that owns the tray icon.
class ITrayOwner {
public:
  // Delivers the record's callback message: wParam is the icon id, lParam the mouse message.
  // Returns the handler's result (0 when not handled).
  virtual long SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                               std::uint32_t mouseMessage) = 0;
  // Brings the window to the foreground (before the tray menu shows).
  virtual void SetForegroundWindow() = 0;
  // Runs a menu command as if chosen from the window's own menu.
  virtual void SendCommand(int commandId) = 0;

protected:
  ~ITrayOwner() = default;
};

struct NotifyIconData {
  std::uint32_t cbSize = 0;
  ITrayOwner* hWnd = nullptr;
  std::uint32_t uID = 0;
  std::uint32_t uFlags = 0;
  std::uint32_t uCallbackMessage = 0;
  const QIcon* hIcon = nullptr;
  char szTip[64] = {};
};

// Where the icon is shown. The Qt backend uses QSystemTrayIcon; tests use a fake.
class ITrayBackend {
public:
  virtual ~ITrayBackend() = default;
  // Adds, modifies or deletes the icon named by data.uID; true on success. Add fails when the
  // icon already exists or no tray exists; modify and delete fail when it does not exist.
  virtual bool NotifyIcon(std::uint32_t operation, const NotifyIconData& data) = 0;
};

class CTrayNotifier {
public:
  // Zeroes the record, sets its size (88), icon id (135) and the tooltip of string 135.
  explicit CTrayNotifier(std::unique_ptr<ITrayBackend> backend);
  // Removes the icon from the tray when one is shown.
  virtual ~CTrayNotifier();
  CTrayNotifier(const CTrayNotifier&) = delete;
  CTrayNotifier& operator=(const CTrayNotifier&) = delete;

  // Puts the owner and its callback message into the record.
  void SetOwner(ITrayOwner* owner, std::uint32_t callbackMessage);
  // Sets the tooltip (narrow text, cut to 63 bytes plus the terminator).
  void SetTooltip(const std::string& text);
  // Shows icon in the tray (add, or modify when one is shown); null removes a shown icon.
  void SetTrayIcon(const QIcon* icon);
  // Deletes a shown icon from the tray; nothing when none is shown.
  void RemoveTrayIcon();
  // A mouse event on the icon: right-button-up shows the tray menu at the cursor with its first
  // item as the default, left-double-click sends the first item's command (restore). Returns 1
  // when handled, 0 for another icon id or another mouse message.
  virtual int HandleTrayEvent(std::uint32_t iconId, std::uint32_t mouseMessage);

  const NotifyIconData& IconData() const { return m_iconData; }
  bool IsIconShown() const { return m_iconData.hIcon != nullptr; }
  // The tray menu while it is shown, else null.
  QMenu* ShownMenu() const { return m_shownMenu.data(); }

private:
  // The flags that every call carries: tip when the tooltip is set, message when the callback
  // message and the owner are.
  std::uint32_t TipAndMessageFlags() const;

  std::unique_ptr<ITrayBackend> m_backend;
  NotifyIconData m_iconData;
  QPointer<QMenu> m_shownMenu;
};
