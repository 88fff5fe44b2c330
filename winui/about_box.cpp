#include "winui/about_box.h"

#include "res/resource.h"
#include "winui/win_text.h"

const wchar_t kAboutBoxCaption[] = L"关于...";

namespace {

// Centres the dialog over its owner, or on the work area when the owner is hidden.
void CenterDialog(HWND dialog) {
  RECT box{};
  GetWindowRect(dialog, &box);
  RECT area{};
  const HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  const int x = area.left + ((area.right - area.left) - width) / 2;
  const int y = area.top + ((area.bottom - area.top) - height) / 2;
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      CenterDialog(dialog);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

bool ShowAboutBox(HWND owner) {
  return DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProcedure,
                         0) > 0;
}
