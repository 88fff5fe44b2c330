// quarnix-sim.exe: the simulation server "Quarnix.Simulator" as a COM local server, so that the
// gateway reaches it as it reaches a plant's OPC server: through CoCreateInstance, the proxy/stub
// DLL and callbacks marshalled back into its own apartment.
//   quarnix-sim.exe /RegServer     registers the program as the server of Quarnix.Simulator,
//                                  of its flat variant Quarnix.Simulator.Flat and of the second
//                                  server Quarnix.Simulator.2
//   quarnix-sim.exe /UnregServer   removes that registration
//   quarnix-sim.exe -Embedding     how COM starts it: serves until the last object and lock are
//                                  gone
//   quarnix-sim.exe /Instance2 -Embedding
//                                  how COM starts it for Quarnix.Simulator.2: a process of its
//                                  own with the second server's state, so that a crash or hang
//                                  of one server leaves the other serving
// Options start with '/' or '-' and ignore case. Without options it prints its usage. Exit code 0
// on success, 1 on failure, with a plain message on the standard output or error.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "platform/com/com.h"
#include "sim/simulator.h"
#include "simserver/class_factory.h"
#include "simserver/server_downtime.h"
#include "simserver/server_lifetime.h"
#include "simserver/server_registration.h"

namespace {

// COM starts the program for an activation that follows at once; a start that nobody uses ends.
constexpr DWORD kIdleStartMs = 60000;
// After the last release, time for its reply to reach the client before the process ends.
constexpr DWORD kLingerMs = 500;
// A write to "Control.Restart" is answered before the process ends as a crash would.
constexpr DWORD kCrashAfterReplyMs = 300;
// Callbacks still queued when the last object went are settled before COM is left.
constexpr DWORD kDrainMs = 5000;

constexpr char kUsage[] =
    "quarnix-sim.exe: the Quarnix simulation server (ProgID Quarnix.Simulator), started by COM.\n"
    "Usage: quarnix-sim.exe /RegServer     register it\n"
    "       quarnix-sim.exe /UnregServer   remove the registration\n";

// The program is a window-less GUI program, so that COM starting it opens no console window. Its
// messages go to the standard handles when it has them (redirected, or under wine), otherwise
// to the console of the command prompt that started it.
void Print(const std::string& text, bool error) {
  HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
  }
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Format(const char* format, unsigned long code) {
  char text[200];
  std::snprintf(text, sizeof text, format, code);
  return text;
}

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool IsOption(const char* arg, const char* name) {
  return (arg[0] == '/' || arg[0] == '-') && _stricmp(arg + 1, name) == 0;
}

void CountObject(bool made) {
  CServerLifetime& lifetime = CServerLifetime::Instance();
  if (made)
    lifetime.Hold();
  else
    lifetime.Release();
}

// The class objects' registrations with COM (the simulator and its flat variant), withdrawn
// before the process ends.
DWORD g_classCookies[2] = {0, 0};

void RevokeClasses() {
  for (DWORD cookie : g_classCookies)
    if (cookie != 0) CoRevokeClassObject(cookie);
}

// A write to "Control.Restart": the process ends abruptly once the write's reply has left, as a
// crashed server does, without releasing anything its clients hold. Only the class object is
// withdrawn first, so that COM starts a new process at the next creation (wine's activation
// service would otherwise keep routing creations to the dead one). For the asked downtime a new
// process of the same server refuses creations (server_downtime.h).
int g_instance = 1;  // the server this process serves: 2 for Quarnix.Simulator.2

void CrashProcess(unsigned seconds) {
  NoteServerDowntime(g_instance, seconds);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        Sleep(kCrashAfterReplyMs);
        if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
          CoSuspendClassObjects();
          RevokeClasses();
        }
        TerminateProcess(GetCurrentProcess(), 3);
        return 0;
      },
      nullptr, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

// Settles the callbacks queued before the last object went (they hold sink proxies).
void DrainCallbacks() {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr) return;
  if (ComApartmentRef::Current().Post([done] { SetEvent(done); }))
    WaitForSingleObject(done, kDrainMs);
  CloseHandle(done);
}

int Serve(bool second) {
  g_instance = second ? 2 : 1;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    Print(Format("quarnix-sim.exe: COM could not be started (error %08lx).\n",
                 static_cast<unsigned long>(hr)),
          true);
    return 1;
  }
  CServerLifetime& lifetime = CServerLifetime::Instance();
  if (!lifetime.Start()) {
    Print(Format("quarnix-sim.exe: could not start (error %lu).\n", GetLastError()), true);
    CoUninitialize();
    return 1;
  }
  SetSimulatorObjectHook(CountObject);
  SetSimulatorCrashHook(CrashProcess);
  static CSimClassFactory factory(CSimClassFactory::Served::kSimulator);
  static CSimClassFactory flatFactory(CSimClassFactory::Served::kFlat);
  static CSimClassFactory secondFactory(CSimClassFactory::Served::kSecond);
  if (second) {
    hr = CoRegisterClassObject(CLSID_QuarnixSimulator2, &secondFactory, CLSCTX_LOCAL_SERVER,
                               REGCLS_MULTIPLEUSE, &g_classCookies[0]);
  } else {
    hr = CoRegisterClassObject(CLSID_QuarnixSimulator, &factory, CLSCTX_LOCAL_SERVER,
                               REGCLS_MULTIPLEUSE, &g_classCookies[0]);
    if (SUCCEEDED(hr))
      hr = CoRegisterClassObject(CLSID_QuarnixSimulatorFlat, &flatFactory, CLSCTX_LOCAL_SERVER,
                                 REGCLS_MULTIPLEUSE, &g_classCookies[1]);
  }
  if (FAILED(hr)) {
    RevokeClasses();
    Print(Format("quarnix-sim.exe: the class could not be offered to COM (error %08lx).\n",
                 static_cast<unsigned long>(hr)),
          true);
    CoUninitialize();
    return 1;
  }
  lifetime.WaitUntilUnused(kIdleStartMs);
  // Withdrawn before the process lingers and ends: an activation from now on starts a new
  // process instead of reaching this one while it goes.
  CoSuspendClassObjects();
  RevokeClasses();
  Sleep(kLingerMs);
  DrainCallbacks();
  CoUninitialize();
  return 0;
}

int Register() {
  const std::wstring path = ProgramPath();
  if (path.empty()) {
    Print(
        Format("Could not register Quarnix.Simulator: the program's path is unknown (error %lu).\n",
               GetLastError()),
        true);
    return 1;
  }
  RegistrationScope scope = RegistrationScope::kAllUsers;
  const LONG status = RegisterSimulatorServer(path, &scope);
  if (status != ERROR_SUCCESS) {
    Print(Format("Could not register Quarnix.Simulator (error %lu).\n",
                 static_cast<unsigned long>(status)),
          true);
    return 1;
  }
  Print("Registered Quarnix.Simulator " + GuidToString(CLSID_QuarnixSimulator) +
            ", Quarnix.Simulator.Flat " + GuidToString(CLSID_QuarnixSimulatorFlat) +
            " and Quarnix.Simulator.2 " + GuidToString(CLSID_QuarnixSimulator2) +
            (scope == RegistrationScope::kAllUsers ? " for all users: " : " for this user: ") +
            Narrow(path.c_str()) + "\n",
        false);
  return 0;
}

int Unregister() {
  const LONG status = UnregisterSimulatorServer();
  if (status != ERROR_SUCCESS) {
    Print(Format("Could not remove the registration of Quarnix.Simulator (error %lu).\n",
                 static_cast<unsigned long>(status)),
          true);
    return 1;
  }
  Print(
      "Removed the registration of Quarnix.Simulator, Quarnix.Simulator.Flat and "
      "Quarnix.Simulator.2.\n",
      false);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Print(kUsage, false);
    return 0;
  }
  // COM adds -Embedding after what the registration gives (/Instance2 for the second server).
  const bool second = argc > 2 && IsOption(argv[1], "Instance2");
  const char* option = argv[second ? 2 : 1];
  if (IsOption(option, "RegServer")) return Register();
  if (IsOption(option, "UnregServer")) return Unregister();
  if (IsOption(option, "Embedding")) return Serve(second);
  Print(std::string("quarnix-sim.exe: unknown option ") + option + "\n" + kUsage, true);
  return 1;
}
