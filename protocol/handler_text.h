// Text helpers shared by the command handlers: the built-in (UTF-8 source) texts in the system
// code page, the server's texts converted back, and the server's error texts.
//
// Error rule: never throws except std::bad_alloc. Thread rule: UI thread (GetErrorString calls
// the server). Ownership: values returned; the server is borrowed.
#pragma once

#include <string>

#include "opc/opcda.h"
#include "platform/string_format.h"

// A built-in UTF-8 format or text in the system code page (StringPrintf(Sys("...%s"), ...)).
std::string Sys(const char* utf8);

// A UTF-16 text of the server or of a record in the system code page; null gives "".
std::string Narrow(LPCWSTR text);

// The whole text GetErrorString (LCID 1033) gives for error, in the system code page. When the
// server has no text, the error code in lower-case hex.
std::string ServerErrorText(IOPCServer* server, HRESULT error);

// The printf "%s" of a field that may be missing: "(null)" for null.
inline const char* FieldText(const char* field) {
  return field != nullptr ? field : "(null)";
}
