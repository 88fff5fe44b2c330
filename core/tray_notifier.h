// The notification-area (tray) icon of the main window: its record, its add, modify and delete
// operations, and its mouse handling, the same for every window toolkit.
//
// CTrayNotifier keeps the icon record (icon id 135, flags, callback message, icon, 64-byte
// tooltip) and hands it to a tray backend with an add, modify or delete operation; the backend
// shows it (the shell's Shell_NotifyIconA, Qt's QSystemTrayIcon, a test's recorder). The icon is
// an opaque handle of the front end (HICON, a QIcon's address); in the record it doubles as the
// state: null means no icon is in the tray. The backend reports mouse events on the icon to the
// owner as the record's callback message, and the owner passes them back to HandleTrayEvent,
// which shows the tray menu or sends the owner the menu's first command (restore).
//
// Error rule: nothing throws; a backend operation that fails leaves the notifier without icon.
// Thread rule: UI thread only. Ownership: the notifier owns its backend; the owner and the icon
// are borrowed and must outlive the notifier's use of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Window messages of the tray protocol.
constexpr std::uint32_t WM_TRAYNOTIFY = 0x0400 + 2;   // WM_USER+2: the tray's callback message
constexpr std::uint32_t kTrayRightButtonUp = 0x0205;  // WM_RBUTTONUP
constexpr std::uint32_t kTrayLeftButtonDoubleClick = 0x0203;  // WM_LBUTTONDBLCLK

// Tray operations and record flags, as the shell numbers them.
constexpr std::uint32_t kTrayAdd = 0;            // NIM_ADD
constexpr std::uint32_t kTrayModify = 1;         // NIM_MODIFY
constexpr std::uint32_t kTrayDelete = 2;         // NIM_DELETE
constexpr std::uint32_t kTrayFlagMessage = 0x1;  // NIF_MESSAGE
constexpr std::uint32_t kTrayFlagIcon = 0x2;     // NIF_ICON
constexpr std::uint32_t kTrayFlagTip = 0x4;      // NIF_TIP

constexpr std::uint32_t kTrayIconId = 135;  // also the tray menu's resource id

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

struct TrayIconRecord {
  ITrayOwner* owner = nullptr;
  std::uint32_t id = kTrayIconId;
  std::uint32_t flags = 0;
  std::uint32_t callbackMessage = 0;
  const void* icon = nullptr;
  char tip[64] = {};
};

// Where the icon is shown, and the tray menu.
class ITrayBackend {
public:
  virtual ~ITrayBackend() = default;
  // Adds, modifies or deletes the icon named by record.id; true on success. Add fails when the
  // icon already exists or no tray exists; modify and delete fail when it does not exist.
  virtual bool NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) = 0;
  // The tray menu's first command (the default item, restore); 0 when the menu cannot be loaded.
  virtual int FirstTrayCommand() = 0;
  // Brings owner to the foreground and shows the tray menu at the cursor, its first item as the
  // default; the chosen item reaches owner as its command. False (and nothing done) when the
  // menu cannot be loaded.
  virtual bool ShowTrayMenu(ITrayOwner& owner) = 0;
};

class CTrayNotifier {
public:
  // The record starts with icon id 135 and the tooltip of string 135.
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
  void SetTrayIcon(const void* icon);
  // Deletes a shown icon from the tray; nothing when none is shown.
  void RemoveTrayIcon();
  // A mouse event on the icon: right-button-up shows the tray menu over the owner;
  // left-double-click sends the owner the menu's first command at once. Returns 1
  // when handled, 0 for another icon id, another mouse message or a menu that cannot be loaded.
  virtual int HandleTrayEvent(std::uint32_t iconId, std::uint32_t mouseMessage);

  const TrayIconRecord& IconData() const { return m_record; }
  bool IsIconShown() const { return m_record.icon != nullptr; }
  ITrayBackend& Backend() { return *m_backend; }

private:
  // The flags that every call carries: tip when the tooltip is set, message when the callback
  // message and the owner are.
  std::uint32_t TipAndMessageFlags() const;

  std::unique_ptr<ITrayBackend> m_backend;
  TrayIconRecord m_record;
};
