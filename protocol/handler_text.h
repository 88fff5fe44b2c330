// Text helpers shared by the command handlers: the server's error texts and missing fields.
// (Built-in texts pass through SystemText, the server's through Narrow: platform/codepage.h.)
//
// Error rule: never throws except std::bad_alloc. Thread rule: UI thread (GetErrorString calls
// the server). Ownership: values returned; the server is borrowed.
#pragma once

#include <string>

#include "opc/opcda.h"
#include "platform/codepage.h"
#include "platform/string_format.h"

// The whole text GetErrorString (LCID 1033) gives for error, in the system code page. When the
// server has no text (or an empty one), the gateway's own text for a standard code
// (opc/standard_error_text.h), else the error code in lower-case hex.
std::string ServerErrorText(IOPCServer* server, HRESULT error);

// The printf "%s" of a field that may be missing: "(null)" for null.
inline const char* FieldText(const char* field) {
  return field != nullptr ? field : "(null)";
}
