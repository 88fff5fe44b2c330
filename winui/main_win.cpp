// quarnix.exe: the Windows message loop as the UI thread's loop around theApp.
//
// The same wiring as the Qt program without Qt: the Win32 main window with the request
// dispatcher behind it, the UI apartment drained through WM_REQUEST, the stop signal (console
// Ctrl+C, Ctrl+Break, close, logoff, shutdown) ending the loop through the normal shutdown, and
// the OPC server reached through the real COM (the OPC side initialises COM in the
// single-threaded apartment on this thread when it first connects). The simulation server is the
// separate COM local server quarnix-sim.exe.
//
// /service runs the same under the service control manager (background mode implied); /install
// and /uninstall register and remove that service (winui/windows_service.h). /install checks
// the options it records as a start would (a bad value: its message, status 1, nothing
// registered); /install /check only checks them (the Windows setup asks it before it installs).
//
// A console program: background mode writes to its standard output and stops on the console's
// Ctrl+C (a GUI program would have neither when started from a console or under wine). In
// window mode, a console that was opened for this program alone (started from the desktop) is
// given back at once, so only the window stays.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/gateway_app.h"
#include "app/main_window.h"
#include "app/work_directory.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/signal_hook.h"
#include "platform/standard_output.h"
#include "res/resource.h"
#include "res/strings.h"
#include "winui/main_frame.h"
#include "winui/request_pump.h"
#include "winui/win32_headers.h"
#include "winui/win_text.h"
#include "winui/windows_service.h"

namespace {

std::shared_ptr<CRequestPump> g_pump;
// Set when the end of the Windows session ran the shutdown already.
bool g_exitedEarly = false;
int g_exitCode = 0;
// The UI apartment while the gateway runs as a service, for the service manager's stop.
std::mutex g_serviceMutex;
std::shared_ptr<CApartment> g_serviceUi;

void EndSession() {
  if (g_exitedEarly) return;
  g_exitedEarly = true;
  g_exitCode = theApp.ExitInstance();
}

MainWindow MakeMainFrame(const WideString& progId, const FailoverSettings& failover,
                         bool backgroundMode, CDatagramSender& sender) {
  auto frame = std::make_shared<CMainFrame>(backgroundMode);
  frame->SetRequestPump(g_pump);
  frame->SetSessionEndingHandler(EndSession);
  MainWindow window = AssembleMainWindow(frame, frame->Core(), progId, sender, failover);
  frame->LoadFrame();  // a window that cannot be made leaves a frame without window
  if (!backgroundMode) frame->ShowAtStartup();
  return window;
}

// The start-up messages outside background mode (usage, one instance only, no sockets).
void ShowMessageBox(const std::string& text) {
  HWND owner = nullptr;
  if (auto* frame = dynamic_cast<CMainFrame*>(pMainFrame)) owner = frame->GetSafeHwnd();
  MessageBoxW(owner, SystemToWide(text).c_str(), ResourceString(AFX_IDS_APP_TITLE).c_str(),
              MB_OK | MB_ICONEXCLAMATION);
}

// Background mode writes its texts to standard output byte for byte (binary mode: a line ends
// in LF, as on every other platform). In window mode a console of this program's own is closed;
// one shared with the program that started it (a command prompt) stays.
void PrepareConsole(bool backgroundMode) {
  if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
  if (backgroundMode) return;
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

int RunMessageLoop(CRequestPump& pump) {
  MSG msg;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);
    if (got < 0) return 1;
    if (pump.PreTranslate(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The gateway's run on the calling thread, which becomes the UI thread. As a service there is
// no console: the service manager's stop takes the place of the stop signal (which would also
// stop the service when a user logs off), and serving() reports that the gateway serves.
int RunGateway(const std::string& commandLine, bool asService,
               const std::function<void()>& serving) {
  // The stop signal is hooked first, before any other thread exists.
  CSignalHook signalHook;
  std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  if (asService) {
    std::lock_guard lock(g_serviceMutex);
    g_serviceUi = ui;
  } else {
    signalHook.Start([ui](int) { ui->Post([] { PostQuitMessage(0); }); });
  }

  RefreshSystemCodePage();
  PrepareConsole(ParseCommandLine(commandLine).backgroundMode);

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  // Calls posted to the UI thread's apartment run from the message loop (WM_REQUEST).
  g_pump = std::make_shared<CRequestPump>(ui);
  g_pump->Install();
  g_pump->Wake();  // anything posted before

  theApp.SetFrameFactory(MakeMainFrame);
  theApp.SetMessageBox(ShowMessageBox);
  if (theApp.InitInstance(commandLine)) {
    if (serving) serving();
    RunMessageLoop(*g_pump);
  }
  theApp.DestroyMainFrame();
  const int exitCode = g_exitedEarly ? g_exitCode : theApp.ExitInstance();

  signalHook.Stop();
  {
    std::lock_guard lock(g_serviceMutex);
    g_serviceUi.reset();
  }
  g_pump.reset();
  ui->SetWaker(nullptr);
  ui->Close();
  return exitCode;
}

// The first of /service, /install and /uninstall on the line (any letter case), or npos.
std::size_t FindServiceOption(const std::vector<std::string>& tokens, std::string& option) {
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    for (const char* name : {"/service", "/install", "/uninstall"}) {
      if (!IsOption(tokens[i], name)) continue;
      option = name;
      return i;
    }
  }
  return std::string::npos;
}

// The tokens of the raw command line, the program path first as one token even when it is
// quoted and holds spaces ("C:\Program Files\Quarnix\quarnix.exe"), so that no part of it is
// taken for an option and passed on to the service's command line.
std::vector<std::string> SplitProgramAndOptions(const std::string& commandLine) {
  if (commandLine.empty() || commandLine[0] != '"') return SplitCommandLine(commandLine);
  const std::size_t close = commandLine.find('"', 1);
  if (close == std::string::npos) return SplitCommandLine(commandLine);
  std::vector<std::string> tokens{commandLine.substr(0, close + 1)};
  for (std::string& option : SplitCommandLine(commandLine.substr(close + 1))) {
    tokens.push_back(std::move(option));
  }
  return tokens;
}

// /install: the options are checked by the start's own code first, so that no service is
// registered that would fail at every start; with /check they are only checked. tokens: the
// line without /install, the program path first.
int InstallCheckedService(const std::vector<std::string>& tokens) {
  std::vector<std::string> options(tokens.begin() + 1, tokens.end());
  const bool checkOnly =
      std::erase_if(options, [](const std::string& token) { return IsOption(token, "/check"); });
  std::string serviceLine = "quarnix.exe /s";  // the program path is skipped anyway
  for (const std::string& option : options) serviceLine += " " + option;
  if (ParseCommandLine(serviceLine).showUsage) {
    WriteStandardOutput(LoadResString(IDS_USAGE));
    return 0;
  }
  const std::string error = StartOptionsError(serviceLine);
  if (!error.empty()) {
    WriteStandardOutput(error);
    WriteStandardOutput(SystemText("未注册Windows服务Quarnix：请改正这个选项后再执行 /install。"));
    return 1;
  }
  if (checkOnly) {
    WriteStandardOutput(SystemText("选项有效，未做任何更改。"));
    return 0;
  }
  return InstallService(options);
}

}  // namespace

int main() {
  // The options are read from the raw command line, the program path included.
  const std::string commandLine = GetCommandLineA();
  std::vector<std::string> tokens = SplitProgramAndOptions(commandLine);
  std::string serviceOption;
  const std::size_t at = FindServiceOption(tokens, serviceOption);
  if (at == std::string::npos) return RunGateway(commandLine, false, nullptr);

  RefreshSystemCodePage();
  if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
  tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(at));
  if (serviceOption == "/install") return InstallCheckedService(tokens);
  if (serviceOption == "/uninstall") return UninstallService();

  // /service: background mode with the rest of the line, in the program's folder (the log
  // file's place; a service starts in the system folder).
  std::string gatewayLine = "quarnix.exe /s";  // the program path is skipped anyway
  for (std::size_t i = 1; i < tokens.size(); ++i) gatewayLine += " " + tokens[i];
  int exitStatus = 1;
  const bool ranAsService = RunUnderServiceManager(
      [&gatewayLine](const std::function<void()>& serving) {
        UseProgramFolderAsWorkingDirectory();
        return RunGateway(gatewayLine, true, serving);
      },
      [] {
        std::lock_guard lock(g_serviceMutex);
        if (g_serviceUi) g_serviceUi->Post([] { PostQuitMessage(0); });
      },
      exitStatus);
  if (!ranAsService) {
    WriteStandardOutput(StartedByHandText());
    return 1;
  }
  return exitStatus;
}
