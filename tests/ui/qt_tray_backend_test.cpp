#include "ui/qt_tray_backend.h"

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

class QtTrayMenuTest : public testing::Test {
protected:
  QMenu* Shown() const { return m_backend.ShownMenu(); }

  CQtTrayBackend m_backend{false};
  CRecordingOwner m_owner;
};

TEST_F(QtTrayMenuTest, MenuShowsWithRestoreAsDefaultAndItsChoiceReachesTheOwner) {
  EXPECT_EQ(m_backend.FirstTrayCommand(), 32779);
  EXPECT_TRUE(m_backend.ShowTrayMenu(m_owner));
  QPointer<QMenu> menu = Shown();
  ASSERT_FALSE(menu.isNull());
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

  items[3]->trigger();
  menu->hide();
  EXPECT_EQ(m_owner.commands, (std::vector<int>{57664}));
  EXPECT_TRUE(WaitFor([&] { return menu.isNull(); }));
  EXPECT_EQ(Shown(), nullptr);
}

TEST_F(QtTrayMenuTest, SecondShowReplacesTheMenuStillShown) {
  m_backend.ShowTrayMenu(m_owner);
  QPointer<QMenu> first = Shown();
  m_backend.ShowTrayMenu(m_owner);
  EXPECT_TRUE(WaitFor([&] { return first.isNull(); }));
  ASSERT_NE(Shown(), nullptr);
}

TEST(QtTrayBackendTest, ActivationReasonsMapToMouseMessages) {
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::Context), kTrayRightButtonUp);
  EXPECT_EQ(MouseMessageOf(QSystemTrayIcon::DoubleClick), kTrayLeftButtonDoubleClick);
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
  TrayIconRecord record;
  EXPECT_FALSE(backend.NotifyIcon(kTrayModify, record));
  EXPECT_FALSE(backend.NotifyIcon(kTrayDelete, record));
  EXPECT_FALSE(backend.NotifyIcon(7, record));
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

TrayIconRecord FullRecord(ITrayOwner* owner, const QIcon* icon) {
  TrayIconRecord record;
  record.owner = owner;
  record.flags = kTrayFlagMessage | kTrayFlagIcon | kTrayFlagTip;
  record.callbackMessage = WM_TRAYNOTIFY;
  record.icon = icon;
  std::strcpy(record.tip, "Quarnix");
  return record;
}

TEST(QtTrayBackendTest, ClicksArriveAsQueuedCallbackMessages) {
  CQtTrayBackend backend(false);
  CCallbackOwner owner;
  const QIcon icon = SomeIcon();
  ASSERT_TRUE(backend.NotifyIcon(kTrayAdd, FullRecord(&owner, &icon)));
  ASSERT_NE(backend.Icon(), nullptr);
  EXPECT_EQ(backend.Icon()->toolTip(), QStringLiteral("Quarnix"));
  EXPECT_FALSE(backend.NotifyIcon(kTrayAdd, FullRecord(&owner, &icon)));  // exists already

  emit backend.Icon()->activated(QSystemTrayIcon::Context);
  emit backend.Icon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(owner.messages.empty());  // posted, not sent
  ASSERT_TRUE(WaitFor([&] { return owner.messages.size() == 2; }));
  EXPECT_EQ(owner.messages[0], (CCallbackOwner::Message{1026, 135, kTrayRightButtonUp}));
  EXPECT_EQ(owner.messages[1], (CCallbackOwner::Message{1026, 135, kTrayLeftButtonDoubleClick}));
}

TEST(QtTrayBackendTest, CallbackMayDeleteTheIconThatCausedIt) {
  CQtTrayBackend backend(false);
  CCallbackOwner owner;
  const QIcon icon = SomeIcon();
  const TrayIconRecord data = FullRecord(&owner, &icon);
  ASSERT_TRUE(backend.NotifyIcon(kTrayAdd, data));
  bool deleted = false;
  owner.onMessage = [&] { deleted = backend.NotifyIcon(kTrayDelete, data); };
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
    ASSERT_TRUE(backend.NotifyIcon(kTrayAdd, FullRecord(&owner, &icon)));
    emit backend.Icon()->activated(QSystemTrayIcon::Context);
  }
  ProcessPostedEvents();
  EXPECT_TRUE(owner.messages.empty());
}

}  // namespace
