#include "sim/sim_item_catalog.h"

#include <cstdio>
#include <string>

namespace {

struct TypeName {
  WideStringView name;
  SimType type;
  VARTYPE vt;
};

constexpr TypeName kTypes[] = {
    {OLESTR("Int1"), SimType::kInt1, VT_I1},         {OLESTR("Int2"), SimType::kInt2, VT_I2},
    {OLESTR("Int4"), SimType::kInt4, VT_I4},         {OLESTR("UInt1"), SimType::kUInt1, VT_UI1},
    {OLESTR("UInt2"), SimType::kUInt2, VT_UI2},      {OLESTR("UInt4"), SimType::kUInt4, VT_UI4},
    {OLESTR("Boolean"), SimType::kBoolean, VT_BOOL}, {OLESTR("Real4"), SimType::kReal4, VT_R4},
    {OLESTR("Real8"), SimType::kReal8, VT_R8},       {OLESTR("String"), SimType::kString, VT_BSTR},
};

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

HRESULT ParseSimItemId(WideStringView id, SimItemInfo* info) {
  if (id.empty()) return OPC_E_INVALIDITEMID;
  if (const std::uint32_t n = ManyNumber(id); n != 0) {
    if (info != nullptr)
      *info =
          SimItemInfo{SimFamily::kMany, SimType::kInt4, VT_I4, OPC_READABLE, OPC_QUALITY_GOOD, n};
    return S_OK;
  }
  if (id == WideStringView(OLESTR("Control.Restart")) ||
      id == WideStringView(OLESTR("Control.Hang")) ||
      id == WideStringView(OLESTR("Control.Delay"))) {
    if (info != nullptr)
      *info = SimItemInfo{SimFamily::kControl, SimType::kInt4, VT_I4, OPC_READABLE | OPC_WRITEABLE,
                          OPC_QUALITY_GOOD};
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
  if (count == 3 && family->family != SimFamily::kMemory) return OPC_E_UNKNOWNITEMID;
  if (info != nullptr) {
    info->family = family->family;
    info->type = type->type;
    info->canonicalType = type->vt;
    info->accessRights = family->access;
    info->quality = family->quality;
  }
  return S_OK;
}

bool IsSupportedRequestedType(VARTYPE canonicalType, VARTYPE vt) {
  if (vt == VT_EMPTY || vt == canonicalType) return true;
  if (canonicalType == VT_BSTR) return false;
  return VariantTypeIsConvertible(vt);
}

bool IsTicking(SimFamily family) {
  return family == SimFamily::kRamp || family == SimFamily::kRandom;
}

void MakeSimValue(const SimItemInfo& info, std::uint64_t seed, std::uint64_t tick, VARIANT* value) {
  VariantClear(value);
  switch (info.family) {
    case SimFamily::kStatic:
      SetStatic(info.type, value);
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
