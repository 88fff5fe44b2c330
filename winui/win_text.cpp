#include "winui/win_text.h"

#include <iterator>

#include "platform/codepage.h"

std::wstring SystemToWide(const std::string& text) {
  const WideString wide = MultiByteToWide(text);
  return std::wstring(wide.begin(), wide.end());
}

std::wstring ResourceString(UINT id) {
  wchar_t buffer[1024];
  const int length = LoadStringW(ResourceModule(), id, buffer, static_cast<int>(std::size(buffer)));
  return length > 0 ? std::wstring(buffer, static_cast<std::size_t>(length)) : std::wstring();
}

std::string ResourceStringA(UINT id) {
  char buffer[2048];
  const int length = LoadStringA(ResourceModule(), id, buffer, static_cast<int>(sizeof buffer));
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

HINSTANCE ResourceModule() {
  return GetModuleHandleW(nullptr);
}
