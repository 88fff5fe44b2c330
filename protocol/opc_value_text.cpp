#include "protocol/opc_value_text.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "platform/string_format.h"
#include "protocol/handler_text.h"

namespace {

template <class Real>
std::string Shortest(Real value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// DATE: days since 1899-12-30 (the 25569th day before 1970-01-01).
std::string DateText(double date) {
  using namespace std::chrono;
  constexpr double kUnixEpochDate = 25569.0;
  const double ms = std::round((date - kUnixEpochDate) * 86400000.0);
  if (!std::isfinite(ms) || std::fabs(ms) > 1e15) return Shortest(date);
  const sys_time<milliseconds> time{milliseconds{static_cast<long long>(ms)}};
  const auto day = floor<days>(time);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  return StringPrintf(
      "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

}  // namespace

std::string OpcValueText(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
      return std::string();
    case VT_I1:
      return std::to_string(static_cast<int>(static_cast<signed char>(value.cVal)));
    case VT_I2:
      return std::to_string(value.iVal);
    case VT_I4:
      return std::to_string(value.lVal);
    case VT_UI1:
      return std::to_string(value.bVal);
    case VT_UI2:
      return std::to_string(value.uiVal);
    case VT_UI4:
      return std::to_string(value.ulVal);
    case VT_BOOL:
      return value.boolVal != 0 ? "1" : "0";
    case VT_R4:
      return Shortest(value.fltVal);
    case VT_R8:
      return Shortest(value.dblVal);
    case VT_DATE:
      return DateText(value.date);
    case VT_BSTR:
      return Narrow(value.bstrVal);
    default:
      return StringPrintf("(VARTYPE %u)", static_cast<unsigned>(value.vt));
  }
}
