// Conversions between the program's narrow texts and UTF-16.
//
// The "system code page" is, on Windows, the ANSI code page (CP_ACP, for example 936 = GBK on a
// Chinese system); on Linux, the locale's codeset (setlocale(LC_ALL, "") at start-up,
// nl_langinfo(CODESET)), where a plain C/POSIX locale counts as UTF-8, the encoding of the
// program's own texts. Built-in texts are UTF-8 in the source and pass through SystemText, which
// converts them only when the code page is another one.
//
// Error rule: never throws; bytes that cannot be converted become U+FFFD (wide), characters
// that cannot be converted become '?' (narrow; on Windows the code page's default character).
// Thread rule: any thread after start-up has set the locale. Ownership: values returned.
#pragma once

#include <string>
#include <string_view>

#include "platform/wide_string.h"

// Code-page text (as received from a client or the command line) to UTF-16.
WideString MultiByteToWide(std::string_view text);
// UTF-16 (from the OPC server) to code-page text.
std::string WideToMultiByte(WideStringView text);
// A built-in UTF-8 text in the system code page.
std::string SystemText(std::string_view utf8);
// A null-terminated UTF-16 text (from the OPC server or a record) in the code page; null gives "".
inline std::string Narrow(const WideChar* text) {
  return text != nullptr ? WideToMultiByte(WideStringView(text)) : std::string();
}
// Re-reads the locale's codeset (called once at start-up and by tests that change the locale).
// Windows fixes the ANSI code page for the life of the process: nothing to re-read there.
void RefreshSystemCodePage();
