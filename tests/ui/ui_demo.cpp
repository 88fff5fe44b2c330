// Shows the operator window with sample log lines, for looking at it by eye (not a test).
//   ui_demo            the window
//   ui_demo menu       the window with its View menu open
//   ui_demo close      the window with the close confirmation
//   ui_demo usage      the window with the usage box
//   ui_demo about      the About box
//   ui_demo hide       the window hidden to the tray (needs a tray host)
//   ui_demo traymenu   hidden to the tray with the tray menu open
// The program ends when the window is closed with the answer No.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "res/resource.h"
#include "ui/main_frame.h"
#include "ui/window_startup.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  RefreshSystemCodePage();
  if (!IsDisplayAvailable()) {
    std::fputs(kNoDisplayMessage, stderr);
    return 1;
  }
  QApplication app(argc, argv);
  InstallQtTranslations(app);
  const std::string mode = argc > 1 ? argv[1] : "";

  CMainFrame frame(false);
  frame.Core().SetWindowDestroyingHandler([] { std::puts("teardown"); });
  ShowMainWindow(frame);
  frame.LogToWindow(SystemText("尝试打开套接字端口8089"));
  frame.LogToWindow(SystemText("成功打开套接字端口8089"));
  frame.LogToWindow(SystemText("尝试启动监听线程"));
  frame.LogToWindow(SystemText("成功启动监听线程后发送成功启动广播"));
  frame.SetMessageText("Error accept 24");

  QTimer::singleShot(500, &frame, [&] {
    if (mode == "menu") {
      frame.menuBar()->setActiveAction(frame.Popups()[1]->menuAction());
      frame.Popups()[1]->setActiveAction(frame.FindMenuCommand(ID_VIEW_HIDE));
    } else if (mode == "close") {
      frame.close();
    } else if (mode == "usage") {
      frame.OnCmdMsg(ID_HELP_USAGE);
    } else if (mode == "about") {
      frame.OnCmdMsg(ID_APP_ABOUT);
    } else if (mode == "hide" || mode == "traymenu") {
      frame.OnCmdMsg(ID_VIEW_HIDE);
      std::printf("tray icon shown: %d\n", frame.TrayNotifier().IsIconShown() ? 1 : 0);
      std::fflush(stdout);
      if (mode == "traymenu") frame.OnTrayNotify(kTrayIconId, kTrayRightButtonUp);
    }
  });
  return QApplication::exec();
}
