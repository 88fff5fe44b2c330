// The gateway's own texts for the standard OPC DA and COM error codes, for replies and log lines
// where the server's GetErrorString gives no text (a server whose texts come from another
// program's message table answers with an empty one, or fails).
//
// Error rule: an unknown code gives null. Thread rule: any thread; constant data. Ownership:
// static texts (ASCII).
#pragma once

#include <string>

#include "opc/opcda.h"

// The text of a standard code, or null.
const char* StandardErrorText(HRESULT code);

// The server's text as given when it is not empty, else the standard text of the code, else
// the code in lower-case hex ("%x").
std::string ErrorTextOrStandard(const std::string& serverText, HRESULT code);
