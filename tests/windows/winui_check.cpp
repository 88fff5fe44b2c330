// quarnix-winui-check.exe: checks the Win32 window's parts inside this process, where their
// live state can be read (wine lets no other process read a window's menus).
//
// Builds the main window as quarnix.exe does and checks: placement and icons; the live menus,
// the View switches (check mark and switch together); the log pane's pruning with the real edit
// control (99 entries, long lines past the default text limit); the status bar's message text
// from another thread and the menu prompts; the tray icon's record and its add, modify and delete
// calls, a failed add, the tray events and the tray menu with its default item; the About box;
// the close confirmation (Yes keeps, one box at a time, No tears down once and ends the loop);
// background mode's declined close request and its stop by WM_CLOSE; and the hand-off of calls
// to the UI thread through WM_REQUEST, inside a modal loop, past a call that throws, and as a
// thread message when no window exists.
//
// Exit code 0 when every check holds; otherwise 1, with a plain message per failed check.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/activity_log.h"
#include "platform/apartment.h"
#include "platform/codepage.h"
#include "platform/string_format.h"
#include "res/strings.h"
#include "tests/windows/check_support.h"
#include "winui/about_box.h"
#include "winui/main_frame.h"
#include "winui/request_pump.h"
#include "winui/shell_tray_backend.h"

namespace {

using namespace std::chrono_literals;

// What the frame handed to Shell_NotifyIconA.
struct TrayCall {
  DWORD operation;
  NOTIFYICONDATAA data;
};

class CTrayRecorder {
public:
  CShellTrayBackend::NotifyFunction Function() {
    return [this](DWORD operation, NOTIFYICONDATAA* data) {
      calls.push_back({operation, *data});
      return operation == NIM_ADD && failAdd ? FALSE : TRUE;
    };
  }
  std::vector<TrayCall> calls;
  bool failAdd = false;
};

// The visible window of a class (and caption) that belongs to this thread, or null.
HWND ThreadWindow(const wchar_t* className, const wchar_t* caption = nullptr) {
  struct Search {
    const wchar_t* className;
    const wchar_t* caption;
    HWND found;
  } search{className, caption, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM data) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(data);
        if (!IsWindowVisible(window) || ClassNameOf(window) != search.className) return TRUE;
        if (search.caption != nullptr && WindowText(window) != search.caption) return TRUE;
        search.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Runs a step from inside the modal loop that the next dispatched message opens: a thread
// timer ticks every 50 ms and calls step until it returns true.
class CModalStep {
public:
  explicit CModalStep(std::function<bool()> step) {
    s_step = std::move(step);
    s_done = false;
    m_timer = SetTimer(nullptr, 0, 50, Tick);
  }
  ~CModalStep() {
    KillTimer(nullptr, m_timer);
    s_step = nullptr;
  }
  static bool Done() { return s_done; }

private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (s_done || !s_step) return;
    if (s_step()) s_done = true;
  }
  static inline std::function<bool()> s_step;
  static inline bool s_done = false;
  UINT_PTR m_timer = 0;
};

void CheckPlacement(CChecks& checks, CMainFrame& frame) {
  const HWND window = frame.GetSafeHwnd();
  checks.Expect(!IsWindowVisible(window), "the window is created hidden");
  frame.ShowAtStartup();
  checks.Expect(IsWindowVisible(window) != FALSE, "the start-up shows the window");
  RECT rect{};
  GetWindowRect(window, &rect);
  checks.Expect(rect.left == 100 && rect.top == 300 && rect.right == 700 && rect.bottom == 600,
                "placed at (100, 300), 600 x 300");
  checks.Expect((GetWindowLongPtrW(window, GWL_STYLE) & WS_MAXIMIZEBOX) == 0, "no maximize box");
  checks.Expect(GetMenuState(GetSystemMenu(window, FALSE), SC_MAXIMIZE, MF_BYCOMMAND) ==
                    static_cast<UINT>(-1),
                "no maximize command in the system menu");
  checks.Expect(SendMessageW(window, WM_GETICON, ICON_BIG, 0) != 0, "large icon 128 set");
  checks.Expect(SendMessageW(window, WM_GETICON, ICON_SMALL, 0) != 0, "small icon 128 set");
  checks.Expect(WindowText(window) == L"Quarnix", "title Quarnix");
  SetFocus(window);
  checks.Expect(GetFocus() == frame.LogPane(), "focus given to the frame goes to the log pane");
}

void CheckSwitches(CChecks& checks, CMainFrame& frame) {
  CheckMenu(checks, GetMenu(frame.GetSafeHwnd()), ExpectedMainMenu(), "window menu");
  const LogSwitches& log = frame.Core().Switches();
  checks.Expect(!log.logValueChanges && !log.logValueWrites && log.logGroupOps && !log.logItemOps,
                "switches start false, false, true, false");
  struct Switch {
    UINT id;
    const bool* value;
  } switches[] = {{32782, &log.logValueChanges},
                  {32783, &log.logValueWrites},
                  {32784, &log.logGroupOps},
                  {32787, &log.logItemOps}};
  HMENU view = GetSubMenu(GetMenu(frame.GetSafeHwnd()), 1);
  for (const Switch& item : switches) {
    const std::string name = "switch " + std::to_string(item.id);
    const bool before = *item.value;
    SendMessageW(frame.GetSafeHwnd(), WM_COMMAND, item.id, 0);
    const bool checked = (GetMenuState(view, item.id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    checks.Expect(checked == !before && *item.value == !before,
                  name + " flips its check mark and the switch follows");
    SendMessageW(frame.GetSafeHwnd(), WM_COMMAND, item.id, 0);
    const bool back = (GetMenuState(view, item.id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    checks.Expect(back == before && *item.value == before, name + " chosen twice is as before");
  }
}

void CheckLogPane(CChecks& checks, CMainFrame& frame) {
  const HWND pane = frame.LogPane();
  frame.LogToWindow("first");
  checks.Expect(SendMessageW(pane, EM_GETLINECOUNT, 0, 0) == 2, "one entry makes 2 control lines");
  std::vector<std::wstring> lines = SplitLines(WindowText(pane));
  checks.Expect(lines.size() == 2 && HasTimeStamp(lines[0]) && EndsWith(lines[0], L" first"),
                "an entry is the time stamp, a blank and the text", Utf8(lines[0]));

  for (int i = 1; i <= 120; ++i) frame.LogToWindow(StringPrintf("entry %d", i));
  lines = SplitLines(WindowText(pane));
  checks.Expect(SendMessageW(pane, EM_GETLINECOUNT, 0, 0) == 100, "the pane keeps 100 lines",
                std::to_string(SendMessageW(pane, EM_GETLINECOUNT, 0, 0)));
  checks.Expect(lines.size() == 100 && EndsWith(lines[0], L" entry 120"), "the newest is on top",
                Utf8(lines[0]));
  checks.Expect(lines.size() == 100 && EndsWith(lines[98], L" entry 22"),
                "the oldest kept is the 99th newest", lines.size() > 98 ? Utf8(lines[98]) : "");
  checks.Expect(!lines.empty() && lines.back().empty(), "the pane ends with an empty line");

  // Long entries: 99 of them exceed the edit control's default limit of 32767 characters.
  const std::string longText(400, 'x');
  for (int i = 0; i < 99; ++i) frame.LogToWindow(longText + std::to_string(i));
  lines = SplitLines(WindowText(pane));
  checks.Expect(lines.size() == 100 && EndsWith(lines[0], L"x98") && EndsWith(lines[98], L"x0"),
                "99 long entries are all kept whole");
  checks.Expect(lines.size() == 100 && lines[98].size() == 20 + 401,
                "the oldest long entry is not cut",
                std::to_string(lines.size() > 98 ? lines[98].size() : 0));
}

void CheckStatusBar(CChecks& checks, CMainFrame& frame) {
  frame.SetMessageText("ready");
  checks.Expect(frame.StatusBar().MessageText() == L"ready", "the message pane shows a text");
  // A listener's text, posted to the UI thread, which sets it.
  frame.SetMessageText("from a listener");
  checks.Expect(frame.StatusBar().MessageText() == L"from a listener",
                "a listener's text reaches the message pane");
  const HWND window = frame.GetSafeHwnd();
  HMENU menu = GetMenu(window);
  SendMessageW(window, WM_MENUSELECT, MAKEWPARAM(32780, MF_STRING), reinterpret_cast<LPARAM>(menu));
  checks.Expect(frame.StatusBar().MessageText() == L"最小化到系统托盘区", "the hide item's prompt",
                Utf8(frame.StatusBar().MessageText()));
  SendMessageW(window, WM_MENUSELECT, MAKEWPARAM(32782, MF_STRING), reinterpret_cast<LPARAM>(menu));
  checks.Expect(frame.StatusBar().MessageText() == L"在窗口中显示变量值改变通知发送信息",
                "the value-change item's prompt");
  SendMessageW(window, WM_MENUSELECT, MAKEWPARAM(32783, MF_STRING), reinterpret_cast<LPARAM>(menu));
  checks.Expect(frame.StatusBar().MessageText().empty(), "an item without prompt shows none");
  SendMessageW(window, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
  checks.Expect(frame.StatusBar().MessageText() == L"from a listener",
                "the message pane's text returns when the menu closes");
}

void CheckTray(CChecks& checks, CMainFrame& frame, CTrayRecorder& tray) {
  const HWND window = frame.GetSafeHwnd();
  tray.calls.clear();
  SendMessageW(window, WM_COMMAND, 32780, 0);
  checks.Expect(!IsWindowVisible(window), "隐藏(&H) hides the window");
  if (checks.Expect(tray.calls.size() == 1 && tray.calls[0].operation == NIM_ADD,
                    "hiding adds the tray icon")) {
    const NOTIFYICONDATAA& data = tray.calls[0].data;
    checks.Expect(data.cbSize == kNotifyIconDataSize, "the record is in its first form",
                  std::to_string(data.cbSize));
    checks.Expect(data.hWnd == window && data.uID == 135, "owner window and icon id 135");
    checks.Expect(data.uFlags == (NIF_MESSAGE | NIF_ICON | NIF_TIP), "message, icon and tip flags");
    checks.Expect(data.uCallbackMessage == WM_USER + 2, "callback message WM_USER+2");
    checks.Expect(data.hIcon != nullptr, "the application icon");
    checks.Expect(std::strcmp(data.szTip, "Quarnix") == 0, "tooltip is string 128", data.szTip);
  }
  checks.Expect(frame.TrayNotifier().IsIconShown(), "the notifier has its icon");
  SendMessageW(window, WM_COMMAND, 32780, 0);
  checks.Expect(tray.calls.size() == 2 && tray.calls[1].operation == NIM_MODIFY,
                "hiding again modifies the icon");

  checks.Expect(SendMessageW(window, WM_TRAYNOTIFY, 136, WM_RBUTTONUP) == 0,
                "another icon id is not handled");
  checks.Expect(SendMessageW(window, WM_TRAYNOTIFY, 135, WM_LBUTTONUP) == 0,
                "a single left click is not handled");
  checks.Expect(SendMessageW(window, WM_TRAYNOTIFY, 135, WM_LBUTTONDBLCLK) == 1,
                "a double click is handled");
  checks.Expect(IsWindowVisible(window) != FALSE, "a double click restores the window");
  checks.Expect(tray.calls.size() == 3 && tray.calls[2].operation == NIM_DELETE &&
                    tray.calls[2].data.uFlags == (NIF_MESSAGE | NIF_TIP),
                "restoring deletes the icon");
  checks.Expect(!frame.TrayNotifier().IsIconShown(), "no icon after restoring");

  // A right click shows the tray menu with 还原(&S) as its default; choosing it restores.
  SendMessageW(window, WM_COMMAND, 32780, 0);
  bool menuSeen = false;
  {
    CModalStep step([&] {
      const HWND menuWindow = ThreadWindow(L"#32768");
      if (menuWindow == nullptr) return false;
      HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
      MenuItem first;
      menuSeen = ReadMenuItem(menu, 0, first);
      checks.Expect(menuSeen && first.text == L"还原(&S)" && first.id == 32779,
                    "the tray menu's first item is 还原(&S)");
      checks.Expect(GetMenuDefaultItem(menu, FALSE, 0) == 32779, "还原(&S) is the default item");
      checks.Expect(GetMenuItemCount(menu) == 4, "the tray menu has 4 items");
      EndMenu();
      return true;
    });
    PostMessageW(window, WM_TRAYNOTIFY, 135, WM_RBUTTONUP);
    checks.Expect(WaitUntil([] { return CModalStep::Done(); }, 10s),
                  "a right click shows the tray menu");
  }
  SendMessageW(window, WM_COMMAND, 32779, 0);
  checks.Expect(IsWindowVisible(window) != FALSE && !frame.TrayNotifier().IsIconShown(),
                "还原(&S) restores the window and removes the icon");

  // A desktop without a tray refuses the add: no icon, nothing to delete.
  tray.failAdd = true;
  tray.calls.clear();
  SendMessageW(window, WM_COMMAND, 32780, 0);
  checks.Expect(!frame.TrayNotifier().IsIconShown(), "a failed add leaves no icon");
  SendMessageW(window, WM_COMMAND, 32779, 0);
  checks.Expect(tray.calls.size() == 1, "with no icon, restoring deletes nothing");
  tray.failAdd = false;
}

void CheckAboutBox(CChecks& checks, CMainFrame& frame, const std::shared_ptr<CApartment>& ui) {
  const HWND window = frame.GetSafeHwnd();
  bool posted = false;
  bool ranInside = false;
  std::thread poster;
  CModalStep step([&] {
    const HWND about = ThreadWindow(L"#32770", kAboutBoxCaption);
    if (about == nullptr) return false;
    if (!posted) {
      posted = true;
      checks.Expect(GetWindow(about, GW_OWNER) == window, "the About box belongs to the window");
      RECT client{};
      GetClientRect(about, &client);
      RECT units{0, 0, 248, 77};
      MapDialogRect(about, &units);
      checks.Expect(client.right == units.right && client.bottom == units.bottom,
                    "the About box is 248 x 77 dialog units");
      RECT box{};
      RECT owner{};
      GetWindowRect(about, &box);
      GetWindowRect(window, &owner);
      checks.Expect(std::abs((box.left + box.right) - (owner.left + owner.right)) <= 2 &&
                        std::abs((box.top + box.bottom) - (owner.top + owner.bottom)) <= 2,
                    "the About box is centred over the window");
      const HWND ok = GetDlgItem(about, IDOK);
      checks.Expect(ok != nullptr && WindowText(ok) == L"确定" &&
                        (GetWindowLongPtrW(ok, GWL_STYLE) & BS_DEFPUSHBUTTON) != 0,
                    "the default button 确定");
      // A request handed over while the box is up is answered inside its loop.
      poster = std::thread([&ui, &ranInside] { ui->Post([&ranInside] { ranInside = true; }); });
      return false;
    }
    if (!ranInside) return false;
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    return true;
  });
  PostMessageW(window, WM_COMMAND, 57664, 0);
  checks.Expect(WaitUntil([] { return CModalStep::Done(); }, 10s),
                "the About command shows the box");
  if (poster.joinable()) poster.join();
  checks.Expect(ranInside, "WM_REQUEST is handled inside a modal loop");
  checks.Expect(WaitUntil([] { return ThreadWindow(L"#32770", kAboutBoxCaption) == nullptr; }, 5s),
                "确定 closes the About box");
}

void CheckRequestPump(CChecks& checks, CRequestPump& pump, const std::shared_ptr<CApartment>& ui) {
  const auto pre = [&pump](const MSG& msg) { return pump.PreTranslate(msg); };
  DWORD ranOn = 0;
  std::thread([&] { ui->Post([&ranOn] { ranOn = GetCurrentThreadId(); }); }).join();
  checks.Expect(WaitUntil([&] { return ranOn != 0; }, 5s, pre) && ranOn == GetCurrentThreadId(),
                "a call posted by another thread runs on the UI thread");

  bool after = false;
  std::thread([&] {
    ui->Post([] { throw std::runtime_error("fault"); });
    ui->Post([&after] { after = true; });
  }).join();
  checks.Expect(WaitUntil([&] { return after; }, 5s, pre),
                "a call that throws does not stop the next");

  // A call that dispatches messages while it waits, as a COM call does, does not run the next
  // call inside itself: that one runs once the first is done.
  std::vector<int> order;
  ui->Post([&] {
    std::thread([&] { ui->Post([&order] { order.push_back(2); }); }).join();
    const ULONGLONG until = GetTickCount64() + 200;
    while (GetTickCount64() < until) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!pump.PreTranslate(msg)) DispatchMessageW(&msg);
      }
      Sleep(10);
    }
    order.push_back(1);
  });
  checks.Expect(
      WaitUntil([&] { return order.size() == 2; }, 5s, pre) && order == std::vector<int>{1, 2},
      "a call that dispatches messages does not run the next call inside itself");
}

void CheckClose(CChecks& checks, CMainFrame& frame, int& teardowns, CTrayRecorder& tray) {
  const HWND window = frame.GetSafeHwnd();
  std::vector<CMainFrame::MessageBoxRequest> boxes;
  int answer = IDYES;
  frame.SetMessageBoxHook([&](const CMainFrame::MessageBoxRequest& request) {
    boxes.push_back(request);
    // A close request arriving while the box is up is answered by this box.
    PostMessageW(window, WM_CLOSE, 0, 0);
    PumpMessages();
    return answer;
  });
  PostMessageW(window, WM_CLOSE, 0, 0);
  WaitUntil([&] { return !boxes.empty(); }, 5s);
  PumpMessages();
  if (checks.Expect(boxes.size() == 1, "WM_CLOSE shows one confirmation",
                    std::to_string(boxes.size()))) {
    checks.Expect(boxes[0].caption == L"关闭后，同设备通讯将会中断！" &&
                      boxes[0].text == L"保留窗口程序不退出吧？",
                  "the confirmation's caption and text");
    checks.Expect(boxes[0].style == (MB_YESNO | MB_ICONEXCLAMATION),
                  "Yes and No with the exclamation icon");
  }
  checks.Expect(IsWindow(window) && teardowns == 0, "Yes keeps the window and the OPC side");

  boxes.clear();
  SendMessageW(window, WM_COMMAND, 57665, 0);
  checks.Expect(boxes.size() == 1, "退出(&X) asks the same");
  boxes.clear();
  frame.PostCloseRequest();
  WaitUntil([&] { return !boxes.empty(); }, 5s);
  checks.Expect(boxes.size() == 1, "a close request asks the same");

  // No: teardown once, tray icon removed, window gone, loop told to end.
  SendMessageW(window, WM_COMMAND, 32780, 0);
  tray.calls.clear();
  boxes.clear();
  answer = IDNO;
  frame.SetMessageBoxHook([&](const CMainFrame::MessageBoxRequest& request) {
    boxes.push_back(request);
    return answer;
  });
  SendMessageW(window, WM_CLOSE, 0, 0);
  checks.Expect(teardowns == 1, "No tears the OPC side down once");
  checks.Expect(!IsWindow(window) && frame.GetSafeHwnd() == nullptr, "No destroys the window");
  checks.Expect(tray.calls.size() == 1 && tray.calls[0].operation == NIM_DELETE,
                "No removes the tray icon");
  MSG quit;
  checks.Expect(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE,
                "No ends the message loop");
  frame.LogToWindow("after the window");  // harmless without a window
  frame.PostCloseRequest();
  checks.Expect(boxes.size() == 1, "no confirmation after the window is gone");
}

void CheckBackgroundMode(CChecks& checks, CRequestPump& pump) {
  int teardowns = 0;
  CTrayRecorder tray;
  int boxes = 0;
  {
    CMainFrame frame(true, tray.Function());
    frame.Core().SetWindowDestroyingHandler([&] { ++teardowns; });
    frame.SetMessageBoxHook([&](const CMainFrame::MessageBoxRequest&) {
      ++boxes;
      return IDNO;
    });
    checks.Expect(frame.LoadFrame(), "the background window is created");
    const HWND window = frame.GetSafeHwnd();
    frame.PostCloseRequest();
    // The hidden window's pane keeps its entries as text; the edit control stays empty.
    const std::string& kept = frame.HiddenPane().Text();
    const std::string first = kept.substr(0, kept.find("\r\n"));
    std::string declined(1, ' ');  // appended, not prepended: GCC 12 warns on " " + string
    declined += SystemText(CloseDeclinedText());
    checks.Expect(WindowText(frame.LogPane()).empty() && first.size() > declined.size() &&
                      first.compare(first.size() - declined.size(), declined.size(), declined) == 0,
                  "background mode declines a close request with a log line", first);
    SendMessageW(window, WM_COMMAND, 32780, 0);
    checks.Expect(!IsWindowVisible(window) && tray.calls.empty(),
                  "background mode never shows a tray icon");
    SendMessageW(window, WM_CLOSE, 0, 0);
    checks.Expect(boxes == 0, "no confirmation in background mode");
    checks.Expect(teardowns == 1 && !IsWindow(window), "WM_CLOSE stops the background gateway");
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    // With its window gone the pump drains through the thread message.
    bool ran = false;
    std::thread([&] { pump.Apartment()->Post([&ran] { ran = true; }); }).join();
    checks.Expect(WaitUntil([&] { return ran; }, 5s,
                            [&pump](const MSG& msg) { return pump.PreTranslate(msg); }),
                  "without a window, WM_REQUEST comes as a thread message");
  }
  checks.Expect(teardowns == 1, "the teardown runs once in all");

  // A frame destroyed without the close path still tears down once.
  int destructorTeardowns = 0;
  HWND window = nullptr;
  {
    CMainFrame frame(false, tray.Function());
    frame.Core().SetWindowDestroyingHandler([&] { ++destructorTeardowns; });
    frame.LoadFrame();
    window = frame.GetSafeHwnd();
  }
  checks.Expect(destructorTeardowns == 1 && !IsWindow(window),
                "the destructor tears down and destroys the window");
  MSG quit;
  checks.Expect(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) == FALSE,
                "the destructor does not post a quit");
}

}  // namespace

int main() {
  CChecks checks;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring directory =
      std::wstring(temp) + L"quarnix-winui-check-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(directory.c_str(), nullptr);
  SetCurrentDirectoryW(directory.c_str());

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  std::shared_ptr<CApartment> ui = CApartment::ForCurrentThread();
  CRequestPump pump(ui);
  pump.Install();

  {
    CTrayRecorder tray;
    int teardowns = 0;
    auto frame = std::make_unique<CMainFrame>(false, tray.Function());
    frame->SetRequestPump(std::shared_ptr<CRequestPump>(&pump, [](CRequestPump*) {}));
    frame->Core().SetWindowDestroyingHandler([&] { ++teardowns; });
    if (checks.Expect(frame->LoadFrame(), "the window is created")) {
      CheckPlacement(checks, *frame);
      CheckSwitches(checks, *frame);
      CheckLogPane(checks, *frame);
      CheckStatusBar(checks, *frame);
      CheckTray(checks, *frame, tray);
      CheckAboutBox(checks, *frame, ui);
      CheckRequestPump(checks, pump, ui);
      CheckClose(checks, *frame, teardowns, tray);
    }
    frame.reset();
    checks.Expect(teardowns == 1, "the destructor does not tear down again");
  }
  CheckBackgroundMode(checks, pump);

  ui->SetWaker(nullptr);
  SetCurrentDirectoryW(temp);
  DeleteFileW((directory + L"\\RV_Morvantel.log").c_str());
  RemoveDirectoryW(directory.c_str());
  return checks.Finish("quarnix-winui-check");
}
