#include "core/frame_core.h"

#include "platform/codepage.h"
#include "platform/standard_output.h"
#include "res/resource.h"
#include "res/strings.h"

const WideChar CFrameCore::kCloseCaption[] = OLESTR("关闭后，同设备通讯将会中断！");
const WideChar CFrameCore::kCloseText[] = OLESTR("保留窗口程序不退出吧？");

namespace {

// The log switch that a View-menu command toggles, or null.
bool* SwitchOf(LogSwitches& switches, int commandId) {
  switch (commandId) {
    case ID_VIEW_LOG_VALUE_CHANGES:
      return &switches.logValueChanges;
    case ID_VIEW_LOG_VALUE_WRITES:
      return &switches.logValueWrites;
    case ID_VIEW_LOG_GROUP_OPS:
      return &switches.logGroupOps;
    case ID_VIEW_LOG_ITEM_OPS:
      return &switches.logItemOps;
    default:
      return nullptr;
  }
}

// A resource string as the boxes show it.
WideString ResourceWide(int id) {
  return MultiByteToWide(LoadResString(id));
}

}  // namespace

CFrameCore::CFrameCore(IFrameWindow& window, IFrameView& view, bool backgroundMode,
                       std::unique_ptr<ITrayBackend> tray, BackgroundClose backgroundClose)
    : m_window(window),
      m_view(view),
      m_backgroundMode(backgroundMode),
      m_backgroundClose(backgroundClose),
      m_tray(std::move(tray)) {}

void CFrameCore::UseLogSwitches(LogSwitches& switches) {
  m_switches = &switches;
  m_switches->ResetWindowSwitches();
}

CFrameCore::~CFrameCore() {
  RunTeardown();
  m_tray.RemoveTrayIcon();
}

// --- IFrameView parts ---

void CFrameCore::LogToWindow(const std::string& text) {
  if (m_pane != nullptr) LogToPane(*m_pane, text);
  if (m_backgroundMode) MirrorPaneEntryToFile(text);  // the pane is never seen
}

void CFrameCore::ShowErrorMessage(const std::string& text) {
  if (m_backgroundMode) {
    WriteStandardOutput(text);
    return;
  }
  m_window.ShowBox(FrameBox::kError, ResourceWide(AFX_IDS_APP_TITLE), MultiByteToWide(text));
}

void CFrameCore::PostCloseRequest() {
  if (m_backgroundMode) {
    LogCloseDeclined(m_view);
    return;
  }
  m_window.PostClose();
}

// --- Callbacks ---

void CFrameCore::SetCreateOpcServerHandler(std::function<void()> handler) {
  m_onCreateOpcServer = std::move(handler);
}

void CFrameCore::SetDestroyOpcServerHandler(std::function<void()> handler) {
  m_onDestroyOpcServer = std::move(handler);
}

void CFrameCore::SetWindowDestroyingHandler(std::function<void()> handler) {
  m_onWindowDestroying = std::move(handler);
}

void CFrameCore::SetAboutHandler(std::function<void()> handler) {
  m_onAbout = std::move(handler);
}

// --- Commands ---

bool CFrameCore::OnCmdMsg(int commandId) {
  // The client pane and the log pane handle no command: the frame's own map comes next, then
  // the application's (About).
  switch (commandId) {
    case ID_VIEW_HIDE:
      OnHideToTray();
      return true;
    case ID_TRAY_RESTORE:
      OnRestore();
      return true;
    case ID_VIEW_LOG_VALUE_CHANGES:
    case ID_VIEW_LOG_VALUE_WRITES:
    case ID_VIEW_LOG_GROUP_OPS:
    case ID_VIEW_LOG_ITEM_OPS:
      ToggleSwitch(commandId);
      return true;
    case ID_FILE_CREATE_OPCSERVER:
      if (m_onCreateOpcServer) m_onCreateOpcServer();
      return true;
    case ID_FILE_DESTROY_OPCSERVER:
      if (m_onDestroyOpcServer) m_onDestroyOpcServer();
      return true;
    case ID_HELP_USAGE:
      m_window.ShowBox(FrameBox::kUsage, ResourceWide(AFX_IDS_APP_TITLE), ResourceWide(IDS_USAGE));
      return true;
    case ID_APP_ABOUT:
      if (m_onAbout)
        m_onAbout();
      else
        m_window.ShowAboutBox();
      return true;
    case ID_APP_EXIT:
      m_window.SendClose();  // the framework's exit: a close message to the main window
      return true;
    default:
      return false;
  }
}

void CFrameCore::ToggleSwitch(int commandId) {
  const std::optional<bool> checked = m_window.ViewItemChecked(commandId);
  bool* logSwitch = SwitchOf(*m_switches, commandId);
  if (!checked || logSwitch == nullptr) return;
  m_window.SetViewItemChecked(commandId, !*checked);
  *logSwitch = !*checked;
}

void CFrameCore::SwitchFollowsCheck(int commandId) {
  const std::optional<bool> checked = m_window.ViewItemChecked(commandId);
  bool* logSwitch = SwitchOf(*m_switches, commandId);
  if (checked && logSwitch != nullptr) *logSwitch = *checked;
}

void CFrameCore::OnHideToTray() {
  if (m_backgroundMode) return;  // the window is never shown, so there is nothing to hide
  m_window.Hide();
  m_tray.SetTooltip(LoadResString(IDR_MAINFRAME));
  m_tray.SetTrayIcon(m_window.TrayIcon());
}

void CFrameCore::OnRestore() {
  if (m_backgroundMode || m_destroyed) return;
  m_window.ShowNormal();
  m_tray.RemoveTrayIcon();
}

// --- Close and destruction ---

bool CFrameCore::OnClose() {
  if (m_destroyed) return true;
  if (m_backgroundMode) {
    if (m_backgroundClose == BackgroundClose::kDecline) {
      PostCloseRequest();
      return false;
    }
    DestroyWindow();
    return true;
  }
  // One confirmation at a time: a second close while the box is up is answered by that box.
  if (m_confirmingClose) return false;
  m_confirmingClose = true;
  const FrameAnswer answer =
      m_window.ShowBox(FrameBox::kCloseConfirmation, kCloseCaption, kCloseText);
  m_confirmingClose = false;
  // Keeping the gateway running is the answer that loses nothing.
  if (answer != FrameAnswer::kNo) return false;
  DestroyWindow();
  return true;
}

void CFrameCore::DestroyWindow() {
  if (m_destroyed) return;
  RunTeardown();
  m_tray.RemoveTrayIcon();
  m_window.EndWindow();
}

void CFrameCore::RunTeardown() {
  if (m_destroyed) return;
  m_destroyed = true;
  if (m_onWindowDestroying) m_onWindowDestroying();
}
