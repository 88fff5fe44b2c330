#include "winui/main_frame.h"

#include <algorithm>

#include "core/activity_log.h"
#include "platform/standard_output.h"
#include "res/resource.h"
#include "res/strings.h"
#include "winui/about_box.h"
#include "winui/quarnix_rc.h"
#include "winui/request_pump.h"
#include "winui/win_text.h"

// The resource script's ids are the program's ids.
static_assert(QRC_IDD_ABOUTBOX == IDD_ABOUTBOX && QRC_IDR_MAINFRAME == IDR_MAINFRAME &&
              QRC_IDR_TRAYMENU == IDR_TRAYMENU && QRC_AFX_IDS_APP_TITLE == AFX_IDS_APP_TITLE);
static_assert(QRC_ID_TRAY_RESTORE == ID_TRAY_RESTORE && QRC_ID_VIEW_HIDE == ID_VIEW_HIDE &&
              QRC_ID_VIEW_LOG_VALUE_CHANGES == ID_VIEW_LOG_VALUE_CHANGES &&
              QRC_ID_VIEW_LOG_VALUE_WRITES == ID_VIEW_LOG_VALUE_WRITES &&
              QRC_ID_VIEW_LOG_GROUP_OPS == ID_VIEW_LOG_GROUP_OPS &&
              QRC_ID_FILE_CREATE_OPCSERVER == ID_FILE_CREATE_OPCSERVER &&
              QRC_ID_FILE_DESTROY_OPCSERVER == ID_FILE_DESTROY_OPCSERVER &&
              QRC_ID_VIEW_LOG_ITEM_OPS == ID_VIEW_LOG_ITEM_OPS &&
              QRC_ID_HELP_USAGE == ID_HELP_USAGE && QRC_ID_APP_ABOUT == ID_APP_ABOUT &&
              QRC_ID_APP_EXIT == ID_APP_EXIT);
static_assert(IDR_TRAYMENU == static_cast<int>(kTrayIconId));
static_assert(WM_TRAYNOTIFY == WM_USER + 2);
static_assert(ID_SC_MAXIMIZE == SC_MAXIMIZE);

const wchar_t CMainFrame::kClassName[] = L"QuarnixMainFrame";

namespace {

constexpr UINT_PTR kCapsTimerId = 1;
constexpr UINT kCapsPollMilliseconds = 250;

// The log pane's fixed client rectangle, (1, 1)-(580, 220).
constexpr RECT kLogPaneRect = {1, 1, 580, 220};

HICON LoadAppIcon(int sizeMetric) {
  const int size = GetSystemMetrics(sizeMetric);
  return static_cast<HICON>(LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                       IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

// The first line of a string resource (a prompt may carry a tooltip after a line break).
std::wstring FirstLine(const std::wstring& text) {
  return text.substr(0, text.find(L'\n'));
}

}  // namespace

CMainFrame::CMainFrame(bool backgroundMode, CShellTrayBackend::NotifyFunction notify)
    : m_core(
          *this, *this, backgroundMode,
          std::make_unique<CShellTrayBackend>([this] { return m_hwnd.load(); }, std::move(notify)),
          CFrameCore::BackgroundClose::kStop) {
  if (backgroundMode) {
    m_core.SetLogPane(&m_hiddenPane);
  } else {
    m_core.SetLogPane(&m_logPaneText);
  }
  m_largeIcon = LoadAppIcon(SM_CXICON);
  m_smallIcon = LoadAppIcon(SM_CXSMICON);
}

CMainFrame::~CMainFrame() {
  // The teardown may still write to the log pane: it runs before the window goes (the core's own
  // destructor would run it after). WM_DESTROY removes the tray icon.
  m_core.RunTeardown();
  if (HWND window = m_hwnd.load()) {
    m_quitOnDestroy = false;  // the loop has ended already, or never ran
    ::DestroyWindow(window);
  }
  if (m_largeIcon != nullptr) DestroyIcon(m_largeIcon);
  if (m_smallIcon != nullptr) DestroyIcon(m_smallIcon);
}

// --- Creation ---

bool CMainFrame::LoadFrame() {
  m_uiThread.Check();
  const HINSTANCE module = ResourceModule();
  WNDCLASSEXW windowClass{};
  if (!GetClassInfoExW(module, kClassName, &windowClass)) {
    // No class style, no cursor, no background brush and no icon: the children cover the
    // client area, and the icons are set on the window.
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExW(&windowClass) == 0) return false;
  }
  HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(IDR_MAINFRAME));
  const std::wstring title = FirstLine(ResourceString(IDR_MAINFRAME));
  const HWND window =
      CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu, module, this);
  if (window == nullptr) {
    if (menu != nullptr) DestroyMenu(menu);
    return false;
  }
  if (m_pump) m_pump->SetTargetWindow(window);
  if (!m_core.IsBackgroundMode()) {
    SetTimer(window, kCapsTimerId, kCapsPollMilliseconds, nullptr);
    UpdateCapsIndicator();
  }
  return true;
}

int CMainFrame::OnCreate(const CREATESTRUCTW& create) {
  const HWND frame = m_hwnd.load();
  if (!m_clientPane.Create(frame, create.cx, create.cy, kClientPaneId)) return -1;
  if (!m_statusBar.Create(frame, kStatusBarId)) return -1;
  // The log pane lies at a fixed place over the client pane and keeps it when the frame is
  // resized; it does not wrap (horizontal scroll bar), is editable and has the default font.
  const HWND logPane = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_BORDER | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_WANTRETURN,
      kLogPaneRect.left, kLogPaneRect.top, kLogPaneRect.right - kLogPaneRect.left,
      kLogPaneRect.bottom - kLogPaneRect.top, frame,
      reinterpret_cast<HMENU>(static_cast<UINT_PTR>(kLogPaneId)), ResourceModule(), nullptr);
  if (logPane == nullptr) return -1;
  SetWindowPos(logPane, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  m_logPaneText.Attach(logPane);
  m_core.TrayNotifier().SetOwner(this, WM_TRAYNOTIFY);
  return 0;
}

void CMainFrame::ShowAtStartup() {
  const HWND window = m_hwnd.load();
  if (window == nullptr) return;
  if (m_largeIcon != nullptr) {
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_largeIcon));
  }
  if (m_smallIcon != nullptr) {
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
  }
  MoveWindow(window, 100, 300, 600, 300, FALSE);
  // Without the maximize command the window can neither be maximized from its system menu nor
  // from a caption button or a double click on the caption.
  DeleteMenu(GetSystemMenu(window, FALSE), SC_MAXIMIZE, MF_BYCOMMAND);
  SetWindowLongPtrW(window, GWL_STYLE, GetWindowLongPtrW(window, GWL_STYLE) & ~WS_MAXIMIZEBOX);
  SetWindowPos(window, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  ShowWindow(window, SW_SHOWNORMAL);
}

// --- IFrameView ---

void CMainFrame::LogToWindow(std::string text) {
  m_uiThread.Check();
  m_core.LogToWindow(text);
}

void CMainFrame::SetMessageText(std::string text) {
  m_uiThread.Check();
  m_messageText = SystemToWide(text);
  m_promptShown = false;
  m_statusBar.SetMessageText(m_messageText);
}

void CMainFrame::ShowErrorMessage(const std::string& text) {
  m_core.ShowErrorMessage(text);
}

void CMainFrame::PostCloseRequest() {
  m_core.PostCloseRequest();
}

// --- Callbacks ---

void CMainFrame::SetSessionEndingHandler(std::function<void()> handler) {
  m_onSessionEnding = std::move(handler);
}

void CMainFrame::SetMessageBoxHook(MessageBoxHook hook) {
  m_messageBoxHook = std::move(hook);
}

void CMainFrame::SetRequestPump(std::shared_ptr<CRequestPump> pump) {
  m_pump = std::move(pump);
  if (m_pump && m_hwnd.load() != nullptr) m_pump->SetTargetWindow(m_hwnd.load());
}

// --- Window procedure ---

LRESULT CALLBACK CMainFrame::WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  auto* frame = reinterpret_cast<CMainFrame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    frame = static_cast<CMainFrame*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(frame));
    frame->m_hwnd.store(window);
  }
  if (frame == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  const LRESULT result = frame->WindowProc(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    frame->m_hwnd.store(nullptr);
  }
  return result;
}

LRESULT CMainFrame::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = m_hwnd.load();
  switch (message) {
    case WM_CREATE:
      return OnCreate(*reinterpret_cast<const CREATESTRUCTW*>(lParam));
    case WM_SIZE:
      RecalcLayout();
      return 0;
    case WM_SETFOCUS:
      if (LogPane() != nullptr) SetFocus(LogPane());
      return 0;
    case WM_COMMAND:
      // Menus and accelerators; notifications of the child controls are not commands.
      if (lParam == 0 && OnCmdMsg(LOWORD(wParam))) return 0;
      break;
    case WM_MENUSELECT:
      OnMenuSelect(wParam, lParam);
      return 0;
    case WM_TIMER:
      if (wParam == kCapsTimerId) {
        UpdateCapsIndicator();
        return 0;
      }
      break;
    case WM_REQUEST:
      if (m_pump) m_pump->Drain();
      return 0;
    case WM_TRAYNOTIFY:
      return OnTrayNotify(wParam, lParam);
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE) OnEndSession();
      return 0;
    case WM_DESTROY:
      KillTimer(window, kCapsTimerId);
      m_core.TrayNotifier().RemoveTrayIcon();
      if (m_quitOnDestroy) PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      m_logPaneText.Attach(nullptr);
      if (m_pump) m_pump->SetTargetWindow(nullptr);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void CMainFrame::RecalcLayout() {
  const HWND window = m_hwnd.load();
  RECT client{};
  GetClientRect(window, &client);
  const int statusHeight = m_statusBar.RecalcLayout();
  if (HWND pane = m_clientPane.Window()) {
    MoveWindow(pane, 0, 0, client.right, std::max(0L, client.bottom - statusHeight), TRUE);
  }
}

// --- Commands ---

bool CMainFrame::OnCmdMsg(UINT commandId) {
  m_uiThread.Check();
  return m_core.OnCmdMsg(static_cast<int>(commandId));
}

void CMainFrame::OnMenuSelect(WPARAM wParam, LPARAM lParam) {
  const UINT item = LOWORD(wParam);
  const UINT flags = HIWORD(wParam);
  if (flags == 0xFFFF && lParam == 0) {
    // The menu closed: the message pane shows its own text again.
    if (m_promptShown) m_statusBar.SetMessageText(m_messageText);
    m_promptShown = false;
    return;
  }
  // A command's prompt is the string with the command's id, up to its first line break; popups,
  // separators and the system menu have none.
  std::wstring prompt;
  if ((flags & (MF_POPUP | MF_SEPARATOR | MF_SYSMENU)) == 0 && item != 0) {
    prompt = FirstLine(ResourceString(item));
  }
  m_statusBar.SetMessageText(prompt);
  m_promptShown = true;
}

// --- Window primitives ---

void CMainFrame::ShowNormal() {
  ShowWindow(m_hwnd.load(), SW_SHOWNORMAL);
}

void CMainFrame::Hide() {
  ShowWindow(m_hwnd.load(), SW_HIDE);
}

HMENU CMainFrame::ViewMenu() const {
  // The View popup, the main menu's second.
  const HWND window = m_hwnd.load();
  return window != nullptr ? GetSubMenu(GetMenu(window), 1) : nullptr;
}

std::optional<bool> CMainFrame::ViewItemChecked(int commandId) const {
  HMENU view = ViewMenu();
  if (view == nullptr) return std::nullopt;
  const UINT state = GetMenuState(view, static_cast<UINT>(commandId), MF_BYCOMMAND);
  if (state == static_cast<UINT>(-1)) return std::nullopt;
  return (state & MF_CHECKED) != 0;
}

void CMainFrame::SetViewItemChecked(int commandId, bool checked) {
  if (HMENU view = ViewMenu())
    CheckMenuItem(view, static_cast<UINT>(commandId),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

FrameAnswer CMainFrame::ShowBox(FrameBox kind, const WideString& caption, const WideString& text) {
  UINT style = MB_OK | MB_ICONERROR;
  if (kind == FrameBox::kUsage) style = MB_OK | MB_ICONINFORMATION;
  if (kind == FrameBox::kCloseConfirmation) style = MB_YESNO | MB_ICONEXCLAMATION;
  switch (ShowMessageBox({style, caption, text})) {
    case IDYES:
      return FrameAnswer::kYes;
    case IDNO:
      return FrameAnswer::kNo;
    default:
      return kind == FrameBox::kCloseConfirmation ? FrameAnswer::kYes : FrameAnswer::kOk;
  }
}

void CMainFrame::SendClose() {
  // The application's exit: a close message to the main window.
  if (HWND window = m_hwnd.load()) SendMessageW(window, WM_CLOSE, 0, 0);
}

void CMainFrame::PostClose() {
  if (HWND window = m_hwnd.load()) PostMessageW(window, WM_CLOSE, 0, 0);
}

void CMainFrame::ShowAboutBox() {
  ::ShowAboutBox(m_hwnd.load());
}

void CMainFrame::EndWindow() {
  if (HWND window = m_hwnd.load()) {
    m_quitOnDestroy = true;  // the end of the main window ends the message loop
    ::DestroyWindow(window);
  }
}

// --- Tray owner ---

long CMainFrame::SendTrayMessage(std::uint32_t message, std::uint32_t iconId,
                                 std::uint32_t mouseMessage) {
  if (message != WM_TRAYNOTIFY) return 0;
  return static_cast<long>(OnTrayNotify(iconId, mouseMessage));
}

void CMainFrame::SetForegroundWindow() {
  ::SetForegroundWindow(m_hwnd.load());
}

void CMainFrame::SendCommand(int commandId) {
  if (HWND window = m_hwnd.load())
    SendMessageW(window, WM_COMMAND, static_cast<WPARAM>(commandId), 0);
}

LRESULT CMainFrame::OnTrayNotify(WPARAM iconId, LPARAM mouseMessage) {
  return m_core.TrayNotifier().HandleTrayEvent(static_cast<std::uint32_t>(iconId),
                                               static_cast<std::uint32_t>(mouseMessage));
}

void CMainFrame::UpdateCapsIndicator() {
  m_statusBar.SetCapsLock((GetKeyState(VK_CAPITAL) & 1) != 0);
}

// --- Close and destruction ---

void CMainFrame::OnClose() {
  m_core.OnClose();
}

void CMainFrame::DestroyWindow() {
  m_core.DestroyWindow();
}

void CMainFrame::OnEndSession() {
  // The system ends the process once this returns: the OPC side and the network go now.
  m_core.RunTeardown();
  m_core.TrayNotifier().RemoveTrayIcon();
  if (m_onSessionEnding) m_onSessionEnding();
  PostQuitMessage(0);
}

int CMainFrame::ShowMessageBox(const MessageBoxRequest& request) {
  if (m_messageBoxHook) return m_messageBoxHook(request);
  return MessageBoxW(m_hwnd.load(), request.text.c_str(), request.caption.c_str(), request.style);
}
