// The Windows headers of the Win32 front end, included in one order everywhere: Winsock 2
// before windows.h (so the old Winsock declarations never come in), then the common controls
// and the shell's notification area.
//
// Error rule, thread rule, ownership: none (declarations only).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// winsock2.h first, in a block of its own so that include sorting keeps it first.
#include <winsock2.h>

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
