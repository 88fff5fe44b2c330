// printf-style formatting into a std::string (the compiler has no <format>).
//
// The system's texts are formatted with the same conversions that the gateway's messages are
// defined with ("%d", "%x", "%s", "% d" ...). Error rule: never throws except std::bad_alloc; a
// format error gives an empty text. Thread rule: any thread. Ownership: value returned.
#pragma once

#include <cstdarg>
#include <string>

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);
// A result code as printf's "%x" shows it.
inline unsigned Hex(long code) {
  return static_cast<unsigned>(code);
}
