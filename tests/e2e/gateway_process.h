// Runs the built gateway as a child process for end-to-end tests.
//
// The child gets the given options, a working directory (where its log file goes) that is also
// its runtime directory (where its lock files go), a UTF-8 locale (or the one
// QUARNIX_E2E_LOCALE names), no preset Qt platform (so
// background mode must choose one itself), and a pipe as standard output.
//
// Error rule: Started() tells whether the child runs; nothing throws. Thread rule: one thread.
// Ownership: the destructor kills a child that is still running and reaps it.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

class CGatewayProcess {
public:
  CGatewayProcess(const std::vector<std::string>& options, const std::filesystem::path& workDir);
  ~CGatewayProcess();
  CGatewayProcess(const CGatewayProcess&) = delete;
  CGatewayProcess& operator=(const CGatewayProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  // The child's process id (for reading its figures from the system), or -1.
  int Pid() const { return m_pid; }
  // Sends a signal; SIGTERM becomes SIGINT when QUARNIX_E2E_STOP_SIGNAL=SIGINT (wine).
  void Signal(int signal);
  // Waits until the child has ended; false when it still runs at the deadline.
  bool WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool Exited() const { return m_exited; }
  // The exit status when it ended by itself, or -1 when a signal ended it.
  int ExitCode() const { return m_exitCode; }
  // Everything the child has written to standard output so far.
  std::string StandardOutput();

  // The program under test: the built gateway unless QUARNIX_E2E_GATEWAY names another.
  static std::string Executable();
  // How it is started: the program, after the launcher QUARNIX_E2E_LAUNCHER names (if any).
  static std::vector<std::string> Command();
  // A built-in UTF-8 text as the gateway under test writes it: in the code page that
  // QUARNIX_E2E_CODEPAGE names (an iconv name such as GBK, for the Windows build under a
  // Chinese locale), else unchanged.
  static std::string GatewayText(const std::string& utf8);

  // The system's code for "address in use" as the gateway under test reports it: EADDRINUSE,
  // or the number QUARNIX_E2E_ADDRESS_IN_USE gives (10048 for the Windows build).
  static int AddressInUseCode();

  // A fresh private directory for one test (mode 0700, removed by the caller).
  static std::filesystem::path MakeWorkDirectory();

private:
  int m_pid = -1;
  int m_stdout = -1;
  bool m_exited = false;
  int m_exitCode = -1;
  std::string m_output;
};
