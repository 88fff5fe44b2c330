#include "ui/tray_notifier.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/ui/ui_test_support.h"
#include "ui/qt_tray_backend.h"

namespace {

class CRecordingOwner final : public ITrayOwner {
public:
  long SendTrayMessage(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  void SetForegroundWindow() override { ++foregroundCalls; }
  void SendCommand(int commandId) override { commands.push_back(commandId); }

  int foregroundCalls = 0;
  std::vector<int> commands;
};

QIcon SomeIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::darkBlue);
  return QIcon(pixmap);
}

class TrayNotifierTest : public testing::Test {
protected:
  TrayNotifierTest()
      : m_state(std::make_shared<CFakeTrayBackend::State>()),
        m_notifier(std::make_unique<CTrayNotifier>(std::make_unique<CFakeTrayBackend>(m_state))),
        m_icon(SomeIcon()) {}

  void Own() { m_notifier->SetOwner(&m_owner, WM_TRAYNOTIFY); }

  std::shared_ptr<CFakeTrayBackend::State> m_state;
  std::unique_ptr<CTrayNotifier> m_notifier;
  CRecordingOwner m_owner;
  QIcon m_icon;
};

TEST_F(TrayNotifierTest, NewRecordHasSize88IconId135AndNoIconOwnerOrTip) {
  const NotifyIconData& data = m_notifier->IconData();
  EXPECT_EQ(data.cbSize, 88u);
  EXPECT_EQ(data.uID, 135u);
  EXPECT_EQ(data.hWnd, nullptr);
  EXPECT_EQ(data.hIcon, nullptr);
  EXPECT_EQ(data.uFlags, 0u);
  EXPECT_EQ(data.uCallbackMessage, 0u);
  EXPECT_STREQ(data.szTip, "");  // there is no string 135
  EXPECT_FALSE(m_notifier->IsIconShown());
}

TEST_F(TrayNotifierTest, AddThenModifyThenDeleteWithTheFlagsOfTheRecord) {
  Own();
  m_notifier->SetTooltip("Quarnix");
  m_notifier->SetTrayIcon(&m_icon);
  m_notifier->SetTrayIcon(&m_icon);
  m_notifier->SetTrayIcon(nullptr);

  ASSERT_EQ(Operations(*m_state), (std::vector<std::uint32_t>{NIM_ADD, NIM_MODIFY, NIM_DELETE}));
  const NotifyIconData& added = m_state->calls[0].data;
  EXPECT_EQ(added.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
  EXPECT_EQ(added.hIcon, &m_icon);
  EXPECT_EQ(added.hWnd, &m_owner);
  EXPECT_EQ(added.uCallbackMessage, WM_TRAYNOTIFY);
  EXPECT_STREQ(added.szTip, "Quarnix");
  EXPECT_EQ(m_state->calls[2].data.uFlags, NIF_MESSAGE | NIF_TIP);  // delete carries no icon flag
  EXPECT_FALSE(m_notifier->IsIconShown());
}

TEST_F(TrayNotifierTest, WithoutTooltipOrOwnerOnlyTheIconFlagIsSet) {
  m_notifier->SetTrayIcon(&m_icon);
  ASSERT_EQ(m_state->calls.size(), 1u);
  EXPECT_EQ(m_state->calls[0].data.uFlags, NIF_ICON);
}

TEST_F(TrayNotifierTest, NullIconWithoutShownIconCallsNothing) {
  m_notifier->SetTrayIcon(nullptr);
  m_notifier->RemoveTrayIcon();
  EXPECT_TRUE(m_state->calls.empty());
}

TEST_F(TrayNotifierTest, FailingAddLeavesNoIconAndNothingToRemove) {
  m_state->failAdd = true;
  m_notifier->SetTrayIcon(&m_icon);
  EXPECT_FALSE(m_notifier->IsIconShown());
  m_notifier->RemoveTrayIcon();
  m_notifier.reset();
  EXPECT_EQ(Operations(*m_state), (std::vector<std::uint32_t>{NIM_ADD}));
}

TEST_F(TrayNotifierTest, RemoveDeletesWithTipAndMessageFlags) {
  Own();
  m_notifier->SetTooltip("Quarnix");
  m_notifier->SetTrayIcon(&m_icon);
  m_notifier->RemoveTrayIcon();
  m_notifier->RemoveTrayIcon();
  ASSERT_EQ(Operations(*m_state), (std::vector<std::uint32_t>{NIM_ADD, NIM_DELETE}));
  EXPECT_EQ(m_state->calls[1].data.uFlags, NIF_TIP | NIF_MESSAGE);
  EXPECT_FALSE(m_state->iconPresent);
}

TEST_F(TrayNotifierTest, DestructionRemovesTheShownIcon) {
  m_notifier->SetTrayIcon(&m_icon);
  m_notifier.reset();
  EXPECT_EQ(Operations(*m_state), (std::vector<std::uint32_t>{NIM_ADD, NIM_DELETE}));
  EXPECT_FALSE(m_state->iconPresent);
  EXPECT_TRUE(m_state->destroyed);
}

TEST_F(TrayNotifierTest, TooltipIsCutTo63BytesAndTerminated) {
  m_notifier->SetTooltip(std::string(100, 'x'));
  const NotifyIconData& data = m_notifier->IconData();
  EXPECT_EQ(std::strlen(data.szTip), 63u);
  m_notifier->SetTooltip("ab");
  EXPECT_STREQ(m_notifier->IconData().szTip, "ab");
  EXPECT_EQ(m_notifier->IconData().szTip[3], '\0');  // the longer text is gone entirely
}

TEST_F(TrayNotifierTest, OtherIconIdsAndOtherMouseMessagesAreIgnored) {
  Own();
  EXPECT_EQ(m_notifier->HandleTrayEvent(134, WM_RBUTTONUP), 0);
  EXPECT_EQ(m_notifier->HandleTrayEvent(136, WM_LBUTTONDBLCLK), 0);
  EXPECT_EQ(m_notifier->HandleTrayEvent(135, WM_LBUTTONUP), 0);
  EXPECT_EQ(m_notifier->HandleTrayEvent(135, WM_MBUTTONUP), 0);
  EXPECT_EQ(m_notifier->HandleTrayEvent(135, 0x0200), 0);  // mouse move
  EXPECT_EQ(m_notifier->ShownMenu(), nullptr);
  EXPECT_TRUE(m_owner.commands.empty());
  EXPECT_EQ(m_owner.foregroundCalls, 0);
}

TEST_F(TrayNotifierTest, DoubleClickSendsRestoreAtOnceWithoutMenu) {
  Own();
  EXPECT_EQ(m_notifier->HandleTrayEvent(135, WM_LBUTTONDBLCLK), 1);
  EXPECT_EQ(m_owner.commands, (std::vector<int>{32779}));
  EXPECT_EQ(m_notifier->ShownMenu(), nullptr);
}

TEST_F(TrayNotifierTest, RightButtonUpShowsTrayMenuWithRestoreAsDefault) {
  Own();
  EXPECT_EQ(m_notifier->HandleTrayEvent(135, WM_RBUTTONUP), 1);
  QMenu* menu = m_notifier->ShownMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(menu->title(), QStringLiteral("TrayMenu"));
  EXPECT_EQ(m_owner.foregroundCalls, 1);

  const QList<QAction*> items = menu->actions();
  ASSERT_EQ(items.size(), 4);
  EXPECT_EQ(items[0]->text(), QStringLiteral("还原(&S)"));
  EXPECT_EQ(items[0]->data().toInt(), 32779);
  EXPECT_EQ(items[1]->text(), QStringLiteral("退出(&X)"));
  EXPECT_EQ(items[1]->data().toInt(), 57665);
  EXPECT_TRUE(items[2]->isSeparator());
  EXPECT_EQ(items[3]->text(), QStringLiteral("关于(&A)..."));
  EXPECT_EQ(items[3]->data().toInt(), 57664);
  EXPECT_EQ(menu->defaultAction(), items[0]);
  EXPECT_FALSE(items[0]->font().bold());  // the menu draws the default bold by itself
  EXPECT_TRUE(m_owner.commands.empty());  // nothing chosen yet
}

TEST_F(TrayNotifierTest, ChosenTrayMenuItemReachesOwnerAndMenuGoesAway) {
  Own();
  m_notifier->HandleTrayEvent(135, WM_RBUTTONUP);
  QPointer<QMenu> menu = m_notifier->ShownMenu();
  ASSERT_FALSE(menu.isNull());
  menu->actions()[3]->trigger();
  menu->hide();
  EXPECT_EQ(m_owner.commands, (std::vector<int>{57664}));
  EXPECT_TRUE(WaitFor([&] { return menu.isNull(); }));
  EXPECT_EQ(m_notifier->ShownMenu(), nullptr);
}

TEST_F(TrayNotifierTest, SecondRightClickReplacesTheMenuStillShown) {
  Own();
  m_notifier->HandleTrayEvent(135, WM_RBUTTONUP);
  QPointer<QMenu> first = m_notifier->ShownMenu();
  m_notifier->HandleTrayEvent(135, WM_RBUTTONUP);
  EXPECT_TRUE(WaitFor([&] { return first.isNull(); }));
  ASSERT_NE(m_notifier->ShownMenu(), nullptr);
  m_notifier.reset();  // deletes the menu that is up
}

TEST(QtTrayBackendTest, ActivationReasonsMapToMouseMessages) {
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::Context), WM_RBUTTONUP);
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::DoubleClick), WM_LBUTTONDBLCLK);
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::Trigger), WM_LBUTTONUP);
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::MiddleClick), WM_MBUTTONUP);
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::Unknown), 0u);
}

TEST(QtTrayBackendTest, WithoutTrayHostAddFailsAndNotifierStaysWithoutIcon) {
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "a tray host is running";
  CTrayNotifier notifier(std::make_unique<CQtTrayBackend>());
  const QIcon icon = SomeIcon();
  notifier.SetTrayIcon(&icon);
  EXPECT_FALSE(notifier.IsIconShown());
}

TEST(QtTrayBackendTest, ModifyAndDeleteOfAMissingIconFail) {
  CQtTrayBackend backend;
  NotifyIconData data;
  data.uID = 135;
  EXPECT_FALSE(backend.NotifyIcon(NIM_MODIFY, data));
  EXPECT_FALSE(backend.NotifyIcon(NIM_DELETE, data));
  EXPECT_FALSE(backend.NotifyIcon(7, data));
}

// An owner that records the callback messages it gets and can answer them with a call.
class CCallbackOwner final : public ITrayOwner {
public:
  struct Message {
    std::uint32_t message, iconId, mouseMessage;
    bool operator==(const Message&) const = default;
  };
  long SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                       std::uint32_t mouseMessage) override {
    messages.push_back({message, iconId, mouseMessage});
    if (onMessage) onMessage();
    return 1;
  }
  void SetForegroundWindow() override {}
  void SendCommand(int) override {}

  std::vector<Message> messages;
  std::function<void()> onMessage;
};

NotifyIconData FullRecord(ITrayOwner* owner, const QIcon* icon) {
  NotifyIconData data;
  data.cbSize = kNotifyIconDataSize;
  data.hWnd = owner;
  data.uID = kTrayIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAYNOTIFY;
  data.hIcon = icon;
  std::strcpy(data.szTip, "Quarnix");
  return data;
}

TEST(QtTrayBackendTest, ClicksArriveAsQueuedCallbackMessages) {
  CQtTrayBackend backend(false);
  CCallbackOwner owner;
  const QIcon icon = SomeIcon();
  ASSERT_TRUE(backend.NotifyIcon(NIM_ADD, FullRecord(&owner, &icon)));
  ASSERT_NE(backend.Icon(), nullptr);
  EXPECT_EQ(backend.Icon()->toolTip(), QStringLiteral("Quarnix"));
  EXPECT_FALSE(backend.NotifyIcon(NIM_ADD, FullRecord(&owner, &icon)));  // exists already

  emit backend.Icon()->activated(QSystemTrayIcon::Context);
  emit backend.Icon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(owner.messages.empty());  // posted, not sent
  ASSERT_TRUE(WaitFor([&] { return owner.messages.size() == 2; }));
  EXPECT_EQ(owner.messages[0], (CCallbackOwner::Message{1026, 135, WM_RBUTTONUP}));
  EXPECT_EQ(owner.messages[1], (CCallbackOwner::Message{1026, 135, WM_LBUTTONDBLCLK}));
}

TEST(QtTrayBackendTest, CallbackMayDeleteTheIconThatCausedIt) {
  CQtTrayBackend backend(false);
  CCallbackOwner owner;
  const QIcon icon = SomeIcon();
  const NotifyIconData data = FullRecord(&owner, &icon);
  ASSERT_TRUE(backend.NotifyIcon(NIM_ADD, data));
  bool deleted = false;
  owner.onMessage = [&] { deleted = backend.NotifyIcon(NIM_DELETE, data); };
  QPointer<QSystemTrayIcon> shown = backend.Icon();
  emit shown->activated(QSystemTrayIcon::DoubleClick);
  ASSERT_TRUE(WaitFor([&] { return deleted; }));
  EXPECT_EQ(backend.Icon(), nullptr);
  EXPECT_TRUE(WaitFor([&] { return shown.isNull(); }));
}

TEST(QtTrayBackendTest, CallbacksStillQueuedWhenTheBackendGoesAreDropped) {
  CCallbackOwner owner;
  const QIcon icon = SomeIcon();
  {
    CQtTrayBackend backend(false);
    ASSERT_TRUE(backend.NotifyIcon(NIM_ADD, FullRecord(&owner, &icon)));
    emit backend.Icon()->activated(QSystemTrayIcon::Context);
  }
  ProcessPostedEvents();
  EXPECT_TRUE(owner.messages.empty());
}

}  // namespace
