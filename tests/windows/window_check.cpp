// quarnix-window-check.exe [path of quarnix.exe [more options]]: checks the operator window of a
// running gateway from another process, as an operator would find it.
//
// Starts quarnix.exe (window mode) on a free TCP port with its datagrams going to a UDP port of
// this program, in a fresh working directory, then checks: the window's class, title, style (no
// maximize box), place and size, icons and child windows; the menus as the program's resources
// carry them (the live menu too where the system lets another process read it; wine does not:
// quarnix-winui-check covers the live menu); the start-up lines in the log pane; the startup
// datagram; the About box, the usage box, hiding to the tray and restoring by a double click; the
// message boxes of /? and of a second start on the same port (OK ends them, with exit codes 0
// and 1); a
// request answered through the window's thread; a View switch turned on by its command, the close
// confirmation answered Yes (the gateway keeps running) and then No (the gateway ends with exit
// code 0 and sends the exit datagram, which the switched-on value-change log then records in the
// log file). Given "/progId Quarnix.Simulator" (registered), the second close comes from the
// client's "Exit" request.
//
// Exit code 0 when every check holds; otherwise 1, with a plain message per failed check.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "res/strings.h"
#include "tests/windows/check_support.h"

namespace {

using namespace std::chrono_literals;

const wchar_t kFrameClass[] = L"QuarnixMainFrame";
constexpr UINT kTrayNotify = WM_USER + 2;
const wchar_t kCloseCaption[] = L"关闭后，同设备通讯将会中断！";
const wchar_t kCloseText[] = L"保留窗口程序不退出吧？";

std::wstring ModuleDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text = path;
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

// A free TCP port for the gateway's listener (bound and released at once).
unsigned short FreeTcpPort() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  return ntohs(address.sin_port);
}

// The receiver of the gateway's datagrams, on 127.0.0.1 and a port of the system's choice.
class CUdpReceiver {
public:
  CUdpReceiver() {
    m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~CUdpReceiver() { closesocket(m_socket); }
  unsigned short Port() const { return m_port; }
  // The next datagram within the timeout, or the empty text.
  std::string Receive(std::chrono::milliseconds timeout) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket, &readable);
    timeval wait{static_cast<long>(timeout.count() / 1000),
                 static_cast<long>((timeout.count() % 1000) * 1000)};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) return {};
    char buffer[2048];
    const int count = recv(m_socket, buffer, sizeof buffer, 0);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
  }

private:
  SOCKET m_socket = INVALID_SOCKET;
  unsigned short m_port = 0;
};

// One request to the gateway: the reply line (CR LF included), or the empty text.
std::string Request(unsigned short port, const std::string& line) {
  SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string reply;
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(connection, line.data(), static_cast<int>(line.size()), 0) ==
          static_cast<int>(line.size())) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (reply.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(connection, &readable);
      timeval wait{1, 0};
      if (select(0, &readable, nullptr, nullptr, &wait) != 1) continue;
      char buffer[512];
      const int count = recv(connection, buffer, sizeof buffer, 0);
      if (count <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(count));
    }
  }
  closesocket(connection);
  return reply;
}

// The running gateway and its windows.
class CGateway {
public:
  bool Start(const std::wstring& program, const std::wstring& options,
             const std::wstring& directory) {
    std::wstring line = L"\"" + program + L"\" " + options;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
      return false;
    }
    CloseHandle(process.hThread);
    m_process = process.hProcess;
    m_processId = process.dwProcessId;
    return true;
  }
  ~CGateway() {
    if (m_process == nullptr) return;
    if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) TerminateProcess(m_process, 99);
    CloseHandle(m_process);
  }

  DWORD ProcessId() const { return m_processId; }
  bool HasExited() const { return WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0; }
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return code;
  }

  // The gateway's visible top-level window of a class (and caption, when given), or null.
  HWND FindWindowOf(const wchar_t* className, const wchar_t* caption = nullptr) const {
    struct Search {
      DWORD processId;
      const wchar_t* className;
      const wchar_t* caption;
      HWND found;
    } search{m_processId, className, caption, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto& search = *reinterpret_cast<Search*>(data);
          DWORD processId = 0;
          GetWindowThreadProcessId(window, &processId);
          if (processId != search.processId || !IsWindowVisible(window)) return TRUE;
          if (ClassNameOf(window) != search.className) return TRUE;
          if (search.caption != nullptr && WindowText(window) != search.caption) return TRUE;
          search.found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

private:
  HANDLE m_process = nullptr;
  DWORD m_processId = 0;
};

// The frame's child with an id and a class, or null.
HWND ChildOf(HWND parent, int id, const wchar_t* className) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id && ClassNameOf(child) == className) return child;
  }
  return nullptr;
}

// The texts of a dialog's static controls, in their order.
std::vector<std::wstring> StaticTexts(HWND dialog) {
  std::vector<std::wstring> texts;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassNameOf(child).c_str(), L"Static") != 0) continue;
    if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
    const std::wstring text = WindowText(child);
    if (!text.empty()) texts.push_back(text);
  }
  return texts;
}

// Presses a dialog's button by id, as a click would.
void PressButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void CheckFrame(CChecks& checks, HWND frame) {
  checks.Expect(WindowText(frame) == L"Quarnix", "title is Quarnix", Utf8(WindowText(frame)));
  const LONG_PTR style = GetWindowLongPtrW(frame, GWL_STYLE);
  checks.Expect((style & WS_MAXIMIZEBOX) == 0, "no maximize box");
  checks.Expect((style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX)) ==
                    (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX),
                "caption, system menu, sizing frame and minimize box");
  checks.Expect((GetWindowLongPtrW(frame, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) == 0,
                "the frame has no client edge");
  RECT rect{};
  GetWindowRect(frame, &rect);
  checks.Expect(rect.left == 100 && rect.top == 300, "placed at (100, 300)",
                std::to_string(rect.left) + "," + std::to_string(rect.top));
  checks.Expect(
      rect.right - rect.left == 600 && rect.bottom - rect.top == 300, "sized 600 x 300",
      std::to_string(rect.right - rect.left) + "x" + std::to_string(rect.bottom - rect.top));
  // The icons: wine answers WM_GETICON from another process with none (quarnix-winui-check
  // reads them in-process).
  if (SendMessageW(frame, WM_GETICON, ICON_BIG, 0) == 0) {
    checks.Note("the window's icons cannot be read from another process here");
  } else {
    checks.Expect(SendMessageW(frame, WM_GETICON, ICON_SMALL, 0) != 0, "small icon set");
  }

  const HWND client = ChildOf(frame, 59648, L"QuarnixClientPane");
  if (checks.Expect(client != nullptr, "client pane (id 59648)")) {
    checks.Expect((GetWindowLongPtrW(client, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0,
                  "client pane has the client edge");
  }
  const HWND status = ChildOf(frame, 59393, L"msctls_statusbar32");
  if (checks.Expect(status != nullptr, "status bar (id 59393)")) {
    checks.Expect(SendMessageW(status, SB_GETPARTS, 0, 0) == 2,
                  "status bar has the message pane and the Caps Lock indicator");
  }
  const HWND pane = ChildOf(frame, 0, L"Edit");
  if (checks.Expect(pane != nullptr, "log pane (EDIT, id 0)")) {
    const LONG_PTR paneStyle = GetWindowLongPtrW(pane, GWL_STYLE);
    const LONG_PTR wanted = WS_VISIBLE | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_WANTRETURN;
    checks.Expect((paneStyle & wanted) == wanted, "log pane styles", std::to_string(paneStyle));
    // (The edit control takes WS_BORDER out of its style and draws the border itself, so the
    // border is not visible from here.)
    checks.Expect((paneStyle & ES_READONLY) == 0, "log pane is not read-only");
    RECT paneRect{};
    GetWindowRect(pane, &paneRect);
    MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&paneRect), 2);
    checks.Expect(
        paneRect.left == 1 && paneRect.top == 1 && paneRect.right == 580 && paneRect.bottom == 220,
        "log pane at (1, 1)-(580, 220)",
        std::to_string(paneRect.left) + "," + std::to_string(paneRect.top) + "-" +
            std::to_string(paneRect.right) + "," + std::to_string(paneRect.bottom));
  }
}

void CheckStartupLines(CChecks& checks, HWND frame, unsigned short port) {
  const HWND pane = ChildOf(frame, 0, L"Edit");
  if (pane == nullptr) return;
  const std::wstring portText = std::to_wstring(port);
  const std::vector<std::wstring> expected = {
      ThroughCodePage(L"成功启动监听线程后发送成功启动广播"),
      ThroughCodePage(L"尝试启动监听线程"),
      ThroughCodePage(L"成功打开套接字端口") + portText,
      ThroughCodePage(L"尝试打开套接字端口") + portText,
  };
  std::vector<std::wstring> lines;
  WaitUntil(
      [&] {
        lines = SplitLines(WindowText(pane));
        return lines.size() >= expected.size() + 1;
      },
      10s);
  // A ProgID that is not registered here is named right after the start, below those four.
  const bool unregistered =
      lines.size() == expected.size() + 2 &&
      lines[expected.size()].find(ThroughCodePage(L"未在本机注册")) != std::wstring::npos;
  if (unregistered) checks.Note("the ProgID is not registered here; the pane says so");
  if (!checks.Expect(lines.size() == expected.size() + 1 || unregistered,
                     "the log pane holds the four start-up "
                     "lines",
                     std::to_string(lines.size()) + " lines")) {
    return;
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    checks.Expect(HasTimeStamp(lines[i]), "log line " + std::to_string(i) + " has a time stamp",
                  Utf8(lines[i]));
    checks.Expect(lines[i].size() >= 20 && lines[i].substr(20) == expected[i],
                  "log line " + std::to_string(i) + " is " + Utf8(expected[i]), Utf8(lines[i]));
  }
  checks.Expect(lines.back().empty(), "the pane ends with an empty line");
  const LRESULT lineCount = unregistered ? 6 : 5;
  checks.Expect(SendMessageW(pane, EM_GETLINECOUNT, 0, 0) == lineCount,
                "the pane counts " + std::to_string(lineCount) + " lines");
}

void CheckMenus(CChecks& checks, const std::wstring& program, HWND frame) {
  HMODULE resources = LoadLibraryExW(program.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!checks.Expect(resources != nullptr, "quarnix.exe's resources can be read")) return;
  HMENU mainMenu = LoadMenuW(resources, MAKEINTRESOURCEW(128));
  CheckMenu(checks, mainMenu, ExpectedMainMenu(), "main menu resource 128");
  if (mainMenu != nullptr) DestroyMenu(mainMenu);
  HMENU trayMenu = LoadMenuW(resources, MAKEINTRESOURCEW(135));
  CheckMenu(checks, trayMenu, {ExpectedTrayMenu()}, "tray menu resource 135");
  if (trayMenu != nullptr) DestroyMenu(trayMenu);
  wchar_t title[64] = {};
  LoadStringW(resources, 128, title, 64);
  checks.Expect(std::wstring(title) == L"Quarnix", "string 128 is the title");
  wchar_t prompt[128] = {};
  LoadStringW(resources, 32780, prompt, 128);
  checks.Expect(std::wstring(prompt) == L"最小化到系统托盘区", "string 32780 is the hide prompt");
  LoadStringW(resources, 32782, prompt, 128);
  checks.Expect(std::wstring(prompt) == L"在窗口中显示变量值改变通知发送信息",
                "string 32782 is the value-change prompt");
  FreeLibrary(resources);

  // The live menu: readable across processes on Windows, not under wine.
  HMENU live = GetMenu(frame);
  if (GetMenuItemCount(live) > 0) {
    CheckMenu(checks, live, ExpectedMainMenu(), "window menu");
  } else {
    checks.Note("the window's live menu cannot be read from another process here");
  }
}

void CheckAboutBox(CChecks& checks, CGateway& gateway, HWND frame) {
  PostMessageW(frame, WM_COMMAND, 57664, 0);
  HWND about = nullptr;
  WaitUntil([&] { return (about = gateway.FindWindowOf(L"#32770", L"关于...")) != nullptr; });
  if (!checks.Expect(about != nullptr, "the About command opens the box \"关于...\"")) return;
  checks.Expect(GetWindow(about, GW_OWNER) == frame, "the About box belongs to the window");
  const std::wstring product = FromUtf8(std::string(kProductName) + " " + kProductVersion + " 版");
  const std::vector<std::wstring> texts = StaticTexts(about);
  checks.Expect(texts.size() == 2 && texts[0] == product, "About box product line " + Utf8(product),
                texts.empty() ? "" : Utf8(texts[0]));
  checks.Expect(texts.size() == 2 && texts[1] == L"OPC 数据网关\n版权所有 (C) 2026 Quarnix 开发组",
                "About box notice");
  const HWND ok = GetDlgItem(about, IDOK);
  checks.Expect(ok != nullptr && WindowText(ok) == L"确定", "About box button 确定");
  PressButton(about, IDOK);
  checks.Expect(WaitUntil([&] { return !IsWindow(about); }), "确定 closes the About box");
}

void CheckUsageBox(CChecks& checks, CGateway& gateway, HWND frame) {
  PostMessageW(frame, WM_COMMAND, 32788, 0);
  HWND box = nullptr;
  WaitUntil([&] { return (box = gateway.FindWindowOf(L"#32770", L"Quarnix")) != nullptr; });
  if (!checks.Expect(box != nullptr, "the usage command opens a message box")) return;
  const HWND text = GetDlgItem(box, 0xFFFF);
  const std::wstring usage = text != nullptr ? WindowText(text) : L"";
  checks.Expect(
      usage.find(L"/progId") != std::wstring::npos && usage.find(L"/lp") != std::wstring::npos,
      "the usage box lists the options", Utf8(usage));
  PressButton(box, IDOK);
  checks.Expect(WaitUntil([&] { return !IsWindow(box); }), "OK closes the usage box");
}

void CheckTray(CChecks& checks, HWND frame) {
  SendMessageW(frame, WM_COMMAND, 32780, 0);
  checks.Expect(WaitUntil([&] { return !IsWindowVisible(frame); }, 5s),
                "隐藏(&H) hides the window");
  if (FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr) {
    checks.Note("a notification area exists here (Shell_TrayWnd)");
  } else {
    checks.Note("no notification area here: the icon stays away, as on a desktop without one");
  }
  checks.Expect(SendMessageW(frame, kTrayNotify, 136, WM_LBUTTONDBLCLK) == 0,
                "a tray event of another icon id is not handled");
  checks.Expect(SendMessageW(frame, kTrayNotify, 135, WM_LBUTTONUP) == 0,
                "a single left click on the tray icon is not handled");
  checks.Expect(!IsWindowVisible(frame), "the window stays hidden after unhandled tray events");
  checks.Expect(SendMessageW(frame, kTrayNotify, 135, WM_LBUTTONDBLCLK) == 1,
                "a double click on the tray icon is handled");
  checks.Expect(WaitUntil([&] { return IsWindowVisible(frame) != FALSE; }, 5s),
                "a double click on the tray icon restores the window");
}

// The close confirmation, first answered Yes, then No. With an OPC server at hand the second
// close is the client's "Exit" request; without one it is WM_CLOSE again (every request needs
// the server connection first).
void CheckClose(CChecks& checks, CGateway& gateway, HWND frame, unsigned short port,
                bool serverAvailable) {
  // Yes keeps everything.
  PostMessageW(frame, WM_CLOSE, 0, 0);
  HWND box = nullptr;
  WaitUntil([&] { return (box = gateway.FindWindowOf(L"#32770", kCloseCaption)) != nullptr; });
  if (!checks.Expect(box != nullptr,
                     "WM_CLOSE shows the confirmation \"关闭后，同设备通讯将会中断！\"")) {
    return;
  }
  checks.Expect(GetWindow(box, GW_OWNER) == frame, "the confirmation belongs to the window");
  const HWND text = GetDlgItem(box, 0xFFFF);
  checks.Expect(text != nullptr && WindowText(text) == kCloseText,
                "the confirmation asks 保留窗口程序不退出吧？");
  checks.Expect(GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr,
                "the confirmation has Yes and No");
  PressButton(box, IDYES);
  checks.Expect(WaitUntil([&] { return !IsWindow(box); }, 10s), "Yes closes the confirmation");
  checks.Expect(IsWindow(frame) && !gateway.HasExited(), "Yes keeps the gateway running");

  // No ends the program.
  if (serverAvailable) {
    checks.Expect(Request(port, "Exit\r\n").rfind("0\t", 0) == 0, "the Exit request is answered");
  } else {
    PostMessageW(frame, WM_CLOSE, 0, 0);
  }
  box = nullptr;
  WaitUntil([&] { return (box = gateway.FindWindowOf(L"#32770", kCloseCaption)) != nullptr; });
  if (!checks.Expect(box != nullptr, "the confirmation shows again")) return;
  PressButton(box, IDNO);
  checks.Expect(WaitUntil([&] { return gateway.HasExited(); }, 60s), "No ends the gateway");
  checks.Expect(gateway.HasExited() && gateway.ExitCode() == 0, "the exit code is 0",
                std::to_string(gateway.ExitCode()));
}

// A start that ends with a message box: its text, answered OK, and the exit code.
void CheckStartMessage(CChecks& checks, const std::wstring& program, const std::wstring& options,
                       const std::wstring& directory, const std::wstring& expected,
                       DWORD expectedExitCode, const std::string& name) {
  CGateway other;
  if (!checks.Expect(other.Start(program, options, directory), name + ": quarnix.exe starts"))
    return;
  HWND box = nullptr;
  WaitUntil([&] { return (box = other.FindWindowOf(L"#32770", L"Quarnix")) != nullptr; }, 60s);
  if (!checks.Expect(box != nullptr, name + ": a message box shows")) return;
  const HWND text = GetDlgItem(box, 0xFFFF);
  const std::wstring shown = text != nullptr ? WindowText(text) : L"";
  checks.Expect(shown.find(expected) != std::wstring::npos,
                name + ": the box says " + Utf8(expected), Utf8(shown));
  PressButton(box, IDOK);
  checks.Expect(WaitUntil([&] { return other.HasExited(); }, 30s), name + ": OK ends the program");
  checks.Expect(other.ExitCode() == expectedExitCode,
                name + ": exit code " + std::to_string(expectedExitCode),
                std::to_string(other.ExitCode()));
}

std::string ReadFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string content;
  char buffer[4096];
  DWORD count = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    content.append(buffer, count);
  }
  CloseHandle(file);
  return content;
}

}  // namespace

int main(int argc, char** argv) {
  CChecks checks;
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);

  // quarnix-window-check [quarnix.exe [more options for it, such as /progId NAME]]
  std::wstring program = ModuleDirectory() + L"quarnix.exe";
  std::wstring moreOptions;
  if (argc > 1) {
    wchar_t full[MAX_PATH] = {};
    const std::wstring given = FromUtf8(argv[1]);
    GetFullPathNameW(given.c_str(), MAX_PATH, full, nullptr);
    program = full;
  }
  for (int i = 2; i < argc; ++i) moreOptions += L" " + FromUtf8(argv[i]);
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"quarnix-window-check-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(directory.c_str(), nullptr);
  DeleteFileW((directory + L"\\RV_Morvantel.log").c_str());

  CUdpReceiver receiver;
  const unsigned short port = FreeTcpPort();
  CGateway gateway;
  const std::wstring options =
      L"/lp " + std::to_wstring(port) + L" /rp " + std::to_wstring(receiver.Port()) + moreOptions;
  if (!checks.Expect(gateway.Start(program, options, directory), "quarnix.exe starts",
                     Utf8(program))) {
    return checks.Finish("quarnix-window-check");
  }
  HWND frame = nullptr;
  WaitUntil([&] { return (frame = gateway.FindWindowOf(kFrameClass)) != nullptr; }, 60s);
  if (!checks.Expect(frame != nullptr, "the window QuarnixMainFrame shows")) {
    return checks.Finish("quarnix-window-check");
  }
  checks.Expect(receiver.Receive(10s) == "Startup Quarnix\r\n", "the startup datagram arrives");

  CheckFrame(checks, frame);
  CheckStartupLines(checks, frame, port);
  CheckMenus(checks, program, frame);
  CheckAboutBox(checks, gateway, frame);
  CheckUsageBox(checks, gateway, frame);
  CheckTray(checks, frame);
  CheckStartMessage(checks, program, L"/?", directory, L"/progId", 0, "/?");
  CheckStartMessage(checks, program, L"/lp " + std::to_wstring(port) + L" /rp 0", directory,
                    ThroughCodePage(L"只能打开该程序的一个实例"), 1, "a second start on the port");

  // A request is handed to the window's thread and answered (with the server's creation error
  // when no OPC server is at hand).
  const std::string reply = Request(port, "HBT\r\n");
  checks.Expect(reply.size() > 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0 &&
                    reply.find('\t') != std::string::npos,
                "a request gets its reply line", reply);
  const bool serverAvailable = reply == "0\tHBT OK!\r\n";
  checks.Note(serverAvailable ? "an OPC server answers: the Exit request closes the gateway"
                              : "no OPC server: WM_CLOSE closes the gateway");

  // The value-change switch on: from now on every datagram sent is written to the log file.
  SendMessageW(frame, WM_COMMAND, 32782, 0);
  CheckClose(checks, gateway, frame, port, serverAvailable);
  checks.Expect(receiver.Receive(10s) == "Exit Quarnix\r\n", "the exit datagram arrives");

  const std::string log = ReadFile(directory + L"\\RV_Morvantel.log");
  checks.Expect(log.find("Exit Quarnix") != std::string::npos,
                "the switched-on value-change log records the exit datagram");
  checks.Expect(log.find("Startup Quarnix") == std::string::npos,
                "the value-change log was off at start (startup datagram not recorded)");
  DeleteFileW((directory + L"\\RV_Morvantel.log").c_str());
  RemoveDirectoryW(directory.c_str());
  WSACleanup();
  return checks.Finish("quarnix-window-check");
}
