#include "app/gateway_app.h"

#include "app/command_line.h"
#include "app/headless_frame.h"
#include "app/operation_record.h"
#include "app/protection_options.h"
#include "app/work_directory.h"
#include "core/activity_log.h"
#include "net/datagram_sender.h"
#include "net/gateway_counters.h"
#include "opc/call_deadline.h"
#include "opc/server_loss.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/process_limits.h"
#include "platform/socket_api.h"
#include "platform/standard_output.h"
#include "platform/string_format.h"
#include "protocol/request_dispatcher.h"
#include "protocol/request_settings.h"
#include "res/resource.h"
#include "res/strings.h"

CGatewayApp::CGatewayApp() = default;

CGatewayApp::~CGatewayApp() = default;

void CGatewayApp::ShowMessage(const std::string& text) {
  if (m_backgroundMode || !m_messageBox) {
    WriteStandardOutput(text);
  } else {
    m_messageBox(text);
  }
}

void CGatewayApp::ReportStartFailure(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    LogToFile(line);
    if (!text.empty()) text += '\n';
    text += line;
  }
  ShowMessage(text);
}

MainWindow CGatewayApp::CreateMainFrame() {
  if (m_frameFactory)
    return m_frameFactory(m_progId, m_backgroundMode,
                          {*m_sender, m_requests, m_counters, m_logSwitches});
  return MainWindow{std::make_shared<CHeadlessFrame>(m_backgroundMode)};
}

// The listener chain: started only after both sockets are open; stopped by closing the listening
// socket and joining every listener thread.
void CGatewayApp::StartListenerChain() {
  CListenerChain::RequestCall answer;
  if (CRequestDispatcher* dispatcher = m_dispatcher) {
    answer = [dispatcher](CHttpBlockingSocket& connection) { dispatcher->OnRequest(connection); };
    // A status request that the UI thread does not take up at once (held by a server call) is
    // answered from the published figures on the listener thread; it is counted on the UI
    // thread afterwards.
    std::weak_ptr<CApartment> ui = CApartment::ForCurrentThread();
    m_listening = std::make_shared<bool>(true);  // false once the chain stopped (UI thread)
    std::shared_ptr<bool> listening = m_listening;
    m_listenerChain.SetAnswerHere(&CRequestDispatcher::IsStatusRequestAnswerableHere,
                                  [dispatcher, ui, listening](CHttpBlockingSocket& connection) {
                                    const std::optional<double> seconds =
                                        CRequestDispatcher::AnswerStatusHere(connection);
                                    if (!seconds) return false;
                                    if (const std::shared_ptr<CApartment> apartment = ui.lock()) {
                                      apartment->Post([dispatcher, listening, spent = *seconds] {
                                        if (*listening) dispatcher->RecordStatusAnswered(spent);
                                      });
                                    }
                                    return true;
                                  });
  }
  m_listenerChain.Start(socketListen, m_protection, CApartment::ForCurrentThread(),
                        std::move(answer), &CRequestDispatcher::ReadRequest);
}

void CGatewayApp::StopListenerChain() {
  socketListen.Close();
  m_listenerChain.Stop();
  if (m_listening) *m_listening = false;
}

bool CGatewayApp::InitInstance(std::string_view commandLine) {
  m_exitCode = 0;
  m_started = false;
  CommandLineOptions options;
  if (!TakeCommandLine(commandLine, options)) return false;
  m_sender.emplace(socketNotify, DatagramAddress{remoteHost, remotePort},
                   m_logSwitches.logValueChanges, m_counters);
  if (!PrepareProcess()) {
    m_exitCode = 1;
    return false;
  }

  // 3 and 4. The main frame (placed and shown by the frame itself unless in background mode).
  MainWindow window = CreateMainFrame();
  m_mainFrame = std::move(window.frame);
  m_dispatcher = window.dispatcher;
  pMainFrame = m_mainFrame.get();
  // Each start is on record with the options in effect (in background mode the log file is all
  // an operator sees of it).
  LogToFile(StartRecordText(options));
  ReportStartNotes(options);

  // 5. The sockets, and the metrics port when asked for.
  if (!OpenSocketsLogged() || !OpenMetricsPort()) {
    m_instanceLock.Release();
    m_exitCode = 1;
    return false;
  }

  // 6 to 8. The first listener thread; then the gateway is ready for requests.
  m_mainFrame->LogToWindow(SystemText("尝试启动监听线程"));
  StartListenerChain();
  CHealthServices::StatusFiller figures;
  if (CRequestDispatcher* dispatcher = m_dispatcher)
    figures = [dispatcher](GatewayStatus& status) { dispatcher->FillStatus(status); };
  m_health.Start(
      std::move(figures), m_protection,
      StringPrintf("listening for requests on port %u", static_cast<unsigned>(listenPort)));
  m_mainFrame->LogToWindow(SystemText("成功启动监听线程后发送成功启动广播"));

  // 9. The startup announcement.
  m_sender->SendText(kStartupDatagram);
  m_started = true;
  if (options.connectAtStart) ConnectServerAtStart();
  return true;
}

void CGatewayApp::ReportStartNotes(const CommandLineOptions& options) {
  // A ProgID that the machine does not know makes every request fail: say so now, not at the
  // first request. The gateway still starts (the server may be installed later).
  std::string unknownServer;
  if (!CServerConnection::ProgIdRegistered(m_progId, unknownServer)) {
    m_mainFrame->LogToWindow(unknownServer);
    LogToFile(unknownServer);  // once: a line mirrored from the pane is not written again
  }
  // Words that are no option are ignored, as ever, but named: a typo must not pass unseen.
  for (const std::string& word : options.unknownOptions) {
    const std::string text = UnknownOptionText(word);
    m_mainFrame->LogToWindow(text);
    LogToFile(text);  // once: a line mirrored from the pane is not written again
    if (m_backgroundMode) WriteStandardOutput(text);
  }
}

void CGatewayApp::ConnectServerAtStart() {
  CRequestDispatcher* dispatcher = m_dispatcher;
  if (dispatcher == nullptr) return;
  // From the event loop, as a request's creation runs: the window is up and the listener serves
  // first. The frame's weak reference tells whether the dispatcher still exists then.
  const std::weak_ptr<IFrameView> frame = m_mainFrame;
  CApartment::ForCurrentThread()->Post([frame, dispatcher] {
    if (frame.expired()) return;
    dispatcher->Connection().ConnectAtStart();
  });
}

bool CGatewayApp::TakeCommandLine(std::string_view commandLine, CommandLineOptions& options) {
  options.listenPort = listenPort;
  options.remotePort = remotePort;
  options.remoteHost = remoteHost;
  options.progId = m_progId;
  ParseCommandLine(commandLine, options);
  listenPort = options.listenPort;
  remotePort = options.remotePort;
  remoteHost = options.remoteHost;
  m_backgroundMode = options.backgroundMode;
  m_progId = options.progId;
  m_metricsPort = options.metricsPort;
  if (options.showUsage) {
    ShowMessage(LoadResString(IDS_USAGE));
    return false;  // asked for; not a failure
  }
  if (!options.optionError.empty()) {
    ReportStartFailure({options.optionError});
    m_exitCode = 1;
    return false;
  }
  // Before anything is written to the log file, which lives in the working directory.
  std::string workDirError;
  if (options.workDir && !EnterWorkDirectory(*options.workDir, workDirError)) {
    ReportStartFailure({workDirError});
    m_exitCode = 1;
    return false;
  }
  m_protection = options.protection;
  m_requests = options.requests;
  m_requests.failover = options.failover;
  return true;
}

bool CGatewayApp::PrepareProcess() {
  // 1. One instance per listening port.
  const std::string guardName = StringPrintf("com.vesk.Morvantel.semaphore.%d", listenPort);
  if (m_instanceLock.Acquire(guardName) == CInstanceLock::Result::kAlreadyHeld) {
    // The defined line, then which port and what to do.
    ReportStartFailure({LoadResString(IDS_ONE_INSTANCE_ONLY), PortServedText(listenPort)});
    return false;
  }
  // 2. The socket library.
  if (!SocketStartup()) {
    ReportStartFailure({LoadResString(IDS_SOCKETS_INIT_FAILED)});
    m_instanceLock.Release();
    return false;
  }
  std::string bindError;
  if (!CheckBindAddress(m_protection.bindAddress, bindError)) {
    ReportStartFailure({bindError});
    m_instanceLock.Release();
    return false;
  }
  // Every request connection is a descriptor: take all the system allows.
  m_protection.openFileLimit = RaiseOpenFileLimit();
  return true;
}

bool CGatewayApp::OpenSocketsLogged() {
  try {
    const std::string trying = StringPrintf(SystemText("尝试打开套接字端口%d").c_str(), listenPort);
    m_mainFrame->LogToWindow(trying);
    LogToFile(trying);
    OpenSockets();
    const std::string opened = StringPrintf(SystemText("成功打开套接字端口%d").c_str(), listenPort);
    m_mainFrame->LogToWindow(opened);
    LogToFile(opened);
    return true;
  } catch (const CBlockingSocketException& e) {
    ReportSocketFailure(e);
    return false;
  }
}

bool CGatewayApp::OpenMetricsPort() {
  std::string message;
  if (m_health.OpenMetrics(m_metricsPort, m_protection.bindAddress, message)) return true;
  // Reported like a taken request port: on standard output (or the message box) and on file.
  ShowMessage(message);
  LogToFile(message);
  return false;
}

void CGatewayApp::ReportSocketFailure(const CBlockingSocketException& e) {
  char text[32];
  e.GetErrorMessage(text, sizeof text);
  // Deliberately more than the defined pane line: the log file gets it too, a port held by
  // another program is named as such, and the operator sees it (standard output in background
  // mode, where the defined output is the error text alone; else a message box).
  std::vector<std::string> lines{
      StringPrintf(SystemText("打开网络端口% d 错误 %s").c_str(), listenPort, text)};
  if (e.m_nErrorCode == kErrorAddressInUse) lines.push_back(PortTakenText(listenPort));
  if (!m_backgroundMode) {
    m_mainFrame->LogToWindow(lines.front());
    ReportStartFailure(lines);
    return;
  }
  WriteStandardOutput(text);
  for (const std::string& line : lines) LogToFile(line);
  if (lines.size() > 1) WriteStandardOutput(lines.back());
}

void CGatewayApp::OpenSockets() {
  socketNotify.Create(kSockDgram);
  if (remoteHost == 0xFFFFFFFFu) SocketSetBroadcast(socketNotify.m_socket, true);
  socketListen.Create(kSockStream);
  socketListen.Bind(CSocketAddress(m_protection.bindAddress, listenPort));
  socketListen.Listen();
}

void CGatewayApp::DestroyMainFrame() {
  m_health.Stop();
  StopListenerChain();
  pMainFrame = nullptr;
  m_dispatcher = nullptr;
  m_mainFrame.reset();
}

int CGatewayApp::ExitInstance() {
  m_health.Stop();
  socketListen.Close();
  StopListenerChain();
  m_instanceLock.Release();
  if (m_sender) m_sender->SendText(kExitDatagram);
  socketNotify.Close();
  if (m_started) LogToFile(StopRecordText());
  m_started = false;
  remoteHost = 0;
  listenPort = 0;
  remotePort = 0;
  return m_exitCode;
}
