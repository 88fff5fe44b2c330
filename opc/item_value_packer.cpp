#include "opc/item_value_packer.h"

namespace {

inline BYTE* Put8(BYTE* p, std::uint32_t v) {
  *p++ = static_cast<BYTE>(v);
  return p;
}

inline BYTE* Put16(BYTE* p, std::uint32_t v) {
  *p++ = static_cast<BYTE>(v >> 8);
  *p++ = static_cast<BYTE>(v);
  return p;
}

inline BYTE* Put32(BYTE* p, std::uint32_t v) {
  *p++ = static_cast<BYTE>(v >> 24);
  *p++ = static_cast<BYTE>(v >> 16);
  *p++ = static_cast<BYTE>(v >> 8);
  *p++ = static_cast<BYTE>(v);
  return p;
}

}  // namespace

DWORD ItemDatagramCount(DWORD count) {
  if (count <= kItemsPerDatagram) return 1;
  return (count + kItemsPerDatagram - 1) / kItemsPerDatagram;
}

std::size_t PackItemValue(const VARIANT& value, BYTE* out) {
  switch (value.vt) {
    case VT_I2:
      Put16(out, static_cast<std::uint16_t>(value.iVal));
      return 2;
    case VT_UI2:
      Put16(out, value.uiVal);
      return 2;
    case VT_I4:
      Put32(out, static_cast<std::uint32_t>(value.lVal));
      return 4;
    case VT_UI4:
      Put32(out, value.ulVal);
      return 4;
    case VT_BOOL:
      Put8(out, value.boolVal != 0 ? 1 : 0);
      return 1;
    case VT_I1:
      Put8(out, static_cast<BYTE>(value.cVal));
      return 1;
    case VT_UI1:
      Put8(out, value.bVal);
      return 1;
    default:  // every other type, arrays and by-reference values carry no value bytes
      return 0;
  }
}

std::size_t PackItemDatagram(const ItemValueCall& call, DWORD begin, DWORD end, BYTE* out) {
  const bool withQuality = call.hrMasterquality != 0;
  const bool withError = call.hrMastererror != 0;
  BYTE* p = out;
  p = Put8(p, call.kind);
  p = Put16(p, 0);  // the length, filled in below
  p = Put32(p, call.dwTransid);
  p = Put16(p, call.hGroup);
  p = Put16(p, end - begin);
  p = Put32(p, static_cast<std::uint32_t>(call.hrMastererror));
  p = Put8(p, static_cast<std::uint32_t>(call.hrMasterquality));
  for (DWORD i = begin; i < end; ++i) {
    p = Put16(p, call.phClientItems[i]);
    const std::size_t length = PackItemValue(call.pvValues[i], p + 1);
    *p = static_cast<BYTE>(length);
    p += 1 + length;
    if (withQuality) p = Put8(p, call.pwQualities[i]);
    if (withError) p = Put32(p, static_cast<std::uint32_t>(call.pErrors[i]));
  }
  const auto size = static_cast<std::size_t>(p - out);
  Put16(out + 1, static_cast<std::uint32_t>(size));
  return size;
}

std::size_t PackWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                              BYTE* out) {
  BYTE* p = Put8(out, kWriteCompleteKind);
  p = Put32(p, dwTransid);
  p = Put16(p, hGroup);
  p = Put16(p, dwCount);
  Put32(p, static_cast<std::uint32_t>(hrMastererr));
  return kWriteCompleteBytes;
}

std::size_t PackCancelComplete(DWORD dwTransid, OPCHANDLE hGroup, BYTE* out) {
  BYTE* p = Put8(out, kCancelCompleteKind);
  p = Put32(p, dwTransid);
  Put16(p, hGroup);
  return kCancelCompleteBytes;
}
