// VARIANT life cycle and the conversions among the scalar types that OPC values use, with the
// results of the Windows conversion rules: integers are range-checked (DISP_E_OVERFLOW), reals
// round to the nearest integer with ties to even, VARIANT_TRUE is -1 and converts to the
// unsigned types by wrapping, and numbers and text convert in decimal. Decimal text becomes an
// integer or a currency exactly (64-bit values need every digit), and a date from its
// "YYYY-MM-DD[ hh:mm[:ss]]" text.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/com/com.h"

namespace {

bool IsKnownType(VARTYPE vt) {
  if (vt & VT_ARRAY) return false;  // no SAFEARRAY in this subset
  const VARTYPE base = vt & ~VT_BYREF;
  return base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_UINT);
}

// A source value reduced to one of the shapes the conversions work on.
struct Scalar {
  enum Kind { kEmpty, kSigned, kUnsigned, kReal, kBool, kText, kCurrency } kind = kEmpty;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  bool b = false;
  BSTR text = nullptr;
};

Scalar ScalarOf(const VARIANT& v) {
  Scalar s;
  switch (v.vt) {
    case VT_I1:
      s.kind = Scalar::kSigned, s.i = static_cast<signed char>(v.cVal);
      break;
    case VT_I2:
      s.kind = Scalar::kSigned, s.i = v.iVal;
      break;
    case VT_I4:
      s.kind = Scalar::kSigned, s.i = v.lVal;
      break;
    case VT_UI1:
      s.kind = Scalar::kUnsigned, s.u = v.bVal;
      break;
    case VT_UI2:
      s.kind = Scalar::kUnsigned, s.u = v.uiVal;
      break;
    case VT_UI4:
      s.kind = Scalar::kUnsigned, s.u = v.ulVal;
      break;
    case VT_I8:
      s.kind = Scalar::kSigned, s.i = v.llVal;
      break;
    case VT_UI8:
      s.kind = Scalar::kUnsigned, s.u = v.ullVal;
      break;
    case VT_CY:  // units of 1/10,000; its real value is kept for the conversions to reals
      s.kind = Scalar::kCurrency, s.i = v.cyVal.int64, s.d = static_cast<double>(s.i) / 10000.0;
      break;
    case VT_DATE:  // days since 1899-12-30: converts as the real it is, except to text
      s.kind = Scalar::kReal, s.d = v.date;
      break;
    case VT_R4:
      s.kind = Scalar::kReal, s.d = v.fltVal;
      break;
    case VT_R8:
      s.kind = Scalar::kReal, s.d = v.dblVal;
      break;
    case VT_BOOL:
      s.kind = Scalar::kBool, s.b = v.boolVal != VARIANT_FALSE, s.i = v.boolVal;
      break;
    case VT_BSTR:
      s.kind = Scalar::kText, s.text = v.bstrVal;
      break;
    default:
      break;
  }
  return s;
}

// ASCII form of a BSTR when it has only ASCII characters.
bool AsciiOf(BSTR text, std::string* out) {
  const UINT length = SysStringLen(text);
  out->clear();
  out->reserve(length);
  for (UINT i = 0; i < length; ++i) {
    if (text[i] == 0 || text[i] > 0x7F) return false;
    out->push_back(static_cast<char>(text[i]));
  }
  return true;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Decimal number text: blanks, sign, digits with an optional point, optional exponent, blanks;
// as its sign, its significant digits and the power of ten that scales them.
struct DecimalText {
  bool negative = false;
  std::string digits;  // without leading zeros: empty for zero
  long exponent = 0;   // the value is digits * 10^exponent
  std::string number;  // the text without the blanks
};

HRESULT ScanNumber(BSTR text, DecimalText* out) {
  std::string ascii;
  if (!AsciiOf(text, &ascii)) return DISP_E_TYPEMISMATCH;
  std::size_t p = 0;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  const std::size_t start = p;
  if (p < ascii.size() && (ascii[p] == '+' || ascii[p] == '-')) out->negative = ascii[p++] == '-';
  std::size_t digits = 0;
  long fractionDigits = 0;
  auto takeDigits = [&](bool fraction) {
    for (; p < ascii.size() && IsDigit(ascii[p]); ++p, ++digits) {
      if (!out->digits.empty() || ascii[p] != '0') out->digits.push_back(ascii[p]);
      if (fraction) ++fractionDigits;
    }
  };
  takeDigits(false);
  if (p < ascii.size() && ascii[p] == '.') {
    ++p;
    takeDigits(true);
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  long exponent = 0;
  if (p < ascii.size() && (ascii[p] == 'e' || ascii[p] == 'E')) {
    ++p;
    bool negativeExponent = false;
    if (p < ascii.size() && (ascii[p] == '+' || ascii[p] == '-'))
      negativeExponent = ascii[p++] == '-';
    std::size_t exponentDigits = 0;
    for (; p < ascii.size() && IsDigit(ascii[p]); ++p, ++exponentDigits)
      if (exponent < 1000000) exponent = exponent * 10 + (ascii[p] - '0');  // beyond any range
    if (exponentDigits == 0) return DISP_E_TYPEMISMATCH;
    if (negativeExponent) exponent = -exponent;
  }
  const std::size_t end = p;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  if (p != ascii.size()) return DISP_E_TYPEMISMATCH;
  // Leading zeros of the fraction were not kept but still scale the digits.
  out->exponent = exponent - fractionDigits;
  out->number = ascii.substr(start, end - start);
  return S_OK;
}

HRESULT ParseNumber(BSTR text, double* value) {
  DecimalText decimal;
  const HRESULT hr = ScanNumber(text, &decimal);
  if (FAILED(hr)) return hr;
  const double parsed = std::strtod(decimal.number.c_str(), nullptr);
  if (std::isinf(parsed)) return DISP_E_OVERFLOW;
  *value = parsed;
  return S_OK;
}

// The text's value times 10^scale rounded to an integer with ties to even, exactly, as its
// magnitude (the sign is the text's). DISP_E_OVERFLOW beyond 64 bits.
HRESULT DecimalToInteger(const DecimalText& t, long scale, std::uint64_t* magnitude) {
  *magnitude = 0;
  if (t.digits.empty()) return S_OK;
  const long length = static_cast<long>(t.digits.size());
  const long integerDigits = length + t.exponent + scale;  // the digits before the point
  if (integerDigits > 20) return DISP_E_OVERFLOW;
  std::uint64_t m = 0;
  for (long k = 0; k < integerDigits; ++k) {
    const unsigned digit = k < length ? static_cast<unsigned>(t.digits[k] - '0') : 0;
    if (m > (UINT64_MAX - digit) / 10) return DISP_E_OVERFLOW;
    m = m * 10 + digit;
  }
  // A fraction whose first digit is an implied zero (integerDigits < 0) is below one half.
  if (integerDigits >= 0 && integerDigits < length) {
    const char first = t.digits[integerDigits];
    bool restNonZero = false;
    for (long k = integerDigits + 1; k < length; ++k) restNonZero |= t.digits[k] != '0';
    if (first > '5' || (first == '5' && (restNonZero || (m & 1) != 0))) {
      if (m == UINT64_MAX) return DISP_E_OVERFLOW;
      ++m;
    }
  }
  *magnitude = m;
  return S_OK;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char d = b[i];
    if (d >= 'A' && d <= 'Z') d = static_cast<char>(d - 'A' + 'a');
    if (c != d) return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::uint64_t MagnitudeOf(std::int64_t v) {
  return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

// Integer targets: the value within [-maxNegative, maxPositive] as the bits of a 64-bit two's
// complement number, or the error.
HRESULT ToInteger(const Scalar& s, std::uint64_t maxNegative, std::uint64_t maxPositive,
                  bool wrapBool, std::uint64_t* bits) {
  bool negative = false;
  std::uint64_t magnitude = 0;
  switch (s.kind) {
    case Scalar::kEmpty:
      break;
    case Scalar::kBool:
      // VARIANT_TRUE is -1; the unsigned types take its bit pattern rather than overflow.
      if (wrapBool && s.i < 0) {
        *bits = static_cast<std::uint64_t>(s.i) & maxPositive;
        return S_OK;
      }
      [[fallthrough]];
    case Scalar::kSigned:
      negative = s.i < 0, magnitude = MagnitudeOf(s.i);
      break;
    case Scalar::kUnsigned:
      magnitude = s.u;
      break;
    case Scalar::kCurrency: {
      // Whole units, ties to even.
      negative = s.i < 0, magnitude = MagnitudeOf(s.i);
      const std::uint64_t rest = magnitude % 10000;
      magnitude /= 10000;
      if (rest > 5000 || (rest == 5000 && (magnitude & 1) != 0)) ++magnitude;
      break;
    }
    case Scalar::kReal: {
      if (std::isnan(s.d)) return DISP_E_OVERFLOW;
      const double rounded = std::nearbyint(s.d);  // ties to even in the default rounding mode
      if (!(std::fabs(rounded) < 18446744073709551616.0)) return DISP_E_OVERFLOW;
      negative = rounded < 0, magnitude = static_cast<std::uint64_t>(std::fabs(rounded));
      break;
    }
    case Scalar::kText: {
      DecimalText decimal;
      HRESULT hr = ScanNumber(s.text, &decimal);
      if (SUCCEEDED(hr)) hr = DecimalToInteger(decimal, 0, &magnitude);
      if (FAILED(hr)) return hr;
      negative = decimal.negative;
      break;
    }
  }
  if (magnitude > (negative ? maxNegative : maxPositive)) return DISP_E_OVERFLOW;
  *bits = negative ? 0 - magnitude : magnitude;
  return S_OK;
}

HRESULT ToReal(const Scalar& s, double* out) {
  switch (s.kind) {
    case Scalar::kEmpty:
      *out = 0;
      return S_OK;
    case Scalar::kSigned:
      *out = static_cast<double>(s.i);
      return S_OK;
    case Scalar::kUnsigned:
      *out = static_cast<double>(s.u);
      return S_OK;
    case Scalar::kBool:
      *out = static_cast<double>(s.i);
      return S_OK;
    case Scalar::kReal:
    case Scalar::kCurrency:
      *out = s.d;
      return S_OK;
    case Scalar::kText:
      return ParseNumber(s.text, out);
  }
  return DISP_E_TYPEMISMATCH;
}

// VT_CY: units of 1/10,000 within 64 bits, ties to even; text exactly.
HRESULT ToCurrency(const Scalar& s, std::int64_t* units) {
  constexpr std::uint64_t kMaxNegative = std::uint64_t{1} << 63;
  bool negative = false;
  std::uint64_t magnitude = 0;
  switch (s.kind) {
    case Scalar::kEmpty:
      break;
    case Scalar::kSigned:
    case Scalar::kBool:
      negative = s.i < 0, magnitude = MagnitudeOf(s.i);
      if (magnitude > UINT64_MAX / 10000) return DISP_E_OVERFLOW;
      magnitude *= 10000;
      break;
    case Scalar::kUnsigned:
      if (s.u > UINT64_MAX / 10000) return DISP_E_OVERFLOW;
      magnitude = s.u * 10000;
      break;
    case Scalar::kCurrency:
      *units = s.i;
      return S_OK;
    case Scalar::kReal: {
      const double scaled = std::nearbyint(s.d * 10000.0);
      if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0))
        return DISP_E_OVERFLOW;
      *units = static_cast<std::int64_t>(scaled);
      return S_OK;
    }
    case Scalar::kText: {
      DecimalText decimal;
      HRESULT hr = ScanNumber(s.text, &decimal);
      if (SUCCEEDED(hr)) hr = DecimalToInteger(decimal, 4, &magnitude);
      if (FAILED(hr)) return hr;
      negative = decimal.negative;
      break;
    }
  }
  if (magnitude > (negative ? kMaxNegative : kMaxNegative - 1)) return DISP_E_OVERFLOW;
  *units = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return S_OK;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// Reads count digits (or 1 to count digits when exact is false) at p as a number.
bool TakeNumber(const std::string& text, std::size_t& p, std::size_t count, bool exact,
                unsigned* value) {
  std::size_t n = 0;
  *value = 0;
  for (; n < count && p < text.size() && IsDigit(text[p]); ++n, ++p)
    *value = *value * 10 + static_cast<unsigned>(text[p] - '0');
  return exact ? n == count : n > 0;
}

// "YYYY-MM-DD", optionally followed by blanks and "hh:mm" or "hh:mm:ss", surrounded by blanks:
// days since 1899-12-30 with the time of day as the fraction (away from zero before that day).
HRESULT ParseDate(BSTR text, double* date) {
  std::string ascii;
  if (!AsciiOf(text, &ascii)) return DISP_E_TYPEMISMATCH;
  std::size_t p = 0;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  auto separator = [&](char c) { return p < ascii.size() && ascii[p] == c ? (++p, true) : false; };
  if (!TakeNumber(ascii, p, 4, true, &year) || !separator('-') ||
      !TakeNumber(ascii, p, 2, false, &month) || !separator('-') ||
      !TakeNumber(ascii, p, 2, false, &day))
    return DISP_E_TYPEMISMATCH;
  const std::size_t dateEnd = p;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  if (p < ascii.size() && p > dateEnd) {
    if (!TakeNumber(ascii, p, 2, false, &hour) || !separator(':') ||
        !TakeNumber(ascii, p, 2, true, &minute))
      return DISP_E_TYPEMISMATCH;
    if (separator(':') && !TakeNumber(ascii, p, 2, true, &second)) return DISP_E_TYPEMISMATCH;
    while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  }
  if (p != ascii.size()) return DISP_E_TYPEMISMATCH;
  static constexpr unsigned kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (year < 100 || month < 1 || month > 12 || day < 1 || day > kDaysInMonth[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
    return DISP_E_TYPEMISMATCH;
  const std::int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
  const double fraction = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  *date = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
  return S_OK;
}

// VT_DATE: numbers as days since 1899-12-30 within the years 100 to 9999, text as ParseDate.
HRESULT ToDate(const Scalar& s, double* date) {
  if (s.kind == Scalar::kText) return ParseDate(s.text, date);
  const HRESULT hr = ToReal(s, date);
  if (FAILED(hr)) return hr;
  if (!(*date > -657435.0 && *date < 2958466.0)) return DISP_E_OVERFLOW;
  return S_OK;
}

HRESULT ToBool(const Scalar& s, bool* out) {
  switch (s.kind) {
    case Scalar::kEmpty:
      *out = false;
      return S_OK;
    case Scalar::kSigned:
    case Scalar::kCurrency:
      *out = s.i != 0;
      return S_OK;
    case Scalar::kUnsigned:
      *out = s.u != 0;
      return S_OK;
    case Scalar::kBool:
      *out = s.b;
      return S_OK;
    case Scalar::kReal:
      *out = s.d != 0;
      return S_OK;
    case Scalar::kText: {
      std::string ascii;
      if (AsciiOf(s.text, &ascii)) {
        std::size_t first = 0, last = ascii.size();
        while (first < last && IsSpace(ascii[first])) ++first;
        while (last > first && IsSpace(ascii[last - 1])) --last;
        const std::string word = ascii.substr(first, last - first);
        if (EqualsIgnoringCase(word, "true")) return *out = true, S_OK;
        if (EqualsIgnoringCase(word, "false")) return *out = false, S_OK;
      }
      double d = 0;
      const HRESULT hr = ParseNumber(s.text, &d);
      if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
      *out = d != 0;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

BSTR AllocAscii(const char* text) {
  std::u16string wide;
  for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<char16_t>(*p));
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

HRESULT ToText(const Scalar& s, VARTYPE sourceType, USHORT flags, BSTR* out) {
  char buffer[64];
  // A date's text follows the user's regional settings, which this subset does not have.
  if (sourceType == VT_DATE) return DISP_E_TYPEMISMATCH;
  switch (s.kind) {
    case Scalar::kEmpty:
      buffer[0] = '\0';
      break;
    case Scalar::kSigned:
      std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(s.i));
      break;
    case Scalar::kUnsigned:
      std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(s.u));
      break;
    case Scalar::kBool:
      if (flags & VARIANT_ALPHABOOL)
        std::snprintf(buffer, sizeof buffer, "%s", s.b ? "True" : "False");
      else
        std::snprintf(buffer, sizeof buffer, "%s", s.b ? "-1" : "0");
      break;
    case Scalar::kReal:
      // Single precision shows 7 significant digits, double precision 15.
      std::snprintf(buffer, sizeof buffer, sourceType == VT_R4 ? "%.7G" : "%.15G", s.d);
      break;
    case Scalar::kCurrency: {
      // Exactly, without trailing zeros in the fraction: "12.34", "-0.5", "7".
      const std::uint64_t magnitude = MagnitudeOf(s.i);
      int length = std::snprintf(buffer, sizeof buffer, "%s%llu", s.i < 0 ? "-" : "",
                                 static_cast<unsigned long long>(magnitude / 10000));
      if (magnitude % 10000 != 0) {
        length += std::snprintf(buffer + length, sizeof buffer - static_cast<std::size_t>(length),
                                ".%04u", static_cast<unsigned>(magnitude % 10000));
        while (buffer[length - 1] == '0') buffer[--length] = '\0';
      }
      break;
    }
    case Scalar::kText:
      *out = SysAllocStringLen(s.text, SysStringLen(s.text));
      return (*out == nullptr && s.text != nullptr) ? E_OUTOFMEMORY : S_OK;
  }
  *out = AllocAscii(buffer);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// The integer targets: the converted value in out and its result in hr. False (nothing done)
// when vt is no integer type.
bool ConvertToInteger(const Scalar& s, VARTYPE vt, VARIANT* out, HRESULT* hr) {
  std::uint64_t n = 0;
  auto negative = [](std::int64_t min) { return MagnitudeOf(min); };
  switch (vt) {
    case VT_I1:
      *hr = ToInteger(s, negative(INT8_MIN), INT8_MAX, false, &n);
      out->cVal = static_cast<CHAR>(static_cast<std::int8_t>(n));
      return true;
    case VT_I2:
      *hr = ToInteger(s, negative(INT16_MIN), INT16_MAX, false, &n);
      out->iVal = static_cast<SHORT>(n);
      return true;
    case VT_I4:
      *hr = ToInteger(s, negative(INT32_MIN), INT32_MAX, false, &n);
      out->lVal = static_cast<LONG>(n);
      return true;
    case VT_I8:
      *hr = ToInteger(s, negative(INT64_MIN), INT64_MAX, false, &n);
      out->llVal = static_cast<LONGLONG>(n);
      return true;
    case VT_UI1:
      *hr = ToInteger(s, 0, UINT8_MAX, true, &n);
      out->bVal = static_cast<BYTE>(n);
      return true;
    case VT_UI2:
      *hr = ToInteger(s, 0, UINT16_MAX, true, &n);
      out->uiVal = static_cast<USHORT>(n);
      return true;
    case VT_UI4:
      *hr = ToInteger(s, 0, UINT32_MAX, true, &n);
      out->ulVal = static_cast<ULONG>(n);
      return true;
    case VT_UI8:
      *hr = ToInteger(s, 0, UINT64_MAX, true, &n);
      out->ullVal = static_cast<ULONGLONG>(n);
      return true;
    default:
      return false;
  }
}

HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT* out) {
  const Scalar s = ScalarOf(src);
  HRESULT hr = S_OK;
  out->vt = vt;
  out->llVal = 0;
  if (vt == VT_EMPTY) return S_OK;
  if (!ConvertToInteger(s, vt, out, &hr)) {
    switch (vt) {
      case VT_BOOL: {
        bool b = false;
        hr = ToBool(s, &b);
        out->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      }
      case VT_R4: {
        double d = 0;
        hr = ToReal(s, &d);
        if (SUCCEEDED(hr) && (d > FLT_MAX || d < -FLT_MAX)) hr = DISP_E_OVERFLOW;
        out->fltVal = static_cast<FLOAT>(d);
        break;
      }
      case VT_R8:
        hr = ToReal(s, &out->dblVal);
        break;
      case VT_CY:
        hr = ToCurrency(s, &out->cyVal.int64);
        break;
      case VT_DATE:
        hr = ToDate(s, &out->date);
        break;
      case VT_BSTR:
        out->bstrVal = nullptr;
        hr = ToText(s, src.vt, flags, &out->bstrVal);
        break;
      default:
        hr = DISP_E_TYPEMISMATCH;
        break;
    }
  }
  if (FAILED(hr)) {
    out->vt = VT_EMPTY;
    out->llVal = 0;
  }
  return hr;
}

// The types this subset converts among: those every platform's callers may convert, and the
// 64-bit integers, VT_CY and VT_DATE.
bool SubsetConverts(VARTYPE vt) {
  return VariantTypeIsConvertible(vt) || vt == VT_I8 || vt == VT_UI8 || vt == VT_CY ||
         vt == VT_DATE;
}

}  // namespace

void VariantInit(VARIANT* v) {
  if (v == nullptr) return;
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if (!IsKnownType(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if (v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) {
      if (v->punkVal != nullptr) v->punkVal->Release();
    }
  }
  v->vt = VT_EMPTY;
  v->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!IsKnownType(src->vt)) return DISP_E_BADVARTYPE;
  const HRESULT cleared = VariantClear(dest);
  if (FAILED(cleared)) return cleared;
  *dest = *src;
  if (src->vt & VT_BYREF) return S_OK;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    dest->bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (dest->bstrVal == nullptr) {
      dest->vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    }
  } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
    src->punkVal->AddRef();
  }
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!IsKnownType(src->vt) || !IsKnownType(vt)) return DISP_E_BADVARTYPE;
  if (!SubsetConverts(src->vt) || !SubsetConverts(vt)) return DISP_E_TYPEMISMATCH;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = Convert(*src, flags, vt, &converted);
  if (FAILED(hr)) return hr;  // the destination stays as it was
  VariantClear(dest);
  *dest = converted;
  return S_OK;
}
