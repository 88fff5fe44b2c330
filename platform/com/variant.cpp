// VARIANT life cycle and the conversions among the scalar types that OPC values use, with the
// results of the Windows conversion rules: integers are range-checked (DISP_E_OVERFLOW), reals
// round to the nearest integer with ties to even, VARIANT_TRUE is -1 and converts to the
// unsigned types by wrapping, and numbers and text convert in decimal.
#include <cfloat>
#include <cmath>
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
  enum Kind { kEmpty, kSigned, kUnsigned, kReal, kBool, kText } kind = kEmpty;
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

// Decimal number text: blanks, sign, digits with an optional point, optional exponent, blanks.
HRESULT ParseNumber(BSTR text, double* value) {
  std::string ascii;
  if (!AsciiOf(text, &ascii)) return DISP_E_TYPEMISMATCH;
  std::size_t p = 0;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  const std::size_t start = p;
  if (p < ascii.size() && (ascii[p] == '+' || ascii[p] == '-')) ++p;
  std::size_t digits = 0;
  while (p < ascii.size() && IsDigit(ascii[p])) ++p, ++digits;
  if (p < ascii.size() && ascii[p] == '.') {
    ++p;
    while (p < ascii.size() && IsDigit(ascii[p])) ++p, ++digits;
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (p < ascii.size() && (ascii[p] == 'e' || ascii[p] == 'E')) {
    ++p;
    if (p < ascii.size() && (ascii[p] == '+' || ascii[p] == '-')) ++p;
    std::size_t exponentDigits = 0;
    while (p < ascii.size() && IsDigit(ascii[p])) ++p, ++exponentDigits;
    if (exponentDigits == 0) return DISP_E_TYPEMISMATCH;
  }
  const std::size_t end = p;
  while (p < ascii.size() && IsSpace(ascii[p])) ++p;
  if (p != ascii.size()) return DISP_E_TYPEMISMATCH;
  const std::string number = ascii.substr(start, end - start);
  const double parsed = std::strtod(number.c_str(), nullptr);
  if (std::isinf(parsed)) return DISP_E_OVERFLOW;
  *value = parsed;
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

// Integer targets: the value as a 64-bit integer within [low, high], or the error.
HRESULT ToInteger(const Scalar& s, std::int64_t low, std::int64_t high, bool wrapBool,
                  std::int64_t* out) {
  switch (s.kind) {
    case Scalar::kEmpty:
      *out = 0;
      return S_OK;
    case Scalar::kSigned:
      if (s.i < low || s.i > high) return DISP_E_OVERFLOW;
      *out = s.i;
      return S_OK;
    case Scalar::kUnsigned:
      if (s.u > static_cast<std::uint64_t>(high)) return DISP_E_OVERFLOW;
      *out = static_cast<std::int64_t>(s.u);
      return S_OK;
    case Scalar::kBool:
      // VARIANT_TRUE is -1; the unsigned types take its bit pattern rather than overflow.
      if (wrapBool && s.i < 0) {
        *out = static_cast<std::int64_t>(static_cast<std::uint64_t>(s.i) &
                                         static_cast<std::uint64_t>(high));
        return S_OK;
      }
      if (s.i < low || s.i > high) return DISP_E_OVERFLOW;
      *out = s.i;
      return S_OK;
    case Scalar::kReal:
    case Scalar::kText: {
      double d = s.d;
      if (s.kind == Scalar::kText) {
        const HRESULT hr = ParseNumber(s.text, &d);
        if (FAILED(hr)) return hr;
      }
      if (std::isnan(d)) return DISP_E_OVERFLOW;
      const double rounded = std::nearbyint(d);  // ties to even in the default rounding mode
      if (rounded < static_cast<double>(low) || rounded > static_cast<double>(high))
        return DISP_E_OVERFLOW;
      *out = static_cast<std::int64_t>(rounded);
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
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
      *out = s.d;
      return S_OK;
    case Scalar::kText:
      return ParseNumber(s.text, out);
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToBool(const Scalar& s, bool* out) {
  switch (s.kind) {
    case Scalar::kEmpty:
      *out = false;
      return S_OK;
    case Scalar::kSigned:
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
  std::int64_t n = 0;
  switch (vt) {
    case VT_I1:
      *hr = ToInteger(s, INT8_MIN, INT8_MAX, false, &n);
      out->cVal = static_cast<CHAR>(static_cast<std::int8_t>(n));
      return true;
    case VT_I2:
      *hr = ToInteger(s, INT16_MIN, INT16_MAX, false, &n);
      out->iVal = static_cast<SHORT>(n);
      return true;
    case VT_I4:
      *hr = ToInteger(s, INT32_MIN, INT32_MAX, false, &n);
      out->lVal = static_cast<LONG>(n);
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
  if (!VariantTypeIsConvertible(src->vt) || !VariantTypeIsConvertible(vt))
    return DISP_E_TYPEMISMATCH;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = Convert(*src, flags, vt, &converted);
  if (FAILED(hr)) return hr;  // the destination stays as it was
  VariantClear(dest);
  *dest = converted;
  return S_OK;
}
