#include "core/tray_notifier.h"

#include <algorithm>
#include <cstring>

#include "res/strings.h"

CTrayNotifier::CTrayNotifier(std::unique_ptr<ITrayBackend> backend)
    : m_backend(std::move(backend)) {
  SetTooltip(LoadResString(static_cast<int>(kTrayIconId)));
}

CTrayNotifier::~CTrayNotifier() {
  RemoveTrayIcon();
}

void CTrayNotifier::SetOwner(ITrayOwner* owner, std::uint32_t callbackMessage) {
  m_record.owner = owner;
  m_record.callbackMessage = callbackMessage;
}

void CTrayNotifier::SetTooltip(const std::string& text) {
  const std::size_t length = std::min(text.size(), sizeof m_record.tip - 1);
  std::memset(m_record.tip, 0, sizeof m_record.tip);
  std::memcpy(m_record.tip, text.data(), length);
}

std::uint32_t CTrayNotifier::TipAndMessageFlags() const {
  std::uint32_t flags = 0;
  if (m_record.tip[0] != '\0') flags |= kTrayFlagTip;
  if (m_record.callbackMessage != 0 && m_record.owner != nullptr) flags |= kTrayFlagMessage;
  return flags;
}

void CTrayNotifier::SetTrayIcon(const void* icon) {
  std::uint32_t operation = kTrayAdd;
  m_record.flags = 0;
  if (icon != nullptr) {
    operation = m_record.icon != nullptr ? kTrayModify : kTrayAdd;
    m_record.icon = icon;
    m_record.flags |= kTrayFlagIcon;
  } else {
    if (m_record.icon == nullptr) return;
    operation = kTrayDelete;
  }
  m_record.flags |= TipAndMessageFlags();
  const bool done = m_backend->NotifyIcon(operation, m_record);
  if (operation == kTrayDelete || !done) m_record.icon = nullptr;
}

void CTrayNotifier::RemoveTrayIcon() {
  if (m_record.icon == nullptr) return;
  m_record.flags = TipAndMessageFlags();
  m_backend->NotifyIcon(kTrayDelete, m_record);
  m_record.icon = nullptr;
}

int CTrayNotifier::HandleTrayEvent(std::uint32_t iconId, std::uint32_t mouseMessage) {
  if (iconId != m_record.id) return 0;
  ITrayOwner* owner = m_record.owner;
  if (mouseMessage == kTrayRightButtonUp) {
    if (owner == nullptr) return 0;
    return m_backend->ShowTrayMenu(*owner) ? 1 : 0;
  }
  if (mouseMessage == kTrayLeftButtonDoubleClick) {
    const int first = m_backend->FirstTrayCommand();
    if (first == 0) return 0;
    if (owner != nullptr) owner->SendCommand(first);
    return 1;
  }
  return 0;
}
