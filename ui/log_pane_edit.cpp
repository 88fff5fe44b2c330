#include "ui/log_pane_edit.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

#include "ui/qt_text.h"

// A paragraph at document position p that is paragraph number n starts at character index
// p + n: the n breaks before it count two characters each instead of one.

CLogPaneEdit::CLogPaneEdit(QPlainTextEdit& edit) : m_edit(edit) {
  m_edit.setUndoRedoEnabled(false);
}

int CLogPaneEdit::GetLineCount() const {
  return m_edit.document()->blockCount();
}

int CLogPaneEdit::LineIndex(int line) const {
  const QTextBlock block = m_edit.document()->findBlockByNumber(line);
  if (!block.isValid()) return -1;
  return block.position() + line;
}

int CLogPaneEdit::LineOfIndex(int charIndex) const {
  // The last line whose start index is not after charIndex (binary search over line numbers).
  int low = 0;
  int high = GetLineCount() - 1;
  while (low < high) {
    const int middle = (low + high + 1) / 2;
    if (LineIndex(middle) <= charIndex) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

int CLogPaneEdit::LineLength(int charIndex) const {
  const QTextBlock block = m_edit.document()->findBlockByNumber(LineOfIndex(charIndex));
  return block.isValid() ? block.length() - 1 : 0;
}

int CLogPaneEdit::DocumentPosition(int charIndex) const {
  const int line = LineOfIndex(std::max(0, charIndex));
  const QTextBlock block = m_edit.document()->findBlockByNumber(line);
  const int offset = std::max(0, charIndex) - (block.position() + line);
  return block.position() + std::min(offset, block.length() - 1);
}

void CLogPaneEdit::DeleteRange(int start, int end) {
  const int from = DocumentPosition(start);
  const int to = DocumentPosition(end);
  if (to <= from) return;
  QTextCursor cursor = m_edit.textCursor();
  cursor.setPosition(from);
  cursor.setPosition(to, QTextCursor::KeepAnchor);
  m_edit.setTextCursor(cursor);
  m_edit.ensureCursorVisible();
  cursor.removeSelectedText();
  m_edit.setTextCursor(cursor);
}

void CLogPaneEdit::InsertAtStart(const std::string& text) {
  QTextCursor cursor = m_edit.textCursor();
  cursor.setPosition(0);
  m_edit.setTextCursor(cursor);
  m_edit.ensureCursorVisible();
  // The insertion turns CR LF (and a lone CR or LF) into one paragraph break.
  m_edit.insertPlainText(FromSystemText(text));
}
