// The log pane's text operations (ILogPane) over the window's QPlainTextEdit.
//
// The activity log's pruning rule counts edit-control lines and characters with CR LF line
// breaks. A QPlainTextEdit keeps paragraphs instead, so this adapter presents its content as the
// edit control would: every paragraph is a line, every paragraph break counts as the two
// characters CR LF, and the empty paragraph after the final break is the control's empty last
// line. Character indices count the control's UTF-16 characters (the control's own unit).
// Entries arrive as narrow texts in the system code page; their CR LF becomes a paragraph break.
// Edits move the control's caret and scroll it into view, as the edit-control messages do, and
// leave no undo history (the pane is written for the whole run; undo steps would pile up).
//
// Error rule: nothing fails; indices outside the text are clamped. Thread rule: UI thread only.
// Ownership: borrows the edit control, which must outlive the adapter.
#pragma once

#include "core/activity_log.h"

class QPlainTextEdit;

class CLogPaneEdit final : public ILogPane {
public:
  explicit CLogPaneEdit(QPlainTextEdit& edit);

  int GetLineCount() const override;
  int LineIndex(int line) const override;
  int LineLength(int charIndex) const override;
  void DeleteRange(int start, int end) override;
  void InsertAtStart(const std::string& text) override;

private:
  // The line that holds a character index (the last line for indices past the end).
  int LineOfIndex(int charIndex) const;
  // The document position of a character index (a position inside a CR LF maps to the break).
  int DocumentPosition(int charIndex) const;

  QPlainTextEdit& m_edit;
};
