// The operator window's rules once, for both front ends: commands, log switches, the close
// confirmation, background mode, the teardown and the tray icon, against a recording window.
#include "core/frame_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/codepage.h"
#include "res/resource.h"
#include "res/strings.h"
#include "tests/core/fake_tray_backend.h"

namespace {

struct Box {
  FrameBox kind;
  WideString caption;
  WideString text;
};

// A window that records what the core asks of it.
class CRecordingWindow final : public IFrameWindow, public IFrameView, public ITrayOwner {
public:
  // IFrameWindow
  void ShowNormal() override { visible = true; }
  void Hide() override { visible = false; }
  std::optional<bool> ViewItemChecked(int commandId) const override {
    const auto it = checks.find(commandId);
    if (it == checks.end()) return std::nullopt;
    return it->second;
  }
  void SetViewItemChecked(int commandId, bool checked) override { checks[commandId] = checked; }
  FrameAnswer ShowBox(FrameBox kind, const WideString& caption, const WideString& text) override {
    boxes.push_back({kind, caption, text});
    if (whileBoxIsUp) whileBoxIsUp();
    return kind == FrameBox::kCloseConfirmation ? answer : FrameAnswer::kOk;
  }
  void SendClose() override { core->OnClose(); }
  void PostClose() override { ++postedCloses; }
  void ShowAboutBox() override { ++aboutBoxes; }
  void EndWindow() override {
    ++ends;
    visible = false;
  }
  const void* TrayIcon() const override { return &icon; }

  // IFrameView
  void LogToWindow(std::string text) override { lines.push_back(std::move(text)); }
  void SetMessageText(std::string) override {}
  void ShowErrorMessage(const std::string& text) override { core->ShowErrorMessage(text); }
  void PostCloseRequest() override { core->PostCloseRequest(); }

  // ITrayOwner
  long SendTrayMessage(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetForegroundWindow() override { ++foregrounds; }
  void SendCommand(int commandId) override { core->OnCmdMsg(commandId); }

  CFrameCore* core = nullptr;
  bool visible = true;
  std::map<int, bool> checks = {{ID_VIEW_LOG_VALUE_CHANGES, false},
                                {ID_VIEW_LOG_VALUE_WRITES, false},
                                {ID_VIEW_LOG_GROUP_OPS, true},
                                {ID_VIEW_LOG_ITEM_OPS, false}};
  std::vector<Box> boxes;
  FrameAnswer answer = FrameAnswer::kYes;
  std::function<void()> whileBoxIsUp;
  std::vector<std::string> lines;
  int postedCloses = 0, aboutBoxes = 0, ends = 0, foregrounds = 0;
  int icon = 0;
};

class FrameCoreTest : public testing::Test {
protected:
  void SetUp() override { Make(false); }

  void Make(bool backgroundMode,
            CFrameCore::BackgroundClose close = CFrameCore::BackgroundClose::kDecline) {
    m_core.reset();
    m_tray = std::make_shared<CFakeTrayBackend::State>();
    m_core = std::make_unique<CFrameCore>(m_window, m_window, backgroundMode,
                                          std::make_unique<CFakeTrayBackend>(m_tray), close);
    m_window.core = m_core.get();
    m_core->TrayNotifier().SetOwner(&m_window, WM_TRAYNOTIFY);
    m_core->SetWindowDestroyingHandler([this] { ++m_teardowns; });
    m_teardowns = 0;
  }

  CRecordingWindow m_window;
  std::shared_ptr<CFakeTrayBackend::State> m_tray;
  std::unique_ptr<CFrameCore> m_core;
  int m_teardowns = 0;
};

TEST_F(FrameCoreTest, SwitchesStartAtDefaultsAndFollowTheirCheckMarks) {
  // The window's three start at their defaults; the value-change switch is the application's.
  LogSwitches switches;
  switches.logValueChanges = true;
  switches.logValueWrites = true;
  switches.logGroupOps = false;
  switches.logItemOps = true;
  m_core->UseLogSwitches(switches);
  EXPECT_TRUE(switches.logValueChanges);
  EXPECT_FALSE(switches.logValueWrites);
  EXPECT_TRUE(switches.logGroupOps);
  EXPECT_FALSE(switches.logItemOps);
  EXPECT_EQ(&m_core->Switches(), &switches);
  switches.logValueChanges = false;
  for (auto [id, logSwitch] : {std::pair{ID_VIEW_LOG_VALUE_CHANGES, &switches.logValueChanges},
                               std::pair{ID_VIEW_LOG_VALUE_WRITES, &switches.logValueWrites},
                               std::pair{ID_VIEW_LOG_GROUP_OPS, &switches.logGroupOps},
                               std::pair{ID_VIEW_LOG_ITEM_OPS, &switches.logItemOps}}) {
    const bool before = m_window.checks[id];
    EXPECT_TRUE(m_core->OnCmdMsg(id));
    EXPECT_EQ(m_window.checks[id], !before) << id;
    EXPECT_EQ(*logSwitch, !before) << id;
    // The check mark is the truth: a switch changed behind the menu's back is overruled.
    *logSwitch = before;
    m_core->SwitchFollowsCheck(id);
    EXPECT_EQ(*logSwitch, !before) << id;
  }
  m_window.checks.erase(ID_VIEW_LOG_ITEM_OPS);  // a menu without the item changes nothing
  EXPECT_TRUE(m_core->OnCmdMsg(ID_VIEW_LOG_ITEM_OPS));
  EXPECT_FALSE(m_core->OnCmdMsg(12345));
}

TEST_F(FrameCoreTest, CommandsReachTheirCallbacksTheUsageBoxAndTheAboutBox) {
  int created = 0, destroyed = 0, about = 0;
  m_core->SetCreateOpcServerHandler([&] { ++created; });
  m_core->SetDestroyOpcServerHandler([&] { ++destroyed; });
  m_core->OnCmdMsg(ID_FILE_CREATE_OPCSERVER);
  m_core->OnCmdMsg(ID_FILE_DESTROY_OPCSERVER);
  m_core->OnCmdMsg(ID_FILE_DESTROY_OPCSERVER);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(destroyed, 2);

  m_core->OnCmdMsg(ID_HELP_USAGE);
  ASSERT_EQ(m_window.boxes.size(), 1u);
  EXPECT_EQ(m_window.boxes[0].kind, FrameBox::kUsage);
  EXPECT_EQ(m_window.boxes[0].caption, OLESTR("Quarnix"));
  EXPECT_EQ(m_window.boxes[0].text, MultiByteToWide(LoadResString(IDS_USAGE)));

  m_core->OnCmdMsg(ID_APP_ABOUT);
  EXPECT_EQ(m_window.aboutBoxes, 1);
  m_core->SetAboutHandler([&] { ++about; });
  m_core->OnCmdMsg(ID_APP_ABOUT);
  EXPECT_EQ(about, 1);
  EXPECT_EQ(m_window.aboutBoxes, 1);
}

TEST_F(FrameCoreTest, OnlyTheAnswerNoTearsDownOnceAndEndsTheWindow) {
  // Yes, and Escape or the box's close button (which answer Yes), keep everything.
  EXPECT_FALSE(m_core->OnClose());
  ASSERT_EQ(m_window.boxes.size(), 1u);
  EXPECT_EQ(m_window.boxes[0].kind, FrameBox::kCloseConfirmation);
  EXPECT_EQ(m_window.boxes[0].caption, OLESTR("关闭后，同设备通讯将会中断！"));
  EXPECT_EQ(m_window.boxes[0].text, OLESTR("保留窗口程序不退出吧？"));
  EXPECT_EQ(m_teardowns, 0);

  // A second close while the box is up is answered by that box.
  m_window.whileBoxIsUp = [this] { EXPECT_FALSE(m_core->OnClose()); };
  m_core->OnCmdMsg(ID_VIEW_HIDE);  // in the tray: the icon goes with the window
  m_window.answer = FrameAnswer::kNo;
  m_core->OnCmdMsg(ID_APP_EXIT);  // the Exit item closes through the same confirmation
  EXPECT_EQ(m_window.boxes.size(), 2u);
  EXPECT_EQ(m_teardowns, 1);
  EXPECT_EQ(m_window.ends, 1);
  EXPECT_TRUE(m_core->IsDestroyed());
  EXPECT_FALSE(m_tray->iconPresent);
  EXPECT_TRUE(m_core->OnClose());  // gone already: no box
  m_core.reset();
  EXPECT_EQ(m_teardowns, 1);  // not again at destruction

  Make(false);
  m_core->PostCloseRequest();  // queued to the window, never a box inside the call
  EXPECT_EQ(m_window.postedCloses, 1);
  m_core.reset();
  EXPECT_EQ(m_teardowns, 1);  // destruction without a close runs the teardown
}

TEST_F(FrameCoreTest, BackgroundModeDeclinesClosesShowsNothingAndWritesErrorsToStandardOutput) {
  Make(true);
  m_window.visible = false;
  m_core->PostCloseRequest();
  EXPECT_FALSE(m_core->OnClose());
  EXPECT_EQ(m_window.postedCloses, 0);
  EXPECT_TRUE(m_window.boxes.empty());
  EXPECT_EQ(m_teardowns, 0);
  ASSERT_EQ(m_window.lines.size(), 2u);
  EXPECT_EQ(m_window.lines[0], SystemText(CloseDeclinedText()));
  std::ifstream file(kLogFileName, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_NE(content.str().rfind(SystemText(CloseDeclinedText())), std::string::npos);

  m_core->OnCmdMsg(ID_VIEW_HIDE);
  m_core->OnCmdMsg(ID_TRAY_RESTORE);
  m_core->TrayNotifier().HandleTrayEvent(135, kTrayLeftButtonDoubleClick);
  EXPECT_FALSE(m_window.visible);
  EXPECT_TRUE(m_tray->calls.empty());

  testing::internal::CaptureStdout();
  m_core->ShowErrorMessage("Error bind 98");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error bind 98\n");
  EXPECT_TRUE(m_window.boxes.empty());

  // Where only the system can close the hidden window, its close is a stop.
  Make(true, CFrameCore::BackgroundClose::kStop);
  EXPECT_TRUE(m_core->OnClose());
  EXPECT_EQ(m_teardowns, 1);
}

TEST_F(FrameCoreTest, ErrorMessageIsAnErrorBoxWithTheApplicationTitle) {
  m_core->ShowErrorMessage(SystemText("打开网络端口 8089 错误"));
  ASSERT_EQ(m_window.boxes.size(), 1u);
  EXPECT_EQ(m_window.boxes[0].kind, FrameBox::kError);
  EXPECT_EQ(m_window.boxes[0].caption, OLESTR("Quarnix"));
  EXPECT_EQ(m_window.boxes[0].text, OLESTR("打开网络端口 8089 错误"));
}

TEST_F(FrameCoreTest, HideRestoreAndTrayClicksDriveTheIconRecord) {
  m_core->OnCmdMsg(ID_VIEW_HIDE);
  EXPECT_FALSE(m_window.visible);
  ASSERT_EQ(Operations(*m_tray), (std::vector<std::uint32_t>{kTrayAdd}));
  const TrayIconRecord& added = m_tray->calls[0].record;
  EXPECT_EQ(added.id, 135u);
  EXPECT_EQ(added.callbackMessage, 1026u);
  EXPECT_EQ(added.owner, &m_window);
  EXPECT_EQ(added.icon, &m_window.icon);
  EXPECT_EQ(added.flags, kTrayFlagMessage | kTrayFlagIcon | kTrayFlagTip);
  EXPECT_STREQ(added.tip, "Quarnix");

  // Other ids and mouse messages do nothing; a double click restores at once.
  EXPECT_EQ(m_core->TrayNotifier().HandleTrayEvent(136, kTrayLeftButtonDoubleClick), 0);
  EXPECT_EQ(m_core->TrayNotifier().HandleTrayEvent(135, 0x0202), 0);
  EXPECT_EQ(m_core->TrayNotifier().HandleTrayEvent(135, kTrayRightButtonUp), 1);
  EXPECT_EQ(m_tray->menusShown, 1);
  EXPECT_EQ(m_window.foregrounds, 1);
  EXPECT_FALSE(m_window.visible);
  EXPECT_EQ(m_core->TrayNotifier().HandleTrayEvent(135, kTrayLeftButtonDoubleClick), 1);
  EXPECT_TRUE(m_window.visible);
  m_core->OnCmdMsg(ID_VIEW_HIDE);
  m_core->TrayNotifier().SetTrayIcon(&m_window.icon);
  EXPECT_EQ(Operations(*m_tray),
            (std::vector<std::uint32_t>{kTrayAdd, kTrayDelete, kTrayAdd, kTrayModify}));
  EXPECT_EQ(m_tray->calls[1].record.flags, kTrayFlagMessage | kTrayFlagTip);  // delete: no icon

  // A failing add (no tray) leaves no icon: restoring deletes nothing.
  Make(false);
  m_tray->failAdd = true;
  m_core->OnCmdMsg(ID_VIEW_HIDE);
  EXPECT_FALSE(m_core->TrayNotifier().IsIconShown());
  m_core->OnCmdMsg(ID_TRAY_RESTORE);
  EXPECT_TRUE(m_window.visible);
  EXPECT_EQ(Operations(*m_tray), (std::vector<std::uint32_t>{kTrayAdd}));
}

TEST(TrayNotifierTest, RecordStartsEmptyAndTheTooltipIsCutTo63Bytes) {
  auto state = std::make_shared<CFakeTrayBackend::State>();
  CTrayNotifier notifier(std::make_unique<CFakeTrayBackend>(state));
  const TrayIconRecord& record = notifier.IconData();
  EXPECT_EQ(record.id, 135u);
  EXPECT_EQ(record.owner, nullptr);
  EXPECT_EQ(record.icon, nullptr);
  EXPECT_EQ(record.flags, 0u);
  EXPECT_STREQ(record.tip, "");   // there is no string 135
  notifier.SetTrayIcon(nullptr);  // nothing shown: nothing to remove
  EXPECT_TRUE(state->calls.empty());
  int icon = 0;
  notifier.SetTrayIcon(&icon);
  EXPECT_EQ(state->calls.back().record.flags, kTrayFlagIcon);  // no tooltip, no owner yet
  notifier.SetTooltip(std::string(100, 'x'));
  EXPECT_EQ(std::strlen(record.tip), 63u);
  notifier.SetTooltip("ab");
  EXPECT_STREQ(record.tip, "ab");
  EXPECT_EQ(record.tip[3], '\0');  // the longer text is gone entirely
}

TEST(TrayNotifierTest, NotifierGoingAwayDeletesItsIcon) {
  auto state = std::make_shared<CFakeTrayBackend::State>();
  int icon = 0;
  {
    CTrayNotifier notifier(std::make_unique<CFakeTrayBackend>(state));
    notifier.SetTrayIcon(&icon);
  }
  EXPECT_EQ(Operations(*state), (std::vector<std::uint32_t>{kTrayAdd, kTrayDelete}));
  EXPECT_FALSE(state->iconPresent);
}

}  // namespace
