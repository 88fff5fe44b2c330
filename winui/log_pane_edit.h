// The log pane's text operations (ILogPane) over the window's EDIT control.
//
// Each operation is the edit-control message of the activity log: EM_GETLINECOUNT,
// EM_LINEINDEX, EM_LINELENGTH, then EM_SETSEL, EM_SCROLLCARET and WM_CLEAR to delete a range,
// EM_SETSEL, EM_SCROLLCARET and EM_REPLACESEL (no undo) to insert at the start. The control is a
// Unicode one: entries arrive as narrow texts in the system code page and are converted, and the
// indices count the control's own UTF-16 characters, which is what the pruning rule gets back
// from it and hands to it. The control's text limit is lifted when the adapter attaches, so that
// a full pane of long lines is never cut short by the default limit of 32767 characters.
//
// Error rule: nothing fails; with no control (null window) every count is 0 and edits do
// nothing. Thread rule: UI thread only. Ownership: borrows the control, which must outlive
// the adapter's use of it.
#pragma once

#include "core/activity_log.h"
#include "winui/win32_headers.h"

class CLogPaneEdit final : public ILogPane {
public:
  explicit CLogPaneEdit(HWND edit = nullptr) { Attach(edit); }

  void Attach(HWND edit);
  HWND Window() const { return m_edit; }

  // ILogPane through the edit control's messages: the insert at the start, the line measures
  // (EM_GETLINECOUNT, EM_LINEINDEX, EM_LINELENGTH) and the delete of a range.
  void InsertAtStart(const std::string& text) override;
  int GetLineCount() const override;
  int LineIndex(int line) const override;
  int LineLength(int charIndex) const override;
  void DeleteRange(int start, int end) override;

private:
  HWND m_edit = nullptr;
};
