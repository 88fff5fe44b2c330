// quarnixd, the gateway without a window (Linux): always in background mode, its UI thread's
// loop the apartment's own (no toolkit), so that a service needs no GUI or X11 library. The
// options are those of quarnix; /s is implied. SIGTERM and SIGINT run the normal shutdown.
#include <atomic>
#include <chrono>
#include <clocale>
#include <memory>

#include "app/command_line.h"
#include "app/gateway_app.h"
#include "app/headless_frame.h"
#include "app/main_window.h"
#include "core/activity_log.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/signal_hook.h"
#include "platform/socket_api.h"
#include "platform/string_format.h"
#include "sim/simulator.h"

namespace {

MainWindow MakeHeadlessWindow(const WideString& progId, const FailoverSettings& failover,
                              bool backgroundMode, CDatagramSender& sender) {
  auto frame = std::make_shared<CHeadlessFrame>(backgroundMode);
  return AssembleMainWindow(frame, frame->Core(), progId, sender, failover);
}

// Runs the calls posted to the UI thread until a stop is asked for. A call that throws is
// logged and the loop goes on, as the window program's event loop does.
void RunLoop(CApartment& ui, const std::atomic<bool>& stop) {
  const auto stopped = [&stop] { return stop.load(); };
  while (!stop.load()) {
    try {
      ui.RunUntil(stopped, std::chrono::hours(1));
    } catch (...) {
      LogToFile(StringPrintf(SystemText("调用RunPending时，程序抛出了异常。错误代码：%x").c_str(),
                             static_cast<unsigned>(SocketLastError())));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The termination signals are blocked before any other thread exists (see CSignalHook).
  CSignalHook signalHook;
  std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  std::atomic<bool> stop{false};
  signalHook.Start([ui, &stop](int) { ui->Post([&stop] { stop.store(true); }); });

  std::setlocale(LC_ALL, "");
  RefreshSystemCodePage();
  // Background mode first, so that the usage text and start-up errors go to standard output.
  std::string commandLine = "quarnixd /s";
  for (int i = 1; i < argc; ++i) {
    commandLine += ' ';
    commandLine += argv[i];
  }

  // The built-in simulation server answers to the ProgID "Quarnix.Simulator".
  RegisterSimulator();

  theApp.SetFrameFactory(MakeHeadlessWindow);
  if (theApp.InitInstance(commandLine)) RunLoop(*ui, stop);
  theApp.DestroyMainFrame();
  const int exitCode = theApp.ExitInstance();

  signalHook.Stop();
  ui->Close();
  return exitCode;
}
