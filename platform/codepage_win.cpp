#include "platform/codepage.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>

static_assert(sizeof(WideChar) == sizeof(WCHAR));

namespace {

int ClampSize(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

WideString ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return {};
  const int size = ClampSize(text.size());
  const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) {
    // The code page cannot convert at all: ASCII stays, everything else is unknown.
    WideString result;
    result.reserve(text.size());
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      result += byte < 0x80 ? static_cast<WideChar>(byte) : static_cast<WideChar>(0xFFFD);
    }
    return result;
  }
  WideString result(static_cast<std::size_t>(needed), OLESTR('\0'));
  const int written = ::MultiByteToWideChar(codePage, 0, text.data(), size, result.data(), needed);
  result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return result;
}

std::string ToNarrow(UINT codePage, WideStringView text) {
  if (text.empty()) return {};
  const int size = ClampSize(text.size());
  const int needed =
      ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    std::string result;
    result.reserve(text.size());
    for (const WideChar c : text) result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
  }
  std::string result(static_cast<std::size_t>(needed), '\0');
  const int written = ::WideCharToMultiByte(codePage, 0, text.data(), size, result.data(), needed,
                                            nullptr, nullptr);
  result.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return result;
}

}  // namespace

WideString MultiByteToWide(std::string_view text) {
  return ToWide(CP_ACP, text);
}

std::string WideToMultiByte(WideStringView text) {
  return ToNarrow(CP_ACP, text);
}

std::string SystemText(std::string_view utf8) {
  if (::GetACP() == CP_UTF8) return std::string(utf8);
  return ToNarrow(CP_ACP, ToWide(CP_UTF8, utf8));
}

void RefreshSystemCodePage() {}
