#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "core/activity_log.h"
#include "platform/codepage.h"
#include "res/strings.h"
#include "tests/ui/ui_test_support.h"
#include "ui/client_pane.h"
#include "ui/qt_text.h"
#include "ui/qt_tray_backend.h"

namespace {

using Request = CMainFrame::MessageBoxRequest;

struct ExpectedItem {
  int id;  // 0: separator
  const char* text;
};

class MainFrameTest : public testing::Test {
protected:
  void SetUp() override { MakeFrame(false); }

  void MakeFrame(bool backgroundMode) {
    m_frame.reset();
    m_tray = std::make_shared<CFakeTrayBackend::State>();
    m_frame =
        std::make_unique<CMainFrame>(backgroundMode, std::make_unique<CFakeTrayBackend>(m_tray));
    m_frame->SetMessageBoxHook([this](const Request& request) {
      m_boxes.push_back(request);
      return m_answer;
    });
    m_frame->Core().SetWindowDestroyingHandler([this] { ++m_teardowns; });
    m_teardowns = 0;  // the frame replaced above counted its own
    m_boxes.clear();
  }

  void ShowFrame() {
    m_frame->show();
    ASSERT_TRUE(WaitFor([&] { return m_frame->isVisible(); }));
  }

  QStringList PaneLines() const {
    return m_frame->LogPane()->toPlainText().split(QLatin1Char('\n'));
  }

  std::shared_ptr<CFakeTrayBackend::State> m_tray;
  std::unique_ptr<CMainFrame> m_frame;
  std::vector<Request> m_boxes;
  QMessageBox::StandardButton m_answer = QMessageBox::Yes;
  int m_teardowns = 0;
};

void ExpectItems(const QMenu& menu, const std::vector<ExpectedItem>& expected) {
  const QList<QAction*> items = menu.actions();
  ASSERT_EQ(static_cast<std::size_t>(items.size()), expected.size()) << menu.title().toStdString();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].id == 0) {
      EXPECT_TRUE(items[i]->isSeparator()) << i;
      continue;
    }
    EXPECT_EQ(items[i]->text(), QString::fromUtf8(expected[i].text)) << i;
    EXPECT_EQ(items[i]->data().toInt(), expected[i].id) << i;
  }
}

// --- Menus and log switches ---

TEST_F(MainFrameTest, MenuTextsAndIdsAreInOrder) {
  const QList<QMenu*> popups = m_frame->Popups();
  ASSERT_EQ(popups.size(), 3);
  EXPECT_EQ(popups[0]->title(), QStringLiteral("文件(&F)"));
  EXPECT_EQ(popups[1]->title(), QStringLiteral("视图(V)"));
  EXPECT_EQ(popups[2]->title(), QStringLiteral("帮助(&H)"));
  ExpectItems(
      *popups[0],
      {{32785, "创建OpcServer"}, {32786, "销毁OpcServer"}, {0, nullptr}, {57665, "退出(&X)"}});
  ExpectItems(*popups[1], {{32780, "隐藏(&H)"},
                           {32782, "输出值改变信息"},
                           {32783, "输出值写入信息"},
                           {32784, "输出组操作信息"},
                           {32787, "输出数据项操作信息"}});
  ExpectItems(*popups[2], {{57664, "关于该软件(&A)..."}, {32788, "命令行参数 ..."}});
}

TEST_F(MainFrameTest, ChoosingGroupOperationsTwiceLeavesItCheckedAndOn) {
  QAction* item = m_frame->FindMenuCommand(32784);
  item->trigger();  // as chosen from the menu
  EXPECT_FALSE(item->isChecked());
  EXPECT_FALSE(m_frame->Core().Switches().logGroupOps);
  item->trigger();
  EXPECT_TRUE(item->isChecked());
  EXPECT_TRUE(m_frame->Core().Switches().logGroupOps);
}

TEST_F(MainFrameTest, HideAndValueChangeItemsShowTheirPromptsInTheStatusBar) {
  EXPECT_EQ(m_frame->FindMenuCommand(32780)->statusTip(), ResourceText(32780));
  EXPECT_EQ(m_frame->FindMenuCommand(32780)->statusTip(), QStringLiteral("最小化到系统托盘区"));
  EXPECT_EQ(m_frame->FindMenuCommand(32782)->statusTip(),
            QStringLiteral("在窗口中显示变量值改变通知发送信息"));
  for (int id : {32785, 32786, 57665, 32783, 32784, 32787, 57664, 32788}) {
    EXPECT_TRUE(m_frame->FindMenuCommand(id)->statusTip().isEmpty()) << id;
  }
  // Highlighting the item in the open View menu shows its prompt; an item without one clears
  // it again, and so does closing the menu.
  ShowFrame();
  QMenu* view = m_frame->Popups()[1];
  m_frame->menuBar()->setActiveAction(view->menuAction());
  ASSERT_TRUE(WaitFor([&] { return view->isVisible(); }));
  view->setActiveAction(m_frame->FindMenuCommand(32780));
  EXPECT_EQ(m_frame->statusBar()->currentMessage(), QStringLiteral("最小化到系统托盘区"));
  view->setActiveAction(m_frame->FindMenuCommand(32783));
  EXPECT_TRUE(m_frame->statusBar()->currentMessage().isEmpty());
  view->setActiveAction(m_frame->FindMenuCommand(32782));
  EXPECT_EQ(m_frame->statusBar()->currentMessage(),
            QStringLiteral("在窗口中显示变量值改变通知发送信息"));
  view->hide();
  EXPECT_TRUE(WaitFor([&] { return m_frame->statusBar()->currentMessage().isEmpty(); }));
}

TEST_F(MainFrameTest, UsageItemShowsString131WithOk) {
  m_frame->FindMenuCommand(32788)->trigger();
  ASSERT_EQ(m_boxes.size(), 1u);
  QString usage = ResourceText(131);
  usage.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  EXPECT_FALSE(usage.isEmpty());
  EXPECT_EQ(m_boxes[0].text, usage);
  EXPECT_EQ(m_boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_EQ(m_boxes[0].caption, QStringLiteral("Quarnix"));
}

TEST_F(MainFrameTest, CloseAnsweredYesKeepsWindowAndChangesNothing) {
  ShowFrame();
  m_answer = QMessageBox::Yes;
  EXPECT_FALSE(m_frame->close());
  ASSERT_EQ(m_boxes.size(), 1u);
  const Request& box = m_boxes[0];
  EXPECT_EQ(box.text, QStringLiteral("保留窗口程序不退出吧？"));
  EXPECT_EQ(box.caption, QStringLiteral("关闭后，同设备通讯将会中断！"));
  EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box.icon, QMessageBox::Warning);
  EXPECT_EQ(box.safeButton, QMessageBox::Yes);  // Escape keeps the gateway running
  EXPECT_TRUE(m_frame->isVisible());
  EXPECT_EQ(m_teardowns, 0);
  EXPECT_FALSE(m_frame->IsDestroyed());
}

TEST_F(MainFrameTest, CloseAnsweredNoTearsDownClosesAndEndsTheLoop) {
  ShowFrame();
  m_answer = QMessageBox::No;
  EXPECT_TRUE(m_frame->close());
  EXPECT_EQ(m_teardowns, 1);
  EXPECT_TRUE(m_frame->IsDestroyed());
  EXPECT_FALSE(m_frame->isVisible());

  // The queued exit ends the application's loop with code 0.
  EXPECT_EQ(RunApplicationLoop(), 0);

  m_frame.reset();
  EXPECT_EQ(m_teardowns, 1);  // not again at destruction
}

TEST_F(MainFrameTest, EscapeOrClosedBoxCountsAsKeepRunning) {
  ShowFrame();
  m_answer = QMessageBox::Cancel;  // what a dismissed box would report, were it not Yes
  EXPECT_FALSE(m_frame->close());
  EXPECT_EQ(m_teardowns, 0);
}

TEST_F(MainFrameTest, ExitItemAndCloseRequestPassTheSameConfirmation) {
  ShowFrame();
  m_frame->FindMenuCommand(57665)->trigger();
  EXPECT_EQ(m_boxes.size(), 1u);

  m_frame->PostCloseRequest();
  EXPECT_EQ(m_boxes.size(), 1u);  // queued, never inside the call
  EXPECT_TRUE(WaitFor([&] { return m_boxes.size() == 2; }));
  EXPECT_EQ(m_boxes[1].text, QStringLiteral("保留窗口程序不退出吧？"));
  EXPECT_TRUE(m_frame->isVisible());
}

TEST_F(MainFrameTest, BackgroundModeDeclinesCloseRequestsWithALogLine) {
  MakeFrame(true);
  m_frame->PostCloseRequest();
  m_frame->close();
  ProcessPostedEvents();
  EXPECT_TRUE(m_boxes.empty());
  EXPECT_EQ(m_teardowns, 0);
  // The hidden window's pane keeps its entries as text; the edit, never seen, stays empty.
  EXPECT_TRUE(m_frame->LogPane()->toPlainText().isEmpty());
  const std::string& text = m_frame->HiddenPane().Text();
  EXPECT_EQ(m_frame->HiddenPane().GetLineCount(), 3);  // two entries and the empty last line
  const std::string declined = SystemText(CloseDeclinedText()) + "\r\n";
  EXPECT_EQ(text.find(declined), text.find("\r\n") + 2 - declined.size());

  std::ifstream file(kLogFileName, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_NE(content.str().rfind(SystemText(CloseDeclinedText())), std::string::npos);
}

// --- Error messages ---

TEST_F(MainFrameTest, ErrorMessageIsABoxWithErrorIconAndOk) {
  m_frame->ShowErrorMessage(SystemText("打开网络端口 8089 错误"));
  ASSERT_EQ(m_boxes.size(), 1u);
  EXPECT_EQ(m_boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(m_boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_EQ(m_boxes[0].text, QStringLiteral("打开网络端口 8089 错误"));
}

TEST_F(MainFrameTest, LogPaneSitsAtTheFixedClientRectangle) {
  QPlainTextEdit* pane = m_frame->LogPane();
  EXPECT_EQ(pane->parentWidget(), m_frame->ClientPane());
  EXPECT_EQ(m_frame->centralWidget(), m_frame->ClientPane());
  EXPECT_EQ(pane->geometry(), QRect(1, 1, 579, 219));
  EXPECT_EQ(pane->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_FALSE(pane->isReadOnly());
  m_frame->resize(900, 700);
  ShowFrame();
  m_frame->resize(300, 200);
  QCoreApplication::processEvents();
  EXPECT_EQ(pane->geometry(), QRect(1, 1, 579, 219));
}

TEST_F(MainFrameTest, FocusGivenToTheFrameGoesToTheLogPane) {
  ShowFrame();
  m_frame->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return m_frame->isActiveWindow(); }));
  m_frame->LogPane()->clearFocus();
  m_frame->setFocus();
  EXPECT_TRUE(WaitFor([&] { return m_frame->LogPane()->hasFocus(); }));
}

TEST_F(MainFrameTest, MessageTextIsShownAtOnce) {
  // Listener threads post their texts to the UI thread, which sets them here.
  m_frame->SetMessageText(SystemText("未知程序错误"));
  EXPECT_EQ(m_frame->MessagePane()->text(), QStringLiteral("未知程序错误"));
}

// --- Hide to tray and restore ---

TEST_F(MainFrameTest, HideRestoreHideAddsDeletesAndAddsTheIcon) {
  ShowFrame();
  m_frame->FindMenuCommand(32780)->trigger();
  EXPECT_FALSE(m_frame->isVisible());
  ASSERT_EQ(Operations(*m_tray), (std::vector<std::uint32_t>{kTrayAdd}));
  const TrayIconRecord& added = m_tray->calls[0].record;
  EXPECT_NE(added.owner, nullptr);
  EXPECT_NE(added.icon, nullptr);  // the window's own icon

  m_frame->OnCmdMsg(32779);
  EXPECT_TRUE(m_frame->isVisible());
  EXPECT_FALSE(m_frame->isMaximized() || m_frame->isMinimized());
  m_frame->OnCmdMsg(32780);
  EXPECT_FALSE(m_frame->isVisible());
  EXPECT_EQ(Operations(*m_tray), (std::vector<std::uint32_t>{kTrayAdd, kTrayDelete, kTrayAdd}));
}

TEST_F(MainFrameTest, QtTrayMenuRestoreAndExitReachTheWindow) {
  // The desktop's tray backend, without requiring a tray host.
  m_frame = std::make_unique<CMainFrame>(false, std::make_unique<CQtTrayBackend>(false));
  m_frame->SetMessageBoxHook([this](const Request& request) {
    m_boxes.push_back(request);
    return m_answer;
  });
  auto& backend = static_cast<CQtTrayBackend&>(m_frame->TrayNotifier().Backend());
  ShowFrame();
  m_frame->OnCmdMsg(32780);
  EXPECT_EQ(m_frame->OnTrayNotify(135, kTrayRightButtonUp), 1);
  QMenu* menu = backend.ShownMenu();
  ASSERT_NE(menu, nullptr);
  menu->actions()[0]->trigger();
  EXPECT_TRUE(m_frame->isVisible());

  m_frame->OnCmdMsg(32780);
  m_frame->OnTrayNotify(135, kTrayRightButtonUp);
  backend.ShownMenu()->actions()[1]->trigger();  // 退出(&X)
  EXPECT_EQ(m_boxes.size(), 1u);
  EXPECT_FALSE(m_frame->IsDestroyed());
}

}  // namespace
