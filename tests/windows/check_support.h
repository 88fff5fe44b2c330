// Small helpers of the Windows check programs, which run under wine without a test framework:
// a list of named checks with a plain message per failure, waits on conditions with deadlines
// (pumping this thread's messages meanwhile), and UTF-16 text helpers.
//
// Error rule: a failed check is counted and printed, never thrown. Thread rule: one thread.
// Ownership: values returned.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "winui/win32_headers.h"

class CChecks {
public:
  // Records one check; prints "FAILED: <what> (<detail>)" when it does not hold.
  bool Expect(bool holds, const std::string& what, const std::string& detail = {}) {
    ++m_count;
    if (!holds) {
      ++m_failed;
      std::printf("FAILED: %s%s%s%s\n", what.c_str(), detail.empty() ? "" : " (", detail.c_str(),
                  detail.empty() ? "" : ")");
      std::fflush(stdout);
    }
    return holds;
  }
  void Note(const std::string& text) {
    std::printf("note: %s\n", text.c_str());
    std::fflush(stdout);
  }
  // Prints the summary; the process exit code (0 when every check held).
  int Finish(const char* program) {
    std::printf("%s: %d checks, %d failed\n", program, m_count, m_failed);
    std::fflush(stdout);
    return m_failed == 0 ? 0 : 1;
  }

private:
  int m_count = 0;
  int m_failed = 0;
};

// Dispatches this thread's pending messages; preTranslate may take a message first.
inline void PumpMessages(const std::function<bool(const MSG&)>& preTranslate = {}) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (preTranslate && preTranslate(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Waits until done() holds or the timeout passes, pumping messages in short waits.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20),
                      const std::function<bool(const MSG&)>& preTranslate = {}) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    PumpMessages(preTranslate);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

// UTF-16 to UTF-8, for messages.
inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

inline std::wstring FromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), result.data(), size);
  return result;
}

// A UTF-16 text as it looks after a round trip through the system code page: what a narrow
// text of the program shows in a window (characters the code page lacks become '?').
inline std::wstring ThroughCodePage(const std::wstring& text) {
  if (text.empty()) return {};
  const int narrowSize = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(narrowSize), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                      narrowSize, nullptr, nullptr);
  const int wideSize =
      MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(wideSize), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), result.data(),
                      wideSize);
  return result;
}

inline std::wstring WindowText(HWND window) {
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got =
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return text;
}

inline std::wstring ClassNameOf(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  return name;
}

// The lines of an edit control's text (CR LF breaks); the text after the last break is the
// last line, empty when the text ends in a break.
inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t at = text.find(L"\r\n"); at != std::wstring::npos;
       at = text.find(L"\r\n", start)) {
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  lines.push_back(text.substr(start));
  return lines;
}

inline bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "YYYY-MM-DD HH:MM:SS " at the start of a log line.
inline bool HasTimeStamp(const std::wstring& line) {
  static const wchar_t kPattern[] = L"dddd-dd-dd dd:dd:dd ";
  if (line.size() < 20) return false;
  for (std::size_t i = 0; i < 20; ++i) {
    const wchar_t want = kPattern[i];
    if (want == L'd' ? (line[i] < L'0' || line[i] > L'9') : line[i] != want) return false;
  }
  return true;
}

// A menu item's text, id, state and type, read with GetMenuItemInfo.
struct MenuItem {
  std::wstring text;
  UINT id = 0;
  UINT state = 0;
  UINT type = 0;
  HMENU subMenu = nullptr;
};

inline bool ReadMenuItem(HMENU menu, UINT position, MenuItem& item) {
  wchar_t text[256] = {};
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING | MIIM_SUBMENU;
  info.dwTypeData = text;
  info.cch = 255;
  if (!GetMenuItemInfoW(menu, position, TRUE, &info)) return false;
  item.text = text;
  item.id = info.wID;
  item.state = info.fState;
  item.type = info.fType;
  item.subMenu = info.hSubMenu;
  return true;
}

// The expected layout of a menu popup: text, id (0 for a separator) and checked state.
struct ExpectedItem {
  const wchar_t* text;
  UINT id;
  bool checked;
};

struct ExpectedPopup {
  const wchar_t* title;
  std::vector<ExpectedItem> items;
};

// The main menu (resource 128) and the tray menu (resource 135) as the program must have them.
inline std::vector<ExpectedPopup> ExpectedMainMenu() {
  return {
      {L"文件(&F)",
       {{L"创建OpcServer", 32785, false},
        {L"销毁OpcServer", 32786, false},
        {L"", 0, false},
        {L"退出(&X)", 57665, false}}},
      {L"视图(V)",
       {{L"隐藏(&H)", 32780, false},
        {L"输出值改变信息", 32782, false},
        {L"输出值写入信息", 32783, false},
        {L"输出组操作信息", 32784, true},
        {L"输出数据项操作信息", 32787, false}}},
      {L"帮助(&H)", {{L"关于该软件(&A)...", 57664, false}, {L"命令行参数 ...", 32788, false}}},
  };
}

inline ExpectedPopup ExpectedTrayMenu() {
  return {L"TrayMenu",
          {{L"还原(&S)", 32779, false},
           {L"退出(&X)", 57665, false},
           {L"", 0, false},
           {L"关于(&A)...", 57664, false}}};
}

// Compares a menu bar (or a menu holding one popup) with the expected popups.
inline void CheckMenu(CChecks& checks, HMENU menu, const std::vector<ExpectedPopup>& expected,
                      const std::string& name) {
  if (!checks.Expect(menu != nullptr, name + " exists")) return;
  checks.Expect(GetMenuItemCount(menu) == static_cast<int>(expected.size()),
                name + " has " + std::to_string(expected.size()) + " popups",
                std::to_string(GetMenuItemCount(menu)));
  for (std::size_t p = 0; p < expected.size(); ++p) {
    MenuItem popup;
    if (!checks.Expect(ReadMenuItem(menu, static_cast<UINT>(p), popup),
                       name + " popup " + std::to_string(p) + " readable")) {
      continue;
    }
    checks.Expect(popup.text == expected[p].title,
                  name + " popup " + std::to_string(p) + " is " + Utf8(expected[p].title),
                  Utf8(popup.text));
    if (!checks.Expect(popup.subMenu != nullptr,
                       name + " popup " + Utf8(expected[p].title) + " has items")) {
      continue;
    }
    const auto& items = expected[p].items;
    checks.Expect(GetMenuItemCount(popup.subMenu) == static_cast<int>(items.size()),
                  name + " " + Utf8(expected[p].title) + " item count",
                  std::to_string(GetMenuItemCount(popup.subMenu)));
    for (std::size_t i = 0; i < items.size(); ++i) {
      MenuItem item;
      const std::string where = name + " " + Utf8(expected[p].title) + " item " + std::to_string(i);
      if (!checks.Expect(ReadMenuItem(popup.subMenu, static_cast<UINT>(i), item),
                         where + " readable")) {
        continue;
      }
      if (items[i].id == 0) {
        checks.Expect((item.type & MFT_SEPARATOR) != 0, where + " is a separator");
        continue;
      }
      checks.Expect(item.text == items[i].text, where + " text " + Utf8(items[i].text),
                    Utf8(item.text));
      checks.Expect(item.id == items[i].id, where + " id " + std::to_string(items[i].id),
                    std::to_string(item.id));
      checks.Expect(((item.state & MFS_CHECKED) != 0) == items[i].checked,
                    where + (items[i].checked ? " checked" : " unchecked"));
    }
  }
}
