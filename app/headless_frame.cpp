#include "app/headless_frame.h"

#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/standard_output.h"

namespace {

// No tray: adding an icon fails, so the notifier stays in its no-icon state.
class CNoTray final : public ITrayBackend {
public:
  bool NotifyIcon(std::uint32_t, const TrayIconRecord&) override { return false; }
  int FirstTrayCommand() override { return 0; }
  bool ShowTrayMenu(ITrayOwner&) override { return false; }
};

}  // namespace

CHeadlessFrame::CHeadlessFrame(bool backgroundMode, std::function<void()> closeHandler)
    : m_closeHandler(std::move(closeHandler)),
      m_uiApartment(CApartment::ForCurrentThread()),
      m_core(*this, *this, backgroundMode, std::make_unique<CNoTray>()) {
  m_core.SetLogPane(&m_pane);
}

FrameAnswer CHeadlessFrame::ShowBox(FrameBox kind, const WideString&, const WideString& text) {
  // An error or the usage is written out; a confirmation keeps the gateway running.
  if (kind == FrameBox::kCloseConfirmation) return FrameAnswer::kYes;
  WriteStandardOutput(WideToMultiByte(text));
  return FrameAnswer::kOk;
}

void CHeadlessFrame::PostClose() {
  if (!m_closeHandler) {
    LogCloseDeclined(*this);
    return;
  }
  m_uiApartment->Post(m_closeHandler);
}
