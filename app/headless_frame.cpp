#include "app/headless_frame.h"

#include "app/standard_output.h"
#include "platform/apartment.h"

CHeadlessFrame::CHeadlessFrame(bool backgroundMode, std::function<void()> closeHandler)
    : m_backgroundMode(backgroundMode),
      m_closeHandler(std::move(closeHandler)),
      m_uiApartment(CApartment::ForCurrentThread()) {}

CHeadlessFrame::~CHeadlessFrame() = default;

void CHeadlessFrame::LogToWindow(std::string text) {
  LogToPane(m_pane, text);
  if (m_backgroundMode) MirrorPaneEntryToFile(text);  // the pane is never seen
}

void CHeadlessFrame::SetMessageText(std::string text) {
  std::lock_guard lock(m_messageMutex);
  m_messageText = std::move(text);
}

std::string CHeadlessFrame::MessageText() const {
  std::lock_guard lock(m_messageMutex);
  return m_messageText;
}

void CHeadlessFrame::ShowErrorMessage(const std::string& text) {
  WriteStandardOutput(text);
}

void CHeadlessFrame::PostCloseRequest() {
  if (m_backgroundMode || !m_closeHandler) {
    LogCloseDeclined(*this);
    return;
  }
  m_uiApartment->Post(m_closeHandler);
}
