// quarnix.exe as the Windows service "Quarnix": running under the service control manager
// (/service), and registering (/install) and removing (/uninstall) the service.
//
// RunUnderServiceManager connects the process to the service control manager and runs the
// gateway on the service's own thread, which then is the UI thread (its message loop serves COM
// as in /s). The service reports "running" once the gateway serves; a stop or a system shutdown
// calls the stop function, which must make the gateway run its normal shutdown; the service
// reports "stopped" with the gateway's exit status (a failed start counts as a failure, so the
// restart-on-failure setting applies). InstallService and UninstallService print what they did,
// or why nothing was done, on standard output.
//
// Error rule: RunUnderServiceManager returns false when the process was not started by the
// service control manager (started by hand): the gateway did not run. InstallService and
// UninstallService return the process exit status (0 done, 1 not done).
// Thread rule: call from the program's main thread. The stop function runs on the service
// manager's dispatcher thread and must only post work to the UI thread.
// Ownership: nothing is kept beyond the calls.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The service's name, as `net start` and the services console know it.
extern const wchar_t kServiceName[];  // L"Quarnix"

// The gateway's run: it calls serving() once it serves requests and returns its exit status.
using ServiceBody = std::function<int(const std::function<void()>& serving)>;

bool RunUnderServiceManager(ServiceBody body, std::function<void()> stop, int& exitStatus);

// Registers the service: automatic start, its description, "<this program> /service options",
// restarted after a failure. Needs administrator rights.
int InstallService(const std::vector<std::string>& options);
// Stops the service when it runs, then removes it. Needs administrator rights.
int UninstallService();

// Makes the folder of quarnix.exe the working directory (a service starts in the system folder),
// so that the log file lies beside the program unless /workdir names another folder (the setup
// gives %ProgramData%\Quarnix). False when it could not be changed.
bool UseProgramFolderAsWorkingDirectory();

// The text for /service given by hand, for standard output.
std::string StartedByHandText();
