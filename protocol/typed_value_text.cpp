#include "protocol/typed_value_text.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "opc/typed_value_packer.h"
#include "platform/string_format.h"
#include "platform/utf8_text.h"

namespace {

template <class Real>
std::string Shortest(Real value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// UTF-8 with the backslash and the control characters escaped, so that a text stays one field.
std::string EscapedText(BSTR text) {
  const std::string utf8 =
      text != nullptr ? Utf16ToUtf8(WideStringView(text, SysStringLen(text))) : std::string();
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F)
          out += StringPrintf("\\x%02X", static_cast<unsigned>(byte));
        else
          out.push_back(c);
    }
  }
  return out;
}

// 1/10,000 units in decimal, trailing fraction zeros left out ("12.34", "-0.5", "7").
std::string CurrencyText(std::int64_t units) {
  const bool negative = units < 0;
  // Magnitude in unsigned arithmetic: the smallest int64 has no positive counterpart.
  const std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(units) + 1 : static_cast<std::uint64_t>(units);
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on a literal plus a string.
  std::string text;
  if (negative) text.push_back('-');
  text += std::to_string(magnitude / 10000);
  std::uint64_t fraction = magnitude % 10000;
  if (fraction == 0) return text;
  int digits = 4;
  while (fraction % 10 == 0) fraction /= 10, --digits;
  return text + StringPrintf(".%0*llu", digits, static_cast<unsigned long long>(fraction));
}

}  // namespace

std::string ShortestRealText(double value) {
  return Shortest(value);
}

std::string ShortestRealText(float value) {
  return Shortest(value);
}

std::string IsoUtcText(std::int64_t microseconds) {
  using namespace std::chrono;
  const sys_time<milliseconds> time{
      floor<milliseconds>(duration<std::int64_t, std::micro>{microseconds})};
  const auto day = floor<days>(time);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  return StringPrintf(
      "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

std::string TimestampText(const FILETIME& time) {
  if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return std::string();
  return IsoUtcText(FileTimeToUnixMicroseconds(time));
}

std::string TypedValueText(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
      return std::string();
    case VT_I1:
      return std::to_string(static_cast<int>(static_cast<signed char>(value.cVal)));
    case VT_UI1:
      return std::to_string(value.bVal);
    case VT_I2:
      return std::to_string(value.iVal);
    case VT_UI2:
      return std::to_string(value.uiVal);
    case VT_I4:
      return std::to_string(static_cast<long>(value.lVal));
    case VT_UI4:
      return std::to_string(static_cast<unsigned long>(value.ulVal));
    case VT_INT:
      return std::to_string(value.intVal);
    case VT_UINT:
      return std::to_string(value.uintVal);
    case VT_ERROR:
      return std::to_string(static_cast<long>(value.scode));
    case VT_I8:
      return std::to_string(static_cast<long long>(value.llVal));
    case VT_UI8:
      return std::to_string(static_cast<unsigned long long>(value.ullVal));
    case VT_BOOL:
      return value.boolVal != 0 ? "1" : "0";
    case VT_R4:
      return Shortest(value.fltVal);
    case VT_R8:
      return Shortest(value.dblVal);
    case VT_CY:
      return CurrencyText(value.cyVal.int64);
    case VT_DATE: {
      std::int64_t microseconds = 0;
      if (!DateToUnixMicroseconds(value.date, microseconds)) return Shortest(value.date);
      return IsoUtcText(microseconds);
    }
    case VT_BSTR:
      return EscapedText(value.bstrVal);
    default:
      return StringPrintf("(VARTYPE %u)", static_cast<unsigned>(value.vt));
  }
}
