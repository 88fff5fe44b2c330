// Typed values as the gateway's typed datagrams (kinds 0x63 and 0x72) and its "TR" reply carry
// them: the VARTYPE, the value's bytes (big-endian numbers, UTF-8 text), and their text.
//
// Value text, the same wherever a value is printed: integers in decimal; VT_R4 and VT_R8 in the
// shortest text that reads back to the same number (21.7, 1e+300), nan, inf, -inf; VT_BOOL 1 or
// 0; VT_BSTR as UTF-8 with '\' written \\, TAB \t, CR \r, LF \n and other control characters
// \xHH; VT_DATE as ISO 8601 UTC with milliseconds; VT_CY in decimal with up to four fraction
// digits (12.34); VT_EMPTY empty; any other type "(VARTYPE <n>)".
//
// Error rule: nothing throws except std::bad_alloc; bytes of another length than the type has
// read as a type the datagram does not carry. Thread rule: any thread. Ownership: values
// returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr std::uint16_t kVarTypeEmpty = 0;
constexpr std::uint16_t kVarTypeI2 = 2;
constexpr std::uint16_t kVarTypeI4 = 3;
constexpr std::uint16_t kVarTypeR4 = 4;
constexpr std::uint16_t kVarTypeR8 = 5;
constexpr std::uint16_t kVarTypeCy = 6;
constexpr std::uint16_t kVarTypeDate = 7;
constexpr std::uint16_t kVarTypeBstr = 8;
constexpr std::uint16_t kVarTypeError = 10;
constexpr std::uint16_t kVarTypeBool = 11;
constexpr std::uint16_t kVarTypeI1 = 16;
constexpr std::uint16_t kVarTypeUi1 = 17;
constexpr std::uint16_t kVarTypeUi2 = 18;
constexpr std::uint16_t kVarTypeUi4 = 19;
constexpr std::uint16_t kVarTypeI8 = 20;
constexpr std::uint16_t kVarTypeUi8 = 21;
constexpr std::uint16_t kVarTypeInt = 22;
constexpr std::uint16_t kVarTypeUint = 23;

// "VT_R8" for the types above, else "VARTYPE <n>".
std::string VarTypeName(std::uint16_t vartype);

// The value length a typed datagram gives the type: 1, 2, 4 or 8; 0 for VT_EMPTY and the types
// it does not carry; nullopt for VT_BSTR (any length).
std::optional<std::size_t> TypedValueLength(std::uint16_t vartype);

// One typed value, read from its bytes.
struct TypedValue {
  enum class Kind {
    kNone,      // VT_EMPTY, or a type the datagram does not carry
    kBool,      // boolean
    kSigned,    // integer (VT_I1, VT_I2, VT_I4, VT_I8, VT_INT, VT_ERROR)
    kUnsigned,  // unsignedInteger (VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT)
    kReal,      // real (VT_R4, VT_R8)
    kText,      // text, UTF-8 (VT_BSTR)
    kDate,      // integer: microseconds since 1970-01-01 UTC (VT_DATE)
    kCurrency,  // integer: units of 1/10,000 (VT_CY)
  };
  Kind kind = Kind::kNone;
  std::uint16_t vartype = 0;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsignedInteger = 0;
  double real = 0;
  std::string text;
};

TypedValue ReadTypedValue(std::uint16_t vartype, std::string_view bytes);

// The value text of the rules above.
std::string TypedValueText(const TypedValue& value);

// A real in the shortest text that reads back to the same number; nan, inf, -inf.
std::string ShortestRealText(double real, bool single);

// "2026-12-09T01:02:03.456Z" for microseconds since 1970-01-01 UTC (before 1970 too).
std::string UtcTimeText(std::int64_t microseconds);

// A currency amount in units of 1/10,000 in decimal, with up to four fraction digits.
std::string CurrencyText(std::int64_t units);
