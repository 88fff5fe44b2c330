#include "ui/window_startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "ui/app_icon.h"
#include "ui/main_frame.h"

const char kNoDisplayMessage[] =
    "Quarnix cannot open its window: no screen is available here (no graphical desktop, or the "
    "DISPLAY setting is empty).\n"
    "To run the gateway in the background without a window, start it with /s, for example:\n"
    "  quarnix /s\n";

bool IsDisplayAvailable() {
  const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
  const bool hasX11 = !qEnvironmentVariableIsEmpty("DISPLAY");
  const bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (platform.isEmpty()) return hasX11 || hasWayland;
  // A list such as "wayland;xcb" tries each platform in turn.
  for (const QString& name : platform.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString plugin = name.section(QLatin1Char(':'), 0, 0).trimmed();
    if (plugin == QLatin1String("xcb")) {
      if (hasX11) return true;
    } else if (plugin.startsWith(QLatin1String("wayland"))) {
      if (hasWayland) return true;
    } else {
      return true;  // offscreen, vnc, eglfs, linuxfb ...: no display variable needed
    }
  }
  return false;
}

bool InstallQtTranslations(QCoreApplication& app, const QLocale& locale) {
  auto* translator = new QTranslator(&app);
  if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  return true;
}

void ShowMainWindow(CMainFrame& frame) {
  frame.setWindowIcon(AppIcon());
  // The system menu and the title bar keep minimize and close; maximize is gone.
  frame.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                       Qt::WindowCloseButtonHint);
  frame.move(100, 300);
  frame.resize(600, 300);
  frame.showNormal();
}
