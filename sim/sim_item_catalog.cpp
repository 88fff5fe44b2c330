#include "sim/sim_item_catalog.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct TypeName {
  WideStringView name;
  SimType type;
  VARTYPE vt;
};

constexpr TypeName kTypes[] = {
    {OLESTR("Int1"), SimType::kInt1, VT_I1},
    {OLESTR("Int2"), SimType::kInt2, VT_I2},
    {OLESTR("Int4"), SimType::kInt4, VT_I4},
    {OLESTR("UInt1"), SimType::kUInt1, VT_UI1},
    {OLESTR("UInt2"), SimType::kUInt2, VT_UI2},
    {OLESTR("UInt4"), SimType::kUInt4, VT_UI4},
    {OLESTR("Boolean"), SimType::kBoolean, VT_BOOL},
    {OLESTR("Real4"), SimType::kReal4, VT_R4},
    {OLESTR("Real8"), SimType::kReal8, VT_R8},
    {OLESTR("String"), SimType::kString, VT_BSTR},
    {OLESTR("Int8"), SimType::kInt8, VT_I8},
    {OLESTR("UInt8"), SimType::kUInt8, VT_UI8},
    {OLESTR("Date"), SimType::kDate, VT_DATE},
    {OLESTR("Currency"), SimType::kCurrency, VT_CY},
};

// 2026-01-01T00:00:00Z as a DATE: the Static date at noon, and where Ramp and Memory dates start.
constexpr double kSimDateOrigin = 46023.0;
constexpr double kTicksPerDay = 864000.0;  // 100 ms ticks

struct FamilyName {
  WideStringView name;
  SimFamily family;
  DWORD access;
  WORD quality;
};

constexpr FamilyName kFamilies[] = {
    {OLESTR("Static"), SimFamily::kStatic, OPC_READABLE, OPC_QUALITY_GOOD},
    {OLESTR("Ramp"), SimFamily::kRamp, OPC_READABLE, OPC_QUALITY_GOOD},
    {OLESTR("Random"), SimFamily::kRandom, OPC_READABLE, OPC_QUALITY_GOOD},
    {OLESTR("Memory"), SimFamily::kMemory, OPC_READABLE | OPC_WRITEABLE, OPC_QUALITY_GOOD},
    {OLESTR("Bad"), SimFamily::kBad, OPC_READABLE, OPC_QUALITY_BAD},
    {OLESTR("Uncertain"), SimFamily::kUncertain, OPC_READABLE, OPC_QUALITY_UNCERTAIN},
};

BSTR TextOf(const char* ascii) {
  WideString wide;
  for (const char* p = ascii; *p != '\0'; ++p) wide.push_back(static_cast<WideChar>(*p));
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// The integer n in the item's type: integers wrap, Boolean is "n is odd", reals take n, text
// is its decimal form.
void SetFromCount(SimType type, std::uint64_t n, VARIANT* v) {
  switch (type) {
    case SimType::kInt1:
      v->vt = VT_I1, v->cVal = static_cast<CHAR>(static_cast<std::int8_t>(n));
      break;
    case SimType::kInt2:
      v->vt = VT_I2, v->iVal = static_cast<SHORT>(n);
      break;
    case SimType::kInt4:
      v->vt = VT_I4, v->lVal = static_cast<LONG>(n);
      break;
    case SimType::kUInt1:
      v->vt = VT_UI1, v->bVal = static_cast<BYTE>(n);
      break;
    case SimType::kUInt2:
      v->vt = VT_UI2, v->uiVal = static_cast<USHORT>(n);
      break;
    case SimType::kUInt4:
      v->vt = VT_UI4, v->ulVal = static_cast<ULONG>(n);
      break;
    case SimType::kBoolean:
      v->vt = VT_BOOL, v->boolVal = (n & 1) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case SimType::kReal4:
      v->vt = VT_R4, v->fltVal = static_cast<FLOAT>(n);
      break;
    case SimType::kReal8:
      v->vt = VT_R8, v->dblVal = static_cast<DOUBLE>(n);
      break;
    case SimType::kString: {
      char text[24];
      std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
      v->vt = VT_BSTR;
      v->bstrVal = TextOf(text);
      break;
    }
    case SimType::kInt8:
      v->vt = VT_I8, v->llVal = static_cast<LONGLONG>(n);
      break;
    case SimType::kUInt8:
      v->vt = VT_UI8, v->ullVal = n;
      break;
    case SimType::kDate:  // n ticks of 100 ms after 2026-01-01
      v->vt = VT_DATE,
      v->date = kSimDateOrigin + static_cast<double>(n % 864000000ull) / kTicksPerDay;
      break;
    case SimType::kCurrency:  // n whole units
      v->vt = VT_CY, v->cyVal.int64 = static_cast<LONGLONG>(n % 100000000000000ull) * 10000;
      break;
  }
}

void SetStatic(SimType type, VARIANT* v) {
  switch (type) {
    case SimType::kInt1:
      v->vt = VT_I1, v->cVal = static_cast<CHAR>(-100);
      break;
    case SimType::kInt2:
      v->vt = VT_I2, v->iVal = 300;
      break;
    case SimType::kInt4:
      v->vt = VT_I4, v->lVal = 70000;
      break;
    case SimType::kUInt1:
      v->vt = VT_UI1, v->bVal = 200;
      break;
    case SimType::kUInt2:
      v->vt = VT_UI2, v->uiVal = 50000;
      break;
    case SimType::kUInt4:
      v->vt = VT_UI4, v->ulVal = 3000000000u;
      break;
    case SimType::kBoolean:
      v->vt = VT_BOOL, v->boolVal = VARIANT_TRUE;
      break;
    case SimType::kReal4:
      v->vt = VT_R4, v->fltVal = 1.5f;
      break;
    case SimType::kReal8:
      v->vt = VT_R8, v->dblVal = 3.25;
      break;
    case SimType::kString:
      v->vt = VT_BSTR, v->bstrVal = SysAllocString(OLESTR("Quarnix"));
      break;
    case SimType::kInt8:
      v->vt = VT_I8, v->llVal = -9000000000ll;
      break;
    case SimType::kUInt8:
      v->vt = VT_UI8, v->ullVal = 18000000000000000000ull;
      break;
    case SimType::kDate:  // 2026-01-01T12:00:00Z
      v->vt = VT_DATE, v->date = kSimDateOrigin + 0.5;
      break;
    case SimType::kCurrency:  // 12.34
      v->vt = VT_CY, v->cyVal.int64 = 123400;
      break;
  }
}

void SetZero(SimType type, VARIANT* v) {
  if (type == SimType::kString) {
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(OLESTR(""));
    return;
  }
  SetFromCount(type, 0, v);
}

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void SetRandom(SimType type, std::uint64_t r, VARIANT* v) {
  switch (type) {
    case SimType::kReal4:
      v->vt = VT_R4;
      v->fltVal = static_cast<FLOAT>(static_cast<double>(r >> 40) / 16777216.0 * 100.0);
      break;
    case SimType::kReal8:
      v->vt = VT_R8;
      v->dblVal = static_cast<double>(r >> 11) / 9007199254740992.0 * 100.0;
      break;
    case SimType::kString:
      SetFromCount(type, r & 0xFFFFFFFFu, v);
      break;
    case SimType::kBoolean:
      SetFromCount(type, r >> 63, v);
      break;
    case SimType::kDate:  // a time within the year 2026
      v->vt = VT_DATE;
      v->date = kSimDateOrigin + static_cast<double>(r >> 11) / 9007199254740992.0 * 365.0;
      break;
    case SimType::kCurrency:  // 0 to 100 with four decimals
      v->vt = VT_CY, v->cyVal.int64 = static_cast<LONGLONG>(r % 1000001u);
      break;
    default:
      SetFromCount(type, r, v);
      break;  // integers take the low bits
  }
}

}  // namespace

namespace {

// "Many.N" with N from 1 to kSimManyCount written without leading zeros: 0 when id is no such ID.
std::uint32_t ManyNumber(WideStringView id) {
  constexpr WideStringView kPrefix = OLESTR("Many.");
  if (id.size() <= kPrefix.size() || id.size() > kPrefix.size() + 5 ||
      id.substr(0, kPrefix.size()) != kPrefix || id[kPrefix.size()] == OLESTR('0'))
    return 0;
  std::uint32_t n = 0;
  for (WideChar c : id.substr(kPrefix.size())) {
    if (c < OLESTR('0') || c > OLESTR('9')) return 0;
    n = n * 10 + static_cast<std::uint32_t>(c - OLESTR('0'));
  }
  return n <= kSimManyCount ? n : 0;
}

}  // namespace

HRESULT ParseSimItemId(WideStringView id, SimItemInfo* info, int instance) {
  if (id.empty()) return OPC_E_INVALIDITEMID;
  if (const std::uint32_t n = ManyNumber(id); n != 0) {
    if (info != nullptr)
      *info =
          SimItemInfo{SimFamily::kMany, SimType::kInt4, VT_I4, OPC_READABLE, OPC_QUALITY_GOOD, n};
    return S_OK;
  }
  if (id == WideStringView(OLESTR("Static.LongString"))) {
    if (info != nullptr) {
      *info = SimItemInfo{SimFamily::kStatic, SimType::kString, VT_BSTR, OPC_READABLE,
                          OPC_QUALITY_GOOD};
      info->longText = true;
    }
    return S_OK;
  }
  if (id == WideStringView(OLESTR("Control.Instance"))) {
    if (info != nullptr) {
      *info =
          SimItemInfo{SimFamily::kControl, SimType::kInt4, VT_I4, OPC_READABLE, OPC_QUALITY_GOOD};
      info->control = SimControl::kInstance;
    }
    return S_OK;
  }
  if (id == WideStringView(OLESTR("Control.Instance1Only"))) {
    if (instance != 1) return OPC_E_UNKNOWNITEMID;
    if (info != nullptr) {
      *info =
          SimItemInfo{SimFamily::kControl, SimType::kInt4, VT_I4, OPC_READABLE, OPC_QUALITY_GOOD};
      info->control = SimControl::kInstance1Only;
    }
    return S_OK;
  }
  const SimControl control = id == WideStringView(OLESTR("Control.Restart")) ? SimControl::kRestart
                             : id == WideStringView(OLESTR("Control.Hang"))  ? SimControl::kHang
                             : id == WideStringView(OLESTR("Control.Delay")) ? SimControl::kDelay
                                                                             : SimControl::kNone;
  if (control != SimControl::kNone) {
    if (info != nullptr) {
      *info = SimItemInfo{SimFamily::kControl, SimType::kInt4, VT_I4, OPC_READABLE | OPC_WRITEABLE,
                          OPC_QUALITY_GOOD};
      info->control = control;
    }
    return S_OK;
  }
  for (WideChar c : id)
    if (c < 0x20 || c == 0x7F) return OPC_E_INVALIDITEMID;
  // Split into the family, the type and what follows; every part must be non-empty.
  WideStringView parts[3];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = count < 2 ? id.find(OLESTR('.'), start) : WideStringView::npos;
    const WideStringView part =
        id.substr(start, dot == WideStringView::npos ? id.npos : dot - start);
    if (part.empty()) return OPC_E_INVALIDITEMID;
    parts[count++] = part;
    if (dot == WideStringView::npos) break;
    start = dot + 1;
  }
  // Any empty part further inside the tail ("Memory.Int4.a..b") is malformed too.
  if (count == 3) {
    std::size_t pos = 0;
    const WideStringView tail = parts[2];
    for (;;) {
      const std::size_t dot = tail.find(OLESTR('.'), pos);
      const std::size_t end = dot == tail.npos ? tail.size() : dot;
      if (end == pos) return OPC_E_INVALIDITEMID;
      if (dot == tail.npos) break;
      pos = dot + 1;
    }
  }
  if (count < 2) return OPC_E_UNKNOWNITEMID;
  const FamilyName* family = nullptr;
  for (const auto& f : kFamilies)
    if (f.name == parts[0]) family = &f;
  const TypeName* type = nullptr;
  for (const auto& t : kTypes)
    if (t.name == parts[1]) type = &t;
  if (family == nullptr || type == nullptr) return OPC_E_UNKNOWNITEMID;
  if (count == 3 && family->family != SimFamily::kMemory && family->family != SimFamily::kRamp &&
      family->family != SimFamily::kRandom)
    return OPC_E_UNKNOWNITEMID;
  if (info != nullptr) {
    info->family = family->family;
    info->type = type->type;
    info->canonicalType = type->vt;
    info->accessRights = family->access;
    info->quality = family->quality;
  }
  return S_OK;
}

const WideString& SimLongText() {
  static const WideString text = [] {
    // '°' U+00B0, '温' U+6E29, '度' U+5EA6
    const WideString unit = {OLESTR('2'), OLESTR('1'), OLESTR('.'), OLESTR('7'), 0x00B0,
                             OLESTR('C'), OLESTR(' '), 0x6E29,      0x5EA6,      OLESTR(' ')};
    WideString all;
    all.reserve(unit.size() * kSimLongTextUnits);
    for (std::size_t k = 0; k < kSimLongTextUnits; ++k) all += unit;
    return all;
  }();
  return text;
}

bool IsSupportedRequestedType(VARTYPE canonicalType, VARTYPE vt) {
  if (vt == VT_EMPTY || vt == canonicalType) return true;
  if (canonicalType == VT_BSTR || !VariantTypeIsConvertible(canonicalType)) return false;
  return VariantTypeIsConvertible(vt);
}

bool IsTicking(SimFamily family) {
  return family == SimFamily::kRamp || family == SimFamily::kRandom;
}

void MakeSimValue(const SimItemInfo& info, std::uint64_t seed, std::uint64_t tick, VARIANT* value) {
  VariantClear(value);
  switch (info.family) {
    case SimFamily::kStatic:
      if (info.longText) {
        const WideString& text = SimLongText();
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      } else {
        SetStatic(info.type, value);
      }
      break;
    case SimFamily::kRamp:
      SetFromCount(info.type, tick, value);
      break;
    case SimFamily::kRandom:
      SetRandom(info.type, Mix(seed ^ Mix(tick)), value);
      break;
    case SimFamily::kMemory:
    case SimFamily::kBad:
    case SimFamily::kUncertain:
    case SimFamily::kControl:
      if (info.control == SimControl::kInstance) {
        value->vt = VT_I4, value->lVal = static_cast<LONG>(info.number);
        break;
      }
      SetZero(info.type, value);
      break;
    case SimFamily::kMany:
      value->vt = VT_I4, value->lVal = static_cast<LONG>(info.number);
      break;
  }
}

std::uint64_t SimItemSeed(WideStringView id) {
  std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the UTF-16 code units
  for (WideChar c : id) {
    hash ^= static_cast<std::uint64_t>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

bool SameSimValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY:
      return true;
    case VT_I1:
      return a.cVal == b.cVal;
    case VT_I2:
      return a.iVal == b.iVal;
    case VT_I4:
      return a.lVal == b.lVal;
    case VT_UI1:
      return a.bVal == b.bVal;
    case VT_UI2:
      return a.uiVal == b.uiVal;
    case VT_UI4:
      return a.ulVal == b.ulVal;
    case VT_BOOL:
      return a.boolVal == b.boolVal;
    case VT_R4:
      return a.fltVal == b.fltVal;
    case VT_R8:
      return a.dblVal == b.dblVal;
    case VT_I8:
      return a.llVal == b.llVal;
    case VT_UI8:
      return a.ullVal == b.ullVal;
    case VT_DATE:
      return a.date == b.date;
    case VT_CY:
      return a.cyVal.int64 == b.cyVal.int64;
    case VT_BSTR: {
      const UINT length = SysStringLen(a.bstrVal);
      if (length != SysStringLen(b.bstrVal)) return false;
      for (UINT i = 0; i < length; ++i)
        if (a.bstrVal[i] != b.bstrVal[i]) return false;
      return true;
    }
    default:
      return false;
  }
}

namespace {

// The ASCII text of a BSTR without surrounding blanks; false when it holds other characters.
bool TrimmedAscii(BSTR text, std::string* out) {
  out->clear();
  for (UINT i = 0; i < SysStringLen(text); ++i) {
    if (text[i] == 0 || text[i] > 0x7F) return false;
    out->push_back(static_cast<char>(text[i]));
  }
  const auto first = out->find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  *out = out->substr(first, out->find_last_not_of(" \t") - first + 1);
  return true;
}

// A number of value: exactly as an integer where it is one, else as a real.
struct SimNumber {
  bool integer = false;
  bool negative = false;
  std::uint64_t magnitude = 0;
  double real = 0;
};

HRESULT NumberOf(const VARIANT& value, SimNumber* n) {
  auto fromSigned = [n](long long v) {
    n->integer = true, n->negative = v < 0;
    n->magnitude = v < 0 ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
    n->real = static_cast<double>(v);
  };
  auto fromUnsigned = [n](unsigned long long v) {
    n->integer = true, n->magnitude = v, n->real = static_cast<double>(v);
  };
  switch (value.vt) {
    case VT_I1:
      return fromSigned(static_cast<signed char>(value.cVal)), S_OK;
    case VT_I2:
      return fromSigned(value.iVal), S_OK;
    case VT_I4:
      return fromSigned(value.lVal), S_OK;
    case VT_I8:
      return fromSigned(value.llVal), S_OK;
    case VT_UI1:
      return fromUnsigned(value.bVal), S_OK;
    case VT_UI2:
      return fromUnsigned(value.uiVal), S_OK;
    case VT_UI4:
      return fromUnsigned(value.ulVal), S_OK;
    case VT_UI8:
      return fromUnsigned(value.ullVal), S_OK;
    case VT_R4:
      return n->real = value.fltVal, S_OK;
    case VT_R8:
      return n->real = value.dblVal, S_OK;
    case VT_DATE:
      return n->real = value.date, S_OK;
    case VT_CY:
      return n->real = static_cast<double>(value.cyVal.int64) / 10000.0, S_OK;
    case VT_BSTR: {
      std::string text;
      if (!TrimmedAscii(value.bstrVal, &text)) return DISP_E_TYPEMISMATCH;
      const char* begin = text.c_str();
      char* end = nullptr;
      errno = 0;
      if (text.find_first_of(".eE") == std::string::npos) {
        if (text[0] == '-') {
          const long long v = std::strtoll(begin, &end, 10);
          if (*end == '\0' && end != begin)
            return errno == ERANGE ? DISP_E_OVERFLOW : (fromSigned(v), S_OK);
        } else {
          const unsigned long long v = std::strtoull(begin, &end, 10);
          if (*end == '\0' && end != begin)
            return errno == ERANGE ? DISP_E_OVERFLOW : (fromUnsigned(v), S_OK);
        }
        return DISP_E_TYPEMISMATCH;
      }
      n->real = std::strtod(begin, &end);
      if (*end != '\0' || end == begin) return DISP_E_TYPEMISMATCH;
      return std::isfinite(n->real) ? S_OK : DISP_E_OVERFLOW;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

HRESULT ConvertSimWriteValue(const VARIANT& value, VARTYPE canonical, VARIANT* converted) {
  VariantInit(converted);
  if (canonical != VT_I8 && canonical != VT_UI8 && canonical != VT_DATE && canonical != VT_CY)
    return VariantChangeType(converted, &value, 0, canonical);
  if (value.vt == canonical) return VariantCopy(converted, &value);
  SimNumber n;
  const HRESULT hr = NumberOf(value, &n);
  if (FAILED(hr)) return hr;
  // Reals round to the nearest integer (ties to even) for the integer types.
  const double rounded = std::nearbyint(n.real);
  switch (canonical) {
    case VT_I8:
      if (n.integer) {
        if (n.negative ? n.magnitude > 9223372036854775808ull
                       : n.magnitude > 9223372036854775807ull)
          return DISP_E_OVERFLOW;
        converted->llVal = n.negative ? static_cast<LONGLONG>(~n.magnitude + 1)
                                      : static_cast<LONGLONG>(n.magnitude);
      } else {
        if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0))
          return DISP_E_OVERFLOW;
        converted->llVal = static_cast<LONGLONG>(rounded);
      }
      break;
    case VT_UI8:
      if (n.integer) {
        if (n.negative && n.magnitude != 0) return DISP_E_OVERFLOW;
        converted->ullVal = n.magnitude;
      } else {
        if (!(rounded >= 0.0 && rounded < 18446744073709551616.0)) return DISP_E_OVERFLOW;
        converted->ullVal = static_cast<ULONGLONG>(rounded);
      }
      break;
    case VT_CY: {
      const double units = std::nearbyint(n.real * 10000.0);
      if (!(units >= -9223372036854775808.0 && units < 9223372036854775808.0))
        return DISP_E_OVERFLOW;
      converted->cyVal.int64 = static_cast<LONGLONG>(units);
      break;
    }
    default:  // VT_DATE: a number of days since 1899-12-30
      converted->date = n.real;
      break;
  }
  converted->vt = canonical;
  return S_OK;
}
