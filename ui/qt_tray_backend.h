// The tray backend over QSystemTrayIcon, with the tray menu as a Qt menu.
//
// Add fails when the desktop has no tray host (QSystemTrayIcon::isSystemTrayAvailable) or when
// the icon already exists; modify and delete fail when it does not exist. The record's icon is a
// QIcon's address. Clicks on the icon reach the record's owner as its callback message, queued on
// the UI thread as a posted window message would be: a right click as WM_RBUTTONUP, a double
// click as WM_LBUTTONDBLCLK, a single left click as WM_LBUTTONUP and a middle click as
// WM_MBUTTONUP. The tray menu shows without blocking and deletes itself once closed.
//
// Error rule: failures are the operation's false result. Thread rule: UI thread only.
// Ownership: owns the QSystemTrayIcon and a tray menu still shown; the owner in the record is
// borrowed and must outlive the backend (callbacks still queued when the backend goes are
// dropped).
#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdint>

#include "core/tray_notifier.h"

// Mouse messages of the tray protocol besides those the notifier handles.
constexpr std::uint32_t WM_LBUTTONUP = 0x0202;
constexpr std::uint32_t WM_MBUTTONUP = 0x0208;

// The mouse message that stands for a tray activation.
std::uint32_t MouseMessageOf(QSystemTrayIcon::ActivationReason reason);

class CQtTrayBackend final : public ITrayBackend {
public:
  // requireTrayHost false lets the add succeed without a tray host (tests).
  explicit CQtTrayBackend(bool requireTrayHost = true) : m_requireTrayHost(requireTrayHost) {}
  ~CQtTrayBackend() override;

  bool NotifyIcon(std::uint32_t operation, const TrayIconRecord& record) override;
  int FirstTrayCommand() override;
  bool ShowTrayMenu(ITrayOwner& owner) override;

  // The icon while it exists, else null.
  QSystemTrayIcon* Icon() const { return m_icon; }
  // The tray menu while it is shown, else null.
  QMenu* ShownMenu() const { return m_shownMenu.data(); }

private:
  // Applies the fields that record.flags names.
  void Apply(const TrayIconRecord& record);
  void OnActivated(QSystemTrayIcon::ActivationReason reason);

  const bool m_requireTrayHost;
  QObject m_context;  // receiver of the queued callbacks; dropping it drops them
  QSystemTrayIcon* m_icon = nullptr;
  ITrayOwner* m_owner = nullptr;
  std::uint32_t m_iconId = 0;
  std::uint32_t m_callbackMessage = 0;
  QPointer<QMenu> m_shownMenu;
};
