#include "winui/client_pane.h"

const wchar_t CClientPane::kClassName[] = L"QuarnixClientPane";

bool CClientPane::Create(HWND parent, int width, int height, UINT id) {
  const HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  if (!GetClassInfoExW(module, kClassName, &windowClass)) {
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExW(&windowClass) == 0) return false;
  }
  m_pane = CreateWindowExW(WS_EX_CLIENTEDGE, kClassName, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), module, nullptr);
  return m_pane != nullptr;
}

LRESULT CALLBACK CClientPane::WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
