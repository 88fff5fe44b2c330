#include "ui/log_pane_edit.h"

#include <QPlainTextEdit>
#include <QString>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "ui/qt_text.h"

namespace {

// The edit's content written as an edit control holds it: lines joined by CR LF.
std::string ControlText(const QPlainTextEdit& edit) {
  QString text = edit.toPlainText();
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return ToSystemText(text);
}

std::string WithoutStamps(const std::string& text) {
  static const std::regex stamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  return std::regex_replace(text, stamp, "<stamp>");
}

class LogPaneEditTest : public testing::Test {
protected:
  QPlainTextEdit m_edit;
  CLogPaneEdit m_pane{m_edit};
};

TEST_F(LogPaneEditTest, EmptyControlCountsOneLineStartingAtZero) {
  EXPECT_EQ(m_pane.GetLineCount(), 1);
  EXPECT_EQ(m_pane.LineIndex(0), 0);
  EXPECT_EQ(m_pane.LineIndex(1), -1);
  EXPECT_EQ(m_pane.LineLength(0), 0);
}

TEST_F(LogPaneEditTest, CrLfCountsTwoCharactersBetweenLines) {
  m_pane.InsertAtStart("abc\r\nde\r\n");
  EXPECT_EQ(m_edit.toPlainText(), QStringLiteral("abc\nde\n"));
  EXPECT_EQ(m_pane.GetLineCount(), 3);
  EXPECT_EQ(m_pane.LineIndex(0), 0);
  EXPECT_EQ(m_pane.LineIndex(1), 5);
  EXPECT_EQ(m_pane.LineIndex(2), 9);
  EXPECT_EQ(m_pane.LineLength(0), 3);
  EXPECT_EQ(m_pane.LineLength(4), 3);  // the LF still belongs to the first line
  EXPECT_EQ(m_pane.LineLength(5), 2);
  EXPECT_EQ(m_pane.LineLength(8), 2);
  EXPECT_EQ(m_pane.LineLength(9), 0);
}

TEST_F(LogPaneEditTest, DeletingALineWithItsCrLfJoinsNothing) {
  m_pane.InsertAtStart("one\r\ntwo\r\nthree\r\n");
  // Remove "two\r\n": from the start of line 1 to the start of line 2.
  m_pane.DeleteRange(m_pane.LineIndex(1), m_pane.LineIndex(2));
  EXPECT_EQ(m_edit.toPlainText(), QStringLiteral("one\nthree\n"));
  m_pane.DeleteRange(5, 5);
  m_pane.DeleteRange(7, 3);
  EXPECT_EQ(m_edit.toPlainText(), QStringLiteral("one\nthree\n"));
}

TEST_F(LogPaneEditTest, InsertionGoesToTheTopAndLeavesNoUndo) {
  m_pane.InsertAtStart("old\r\n");
  m_pane.InsertAtStart("new\r\n");
  EXPECT_EQ(m_edit.toPlainText(), QStringLiteral("new\nold\n"));
  EXPECT_FALSE(m_edit.document()->isUndoAvailable());
  EXPECT_EQ(m_edit.textCursor().position(), 4);  // the caret follows the inserted text
}

TEST_F(LogPaneEditTest, SystemCodePageTextArrivesAsCharacters) {
  m_pane.InsertAtStart(SystemText("成功打开套接字端口8089\r\n"));
  EXPECT_EQ(m_edit.toPlainText(), QStringLiteral("成功打开套接字端口8089\n"));
}

TEST_F(LogPaneEditTest, FirstEntryMakesTheOnlyLineAndTwoControlLines) {
  LogToPane(m_pane, "hello");
  EXPECT_EQ(m_pane.GetLineCount(), 2);
  const QString text = m_edit.toPlainText();
  EXPECT_TRUE(text.endsWith(QStringLiteral(" hello\n"))) << text.toStdString();
  EXPECT_EQ(text.size(), 19 + 1 + 5 + 1);  // stamp, blank, text, break
}

// The pane over the edit prunes exactly as the in-memory pane does, also with multi-byte
// characters (the edit counts characters, the memory pane bytes) and multi-line entries.
TEST_F(LogPaneEditTest, PrunesLikeTheInMemoryPane) {
  CTextLogPane reference;
  for (int i = 0; i < 260; ++i) {
    std::string text = "entry " + std::to_string(i);
    if (i % 3 == 0) text += SystemText(" 组操作信息");
    if (i % 17 == 0) text += "\r\nsecond line";
    if (i % 29 == 0) text.clear();
    LogToPane(reference, text);
    LogToPane(m_pane, text);
    ASSERT_EQ(m_pane.GetLineCount(), reference.GetLineCount()) << "after entry " << i;
  }
  // The two panes may have stamped an entry a second apart.
  EXPECT_EQ(WithoutStamps(ControlText(m_edit)), WithoutStamps(reference.Text()));
}

}  // namespace
