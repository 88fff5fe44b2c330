#include "winui/windows_service.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "app/command_line.h"
#include "platform/codepage.h"
#include "platform/standard_output.h"
#include "platform/string_format.h"
#include "winui/win32_headers.h"

const wchar_t kServiceName[] = L"Quarnix";

namespace {

constexpr DWORD kStartWaitHintMs = 30000;
constexpr DWORD kStopWaitHintMs = 60000;
constexpr DWORD kRestartDelayMs = 10000;  // after a failure
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;

// The service thread's state; ServiceMain and the control handler are plain callbacks.
std::mutex g_mutex;
ServiceBody g_body;
std::function<void()> g_stop;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
std::atomic<int> g_exitStatus{0};  // set by the service thread before it reports "stopped"
bool g_stopRequested = false;

void ReportStatus(DWORD state, DWORD controlsAccepted, DWORD waitHint, int exitStatus = 0) {
  std::lock_guard lock(g_mutex);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = controlsAccepted;
  g_status.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  g_status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
  g_status.dwWaitHint = waitHint;
  g_status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : g_status.dwCheckPoint + 1;
  if (g_statusHandle != nullptr) SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      std::function<void()> stop;
      {
        std::lock_guard lock(g_mutex);
        if (g_stopRequested) return NO_ERROR;
        g_stopRequested = true;
        stop = g_stop;
      }
      ReportStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
      if (stop) stop();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, OnServiceControl, nullptr);
  if (g_statusHandle == nullptr) return;
  ReportStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);
  const int exitStatus = g_body(
      [] { ReportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0); });
  g_exitStatus = exitStatus;
  ReportStatus(SERVICE_STOPPED, 0, 0, exitStatus);
}

std::wstring Wide(const std::string& systemText) {
  const WideString wide = MultiByteToWide(systemText);
  return std::wstring(wide.begin(), wide.end());
}

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The folder of the service's log file: the value of /workdir among the options, else the
// program's folder.
std::string LogFolder(const std::vector<std::string>& options, const std::wstring& program) {
  std::string folder = Narrow(FolderOf(program).c_str());
  for (std::size_t i = 0; i + 1 < options.size(); ++i) {
    if (IsOption(options[i], "/workdir")) folder = options[++i];
  }
  return folder;
}

void Say(const std::string& utf8) {
  WriteStandardOutput(SystemText(utf8));
}

// A failure of the service manager, in words an operator can act on.
void SayFailure(const char* action, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    Say(std::string(action) +
        "需要管理员权限：请在以管理员身份运行的命令提示符中再执行一次。未做任何更改。");
    return;
  }
  Say(StringPrintf("%s失败：Windows错误 %lu。未做任何更改。", action,
                   static_cast<unsigned long>(error)));
}

// Closes a service manager handle at scope end.
class CServiceHandle {
public:
  explicit CServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
  ~CServiceHandle() {
    if (m_handle != nullptr) CloseServiceHandle(m_handle);
  }
  CServiceHandle(const CServiceHandle&) = delete;
  CServiceHandle& operator=(const CServiceHandle&) = delete;
  SC_HANDLE Get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }

private:
  SC_HANDLE m_handle;
};

}  // namespace

bool RunUnderServiceManager(ServiceBody body, std::function<void()> stop, int& exitStatus) {
  g_body = std::move(body);
  {
    std::lock_guard lock(g_mutex);
    g_stop = std::move(stop);
  }
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return false;  // not started by the service manager
  exitStatus = g_exitStatus.load();
  return true;
}

int InstallService(const std::vector<std::string>& options) {
  const std::wstring program = ProgramPath();
  std::wstring command = L"\"" + program + L"\" /service";
  for (const std::string& option : options) command += L" " + Wide(option);

  CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    SayFailure("注册Windows服务Quarnix", GetLastError());
    return 1;
  }
  const std::wstring displayName = Wide(SystemText("Quarnix OPC DA 网关"));
  CServiceHandle service(CreateServiceW(
      manager.Get(), kServiceName, displayName.c_str(),
      SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
      SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
      Say("Windows服务Quarnix已经存在，未做任何更改。要换用新的参数，先执行 quarnix.exe "
          "/uninstall，再执行 quarnix.exe /install 加参数。");
    } else {
      SayFailure("注册Windows服务Quarnix", error);
    }
    return 1;
  }

  std::wstring description = Wide(SystemText(
      "把OPC DA服务器的数据通过TCP请求和UDP数据报提供给远程客户端程序。日志文件RV_Morvantel.log在"
      "/workdir给出的文件夹中，未给出时在quarnix.exe所在的文件夹中。"));
  SERVICE_DESCRIPTIONW describe{description.data()};
  ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &describe);

  // Restart after every failure (a crash, or a start or run that ended with a non-zero status).
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs},
                          {SC_ACTION_RESTART, kRestartDelayMs}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureCountResetSeconds;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  const bool restarts =
      ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
  SERVICE_FAILURE_ACTIONS_FLAG onExitStatus{TRUE};
  ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitStatus);

  Say("已注册Windows服务Quarnix：自动启动" +
      std::string(restarts ? "，失败后10秒重新启动" : "（未能设定失败后重新启动）") + "。");
  WriteStandardOutput(SystemText("命令行：") + Narrow(command.c_str()));
  WriteStandardOutput(SystemText("日志文件：") + LogFolder(options, program) +
                      "\\RV_Morvantel.log");
  Say("用 net start Quarnix 启动它，用 net stop Quarnix 停止它。");
  return 0;
}

int UninstallService() {
  CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    SayFailure("删除Windows服务Quarnix", GetLastError());
    return 1;
  }
  CServiceHandle service(
      OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      Say("Windows服务Quarnix不存在，没有要删除的。");
    } else {
      SayFailure("删除Windows服务Quarnix", error);
    }
    return 1;
  }

  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    // The normal shutdown takes a moment; wait for it, within the stop's own limit.
    const ULONGLONG deadline = GetTickCount64() + kStopWaitHintMs;
    while (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
           GetTickCount64() < deadline) {
      Sleep(200);
    }
    Say(status.dwCurrentState == SERVICE_STOPPED ? "已停止Windows服务Quarnix。"
                                                 : "Windows服务Quarnix未能及时停止。");
  }
  if (!DeleteService(service.Get())) {
    SayFailure("删除Windows服务Quarnix", GetLastError());
    return 1;
  }
  Say("已删除Windows服务Quarnix。");
  return 0;
}

bool UseProgramFolderAsWorkingDirectory() {
  const std::wstring folder = FolderOf(ProgramPath());
  return !folder.empty() && SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

std::string StartedByHandText() {
  return SystemText(
      "quarnix.exe /service 只供Windows服务管理器启动服务Quarnix时使用。请用 net start Quarnix "
      "启动服务；在命令提示符中运行网关请用 quarnix.exe /s 加参数。");
}
