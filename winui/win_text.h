// Text helpers of the Win32 front end: the program's narrow texts (system code page) as the
// UTF-16 that the W functions take, and strings from the program's own string table.
//
// Error rule: nothing fails; a missing string resource gives the empty text.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>

#include "winui/win32_headers.h"

// A narrow text in the system code page as UTF-16.
std::wstring SystemToWide(const std::string& text);
// String resource id of this program's module (the .rc string table), as UTF-16.
std::wstring ResourceString(UINT id);
// The same in the system code page, as the A functions would load it.
std::string ResourceStringA(UINT id);
// This program's module: where the menus, icons, strings and the About box are.
HINSTANCE ResourceModule();
