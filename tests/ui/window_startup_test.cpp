#include "ui/window_startup.h"

#include <QCoreApplication>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "tests/ui/ui_test_support.h"
#include "ui/main_frame.h"

namespace {

// Sets display variables for one test and puts the old values back.
class CDisplayEnvironment {
public:
  CDisplayEnvironment() {
    for (const char* name : kNames) {
      if (qEnvironmentVariableIsSet(name)) m_saved[name] = qgetenv(name);
    }
  }
  ~CDisplayEnvironment() {
    for (const char* name : kNames) {
      auto it = m_saved.find(name);
      if (it != m_saved.end()) {
        qputenv(name, it->second);
      } else {
        qunsetenv(name);
      }
    }
  }
  void Set(const char* platform, const char* display, const char* wayland) {
    Put("QT_QPA_PLATFORM", platform);
    Put("DISPLAY", display);
    Put("WAYLAND_DISPLAY", wayland);
  }

private:
  static void Put(const char* name, const char* value) {
    if (value == nullptr) {
      qunsetenv(name);
    } else {
      qputenv(name, value);
    }
  }
  static constexpr const char* kNames[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
  std::map<std::string, QByteArray> m_saved;
};

TEST(WindowStartupTest, DisplayIsAvailableOnlyWhereQtCanOpenAWindow) {
  CDisplayEnvironment environment;
  environment.Set(nullptr, nullptr, nullptr);
  EXPECT_FALSE(IsDisplayAvailable());
  environment.Set(nullptr, "", "");
  EXPECT_FALSE(IsDisplayAvailable());
  environment.Set(nullptr, ":0", nullptr);
  EXPECT_TRUE(IsDisplayAvailable());
  environment.Set(nullptr, nullptr, "wayland-0");
  EXPECT_TRUE(IsDisplayAvailable());
  environment.Set("offscreen", nullptr, nullptr);
  EXPECT_TRUE(IsDisplayAvailable());
  environment.Set("xcb", nullptr, "wayland-0");
  EXPECT_FALSE(IsDisplayAvailable());
  environment.Set("wayland;xcb", ":1", nullptr);
  EXPECT_TRUE(IsDisplayAvailable());
}

TEST(WindowStartupTest, NoDisplayMessageTellsToStartWithS) {
  const std::string message = kNoDisplayMessage;
  EXPECT_NE(message.find("/s"), std::string::npos);
  EXPECT_NE(message.find("background"), std::string::npos);
  EXPECT_EQ(message.back(), '\n');
}

TEST(WindowStartupTest, ChineseTranslationsGiveChineseYesAndNo) {
  ASSERT_TRUE(InstallQtTranslations(*QCoreApplication::instance(),
                                    QLocale(QLocale::Chinese, QLocale::China)));
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("是(&Y)"));
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&No"), QStringLiteral("否(&N)"));
  for (QTranslator* translator : QCoreApplication::instance()->findChildren<QTranslator*>()) {
    QCoreApplication::removeTranslator(translator);
    delete translator;
  }
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Yes"));
}

TEST(WindowStartupTest, UnknownLanguageInstallsNothing) {
  EXPECT_FALSE(InstallQtTranslations(*QCoreApplication::instance(), QLocale(QLocale::Yoruba)));
  EXPECT_TRUE(QCoreApplication::instance()->findChildren<QTranslator*>().isEmpty());
}

TEST(WindowStartupTest, ShowMainWindowPlacesAndShowsTheFrameWithoutMaximize) {
  auto tray = std::make_shared<CFakeTrayBackend::State>();
  CMainFrame frame(false, std::make_unique<CFakeTrayBackend>(tray));
  ShowMainWindow(frame);
  ASSERT_TRUE(WaitFor([&] { return frame.isVisible(); }));
  EXPECT_EQ(frame.pos(), QPoint(100, 300));
  EXPECT_EQ(frame.size(), QSize(600, 300));
  EXPECT_FALSE(frame.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(frame.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_TRUE(frame.windowFlags().testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(frame.windowIcon().isNull());
  EXPECT_EQ(frame.windowTitle(), QStringLiteral("Quarnix"));
  EXPECT_FALSE(frame.isMaximized() || frame.isMinimized());
  EXPECT_TRUE(tray->calls.empty());
}

}  // namespace
