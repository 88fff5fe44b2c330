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
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>  // CONNECT_E_*
#include <oleauto.h>
// clang-format on

// mingw-w64 declares the source of these as non-const; the system never writes it. The overloads
// take the documented const source, so code written against the documented signatures compiles.
inline HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  return ::VariantCopy(dest, const_cast<VARIANTARG*>(src));
}
inline HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags,
                                 VARTYPE vt) {
  return ::VariantChangeType(dest, const_cast<VARIANTARG*>(src), flags, vt);
}
