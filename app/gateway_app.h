// The application object: command line, single-instance guard, start-up and shutdown.
//
// CGatewayApp owns the gateway's two long-lived sockets (through CGatewaySockets), the datagram
// sender on the UDP socket (made once the command line is read, handed to the main window's OPC
// side), the single-instance guard and the main frame. InitInstance runs the start-up in its fixed
// order (command line, guard, socket library, main frame, sockets and the metrics port, listener,
// READY to the service manager and the metrics server, startup datagram);
// the event loop runs only when it returns true. Afterwards the host destroys the main frame
// (DestroyMainFrame, which tears down the OPC side) and calls ExitInstance, which closes the
// listening socket, gives up the guard, sends the exit datagram and closes the UDP socket. No
// toolkit appears here: the host installs the frame factory and the message box. Each start
// (version, every option in effect) and each normal stop is recorded in the log file.
//
// Error rule: start-up failures are written to the log file and shown to the user (standard
// output in background mode, else the message box) and make InitInstance return false;
// ExitInstance's result is the process exit code (0 after a normal run or the usage text, 1 after a
// failed start). Thread rule: UI thread only. Ownership: the application owns the frame it created
// and both sockets; sockets are closed by ExitInstance, never by the destructor.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/health_services.h"
#include "app/main_window.h"
#include "core/frame_view.h"
#include "net/blocking_socket.h"
#include "net/datagram_sender.h"
#include "net/gateway_sockets.h"
#include "net/listener.h"
#include "platform/instance_lock.h"
#include "platform/wide_string.h"

class CGatewayApp : public CGatewaySockets {
public:
  // Makes the main window for a ProgID. The frame applies the window placement itself and stays
  // hidden in background mode. The application keeps the returned frame as the owner and hands
  // the dispatcher's entry to the listener chain. The window's OPC side sends its datagrams
  // through sender, which outlives the window; failover names its backup server, if any.
  using FrameFactory =
      std::function<MainWindow(const WideString& progId, const FailoverSettings& failover,
                               bool backgroundMode, CDatagramSender& sender)>;
  // Shows a text in a message box with an OK button.
  using MessageBoxHandler = std::function<void(const std::string& text)>;

  CGatewayApp();
  ~CGatewayApp();

  // Start-up, from the process's raw command line (program path first). True: run the loop.
  bool InitInstance(std::string_view commandLine);
  // The window's destruction, done by the host after the loop and before ExitInstance. The
  // listener chain is stopped first (listening socket closed, its threads joined), so that no
  // listener reaches the frame or hands over a request while the frame goes away.
  // Safe to call when no frame exists.
  void DestroyMainFrame();
  // Shutdown; returns the process exit code. Runs also after a failed start and undoes only
  // what exists.
  int ExitInstance();
  // Creates the UDP socket (broadcast on for 255.255.255.255) and the listening TCP socket on
  // listenPort (at the /bind address, or every interface). Throws CBlockingSocketException on
  // the first failure.
  void OpenSockets();

  // The host's hooks; both optional (defaults: the headless frame without a dispatcher, whose
  // requests are closed without a reply; standard output).
  void SetFrameFactory(FrameFactory factory) { m_frameFactory = std::move(factory); }
  void SetMessageBox(MessageBoxHandler handler) { m_messageBox = std::move(handler); }

  bool BackgroundMode() const { return m_backgroundMode; }
  const WideString& ProgId() const { return m_progId; }
  IFrameView* MainFrame() const { return m_mainFrame.get(); }

  // Tells the user about a start-up condition: standard output in background mode, else the
  // message box (standard output too when the host installed none).
  void ShowMessage(const std::string& text);
  // A start that ends before serving: each line to the log file (all that the operator of a
  // service sees), then to the user as ShowMessage does (one line each on standard output, one
  // message box for all).
  void ReportStartFailure(const std::vector<std::string>& lines);

private:
  // Step 3 of the start-up: the one place where the main window is made.
  MainWindow CreateMainFrame();
  // Step 7 of the start-up and its counterpart in ExitInstance: the listener chain's hooks.
  // InitInstance's steps: the command line taken (false: stop, the exit code set); the
  // single-instance guard, the socket library, the listening address and the open-file limit
  // (false: stop, the guard given back); the sockets opened with their log lines (false: the
  // failure reported).
  bool TakeCommandLine(std::string_view commandLine, CommandLineOptions& options);
  bool PrepareProcess();
  bool OpenSocketsLogged();
  // The metrics port (/metrics); false after reporting why it cannot be opened.
  bool OpenMetricsPort();
  void ReportSocketFailure(const CBlockingSocketException& e);
  // After the start record: the ignored unknown words, each named with the closest option (also
  // on standard output in background mode), and a ProgID that is not registered on this
  // machine; both in the window's pane and the log file.
  void ReportStartNotes(const CommandLineOptions& options);
  // /connect: the OPC server's creation queued for the event loop (the recovery retries it).
  void ConnectServerAtStart();
  void StartListenerChain();
  void StopListenerChain();

  WideString m_progId = OLESTR("OPC.SimaticNET");
  FailoverSettings m_failover;
  bool m_backgroundMode = false;
  // The datagram sender, made once the command line has given its destination; it outlives
  // the main frame, whose OPC side sends through it.
  std::optional<CDatagramSender> m_sender;
  CInstanceLock m_instanceLock;  // the named guard "com.vesk.Morvantel.semaphore.<listenPort>"
  std::shared_ptr<IFrameView> m_mainFrame;
  FrameFactory m_frameFactory;
  MessageBoxHandler m_messageBox;
  CRequestDispatcher* m_dispatcher = nullptr;  // the main window's, while it exists
  CListenerChain m_listenerChain;
  std::shared_ptr<bool> m_listening;  // whether the chain serves (the status counts posted by it)
  CHealthServices m_health;           // the metrics port and the service manager's notifications
  std::uint16_t m_metricsPort = 0;
  int m_exitCode = 0;
  bool m_started = false;  // InitInstance succeeded; ExitInstance records the stop
};

// The one application object.
extern CGatewayApp theApp;
