// The string table: the gateway's built-in texts by resource id.
//
// Texts are UTF-8 here; LoadResString returns them in the system code page (platform/codepage.h).
// Error rule: an id without a string gives the empty text (as a failed string load does).
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <string>

std::string LoadResString(int id);

// Product name and version as the About box and the usage text show them.
extern const char kProductName[];     // "Quarnix"
extern const char kProductVersion[];  // "1.0.0"

// The log line of a close request that background mode declines (UTF-8): it names the way to
// stop the gateway on this platform.
std::string CloseDeclinedText();
