#include "winui/log_pane_edit.h"

#include "winui/win_text.h"

void CLogPaneEdit::Attach(HWND edit) {
  m_edit = edit;
  if (m_edit != nullptr) SendMessageW(m_edit, EM_SETLIMITTEXT, 0, 0);
}

int CLogPaneEdit::GetLineCount() const {
  if (m_edit == nullptr) return 0;
  return static_cast<int>(SendMessageW(m_edit, EM_GETLINECOUNT, 0, 0));
}

int CLogPaneEdit::LineIndex(int line) const {
  if (m_edit == nullptr) return -1;
  return static_cast<int>(SendMessageW(m_edit, EM_LINEINDEX, static_cast<WPARAM>(line), 0));
}

int CLogPaneEdit::LineLength(int charIndex) const {
  if (m_edit == nullptr) return 0;
  return static_cast<int>(SendMessageW(m_edit, EM_LINELENGTH, static_cast<WPARAM>(charIndex), 0));
}

void CLogPaneEdit::DeleteRange(int start, int end) {
  if (m_edit == nullptr) return;
  SendMessageW(m_edit, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
  SendMessageW(m_edit, EM_SCROLLCARET, 0, 0);
  SendMessageW(m_edit, WM_CLEAR, 0, 0);
}

void CLogPaneEdit::InsertAtStart(const std::string& text) {
  if (m_edit == nullptr) return;
  const std::wstring wide = SystemToWide(text);
  SendMessageW(m_edit, EM_SETSEL, 0, 0);
  SendMessageW(m_edit, EM_SCROLLCARET, 0, 0);
  SendMessageW(m_edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}
