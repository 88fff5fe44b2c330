// The real COM of Windows for the OPC code: the system headers, in the order they need, with
// the macros that would collide with the program's own names turned off. Included through
// platform/com/com.h only.
//
// Error rule, thread rule, ownership: those of COM.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

// winsock2.h before windows.h, so that the old Winsock declarations never come in.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
