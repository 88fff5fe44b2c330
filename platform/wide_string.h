// The program's UTF-16 text type: what OPC servers take and return as wide strings.
//
// The wide character is the platform's own: char16_t here on Linux (the COM subset's OLECHAR),
// wchar_t on Windows (the system's WCHAR, 16 bits there). Literals are written OLESTR("text") on
// both, as in COM code.
//
// Error rule, thread rule, ownership: plain value types.
#pragma once

#include <string>
#include <string_view>

#if defined(_WIN32)
using WideChar = wchar_t;
#ifndef OLESTR
#define OLESTR(str) L##str
#endif
#else
using WideChar = char16_t;
#ifndef OLESTR
#define OLESTR(str) u##str
#endif
#endif
static_assert(sizeof(WideChar) == 2, "OPC strings are UTF-16");

using WideString = std::basic_string<WideChar>;
using WideStringView = std::basic_string_view<WideChar>;
