// quarnix, the Linux program's entry: the Qt event loop as the UI thread's message loop around
// theApp, with the Qt main window assembled with the OPC side (app/main_window.h).
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QString>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <memory>

#include "app/command_line.h"
#include "app/gateway_app.h"
#include "app/main_window.h"
#include "core/activity_log.h"
#include "core/apartment_drain.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/signal_hook.h"
#include "platform/socket_api.h"
#include "platform/standard_output.h"
#include "platform/string_format.h"
#include "res/resource.h"
#include "res/strings.h"
#include "sim/simulator.h"
#include "ui/main_frame.h"
#include "ui/window_startup.h"

namespace {

MainWindow MakeMainFrame(const WideString& progId, const FailoverSettings& failover,
                         bool backgroundMode, CDatagramSender& sender) {
  auto frame = std::make_shared<CMainFrame>(backgroundMode);
  MainWindow window = AssembleMainWindow(frame, frame->Core(), progId, sender, failover);
  if (!backgroundMode) ShowMainWindow(*frame);
  return window;
}

// A code-page text as Qt's string.
QString ToQString(const std::string& text) {
  return QString::fromStdU16String(MultiByteToWide(text));
}

void ShowMessageBox(const std::string& text) {
  QMessageBox::warning(nullptr, ToQString(LoadResString(AFX_IDS_APP_TITLE)), ToQString(text),
                       QMessageBox::Ok);
}

// True while a drain of the UI thread's apartment is queued on the event loop and has not
// started: calls posted meanwhile run in that drain, so a burst of requests wakes the loop once.
std::atomic<bool> g_drainScheduled{false};

void DrainApartment(const std::shared_ptr<CApartment>& ui);

void ScheduleDrain(const std::shared_ptr<CApartment>& ui) {
  if (g_drainScheduled.exchange(true)) return;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [ui] { DrainApartment(ui); }, Qt::QueuedConnection);
}

// Runs the calls queued for the UI thread (core/apartment_drain.h).
void DrainApartment(const std::shared_ptr<CApartment>& ui) {
  // Cleared before the queue is taken: a call posted from now on schedules the next drain.
  g_drainScheduled.store(false);
  RunQueuedCalls(*ui, [ui] { ScheduleDrain(ui); });
}

// Qt's notice that XDG_RUNTIME_DIR is unset (normal for a service or a plain shell) says nothing
// an operator can act on; every other Qt message goes to the default handler.
QtMessageHandler g_defaultQtMessages = nullptr;

void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
  if (g_defaultQtMessages != nullptr) g_defaultQtMessages(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
  // The termination signals are blocked here, before any other thread exists, so that every
  // thread inherits the block and only the hook's thread receives them.
  CSignalHook signalHook;
  std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  signalHook.Start([ui](int) { ui->Post([] { QCoreApplication::exit(0); }); });

  std::setlocale(LC_ALL, "");
  RefreshSystemCodePage();
  const std::string commandLine = JoinArguments(argc, argv);

  // Background mode needs no display: choose the offscreen platform unless one was set.
  // Without it, the window needs a display; say so plainly instead of letting Qt abort.
  const CommandLineOptions options = ParseCommandLine(commandLine);
  const bool backgroundMode = options.backgroundMode;
  if (options.showUsage && !backgroundMode && !IsDisplayAvailable()) {
    // Asked for the usage where no window can show it: standard output instead.
    WriteStandardOutput(LoadResString(IDS_USAGE));
    signalHook.Stop();
    return 0;
  }
  if (backgroundMode && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  } else if (!backgroundMode && !IsDisplayAvailable()) {
    std::fputs(kNoDisplayMessage, stderr);
    signalHook.Stop();
    return 1;
  }
  g_defaultQtMessages = qInstallMessageHandler(FilterQtMessages);
  QApplication qtApp(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  InstallQtTranslations(qtApp);

  // The built-in simulation server answers to the ProgID "Quarnix.Simulator".
  RegisterSimulator();

  // Calls posted to the UI thread's apartment run on the Qt event loop.
  ui->SetWaker([ui] { ScheduleDrain(ui); });
  ScheduleDrain(ui);  // anything posted before

  theApp.SetFrameFactory(MakeMainFrame);
  theApp.SetMessageBox(ShowMessageBox);
  if (theApp.InitInstance(commandLine)) QApplication::exec();
  theApp.DestroyMainFrame();
  const int exitCode = theApp.ExitInstance();

  signalHook.Stop();
  ui->SetWaker(nullptr);
  ui->Close();
  return exitCode;
}
