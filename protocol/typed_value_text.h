// The value texts of the typed read ("TR"): numbers in decimal (reals in the shortest text that
// reads back to the same number, "nan", "inf", "-inf"), VT_BOOL 1 or 0, texts as UTF-8 with
// "\\", "\t", "\r", "\n" and "\xHH" for the other control characters, VT_DATE as an ISO 8601 UTC
// time with milliseconds, VT_CY in decimal with up to four fraction digits, VT_EMPTY as nothing
// and every other type (arrays, by-reference values, VT_DECIMAL, ...) as "(VARTYPE <n>)".
//
// Error rule: never fails except std::bad_alloc. Thread rule: any thread. Ownership: values.
#pragma once

#include <cstdint>
#include <string>

#include "opc/opcda.h"

std::string TypedValueText(const VARIANT& value);

// Microseconds since 1970-01-01 UTC as "2026-12-09T01:02:03.456Z" (rounded down to the
// millisecond; years before 1 or after 9999 keep their sign and digits).
std::string IsoUtcText(std::int64_t microseconds);

// The server's timestamp as IsoUtcText; empty for a FILETIME of 0 (none given).
std::string TimestampText(const FILETIME& time);

// The shortest text of a real that reads back to the same number: "21.7", "1e+300", "nan",
// "inf", "-inf".
std::string ShortestRealText(double value);
std::string ShortestRealText(float value);
