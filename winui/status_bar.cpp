#include "winui/status_bar.h"

#include <vector>

namespace {

const wchar_t kCapsText[] = L"CAP";

}  // namespace

bool CStatusBar::Create(HWND parent, UINT id) {
  m_bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0,
                          0, parent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                          GetModuleHandleW(nullptr), nullptr);
  if (m_bar == nullptr) return false;
  SetParts();
  return true;
}

void CStatusBar::SetParts() {
  RECT client{};
  GetClientRect(m_bar, &client);
  // The indicator: the text's width with a margin on each side, and room for the size grip.
  int indicatorWidth = 40;
  if (HDC dc = GetDC(m_bar)) {
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(m_bar, WM_GETFONT, 0, 0)));
    SIZE size{};
    if (GetTextExtentPoint32W(dc, kCapsText, 3, &size)) indicatorWidth = size.cx + 16;
    SelectObject(dc, old);
    ReleaseDC(m_bar, dc);
  }
  const int gripWidth = GetSystemMetrics(SM_CXVSCROLL);
  int parts[2] = {client.right - indicatorWidth - gripWidth, -1};
  if (parts[0] < 0) parts[0] = 0;
  SendMessageW(m_bar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
  SendMessageW(m_bar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(m_capsLock ? kCapsText : L""));
}

int CStatusBar::RecalcLayout() {
  if (m_bar == nullptr) return 0;
  SendMessageW(m_bar, WM_SIZE, 0, 0);
  SetParts();
  RECT rect{};
  GetWindowRect(m_bar, &rect);
  return rect.bottom - rect.top;
}

void CStatusBar::SetMessageText(const std::wstring& text) {
  if (m_bar == nullptr) return;
  SendMessageW(m_bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring CStatusBar::MessageText() const {
  if (m_bar == nullptr) return {};
  const LRESULT info = SendMessageW(m_bar, SB_GETTEXTLENGTHW, 0, 0);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(LOWORD(info)) + 1, L'\0');
  SendMessageW(m_bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(buffer.data()));
  return std::wstring(buffer.data());
}

void CStatusBar::SetCapsLock(bool on) {
  if (m_bar == nullptr || on == m_capsLock) return;
  m_capsLock = on;
  SendMessageW(m_bar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(on ? kCapsText : L""));
}
