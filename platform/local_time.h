// The local wall-clock time formatted with strftime-style patterns.
//
// Error rule: never throws; a pattern whose result does not fit 255 bytes gives an empty text.
// Thread rule: any thread (uses the thread-safe conversion). Ownership: values returned.
#pragma once

#include <ctime>
#include <string>

// The given moment in local time, formatted with pattern (for example "%Y-%m-%d %H:%M:%S").
std::string FormatLocalTime(std::time_t when, const char* pattern);
