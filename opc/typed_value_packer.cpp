#include "opc/typed_value_packer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/utf8_text.h"

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

inline BYTE* Put64(BYTE* p, std::uint64_t v) {
  p = Put32(p, static_cast<std::uint32_t>(v >> 32));
  return Put32(p, static_cast<std::uint32_t>(v));
}

template <class Real, class Bits>
Bits BitsOf(Real value) {
  static_assert(sizeof(Real) == sizeof(Bits));
  Bits bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ull;

std::string TextOf(BSTR text) {
  if (text == nullptr) return std::string();
  return Utf16ToUtf8(WideStringView(text, SysStringLen(text)));
}

// The length of entry i when packed whole, and the text it carries (converted once).
std::size_t EntryLength(const VARIANT& value, std::string& text) {
  if (value.vt == VT_BSTR) {
    text = TextOf(value.bstrVal);
    return kTypedEntryHeaderBytes + std::min(text.size(), kTypedValueMaxBytes);
  }
  BYTE scratch[8];
  bool cut = false;
  return kTypedEntryHeaderBytes + PackTypedValue(value, scratch, sizeof scratch, cut);
}

}  // namespace

std::int64_t FileTimeToUnixMicroseconds(const FILETIME& time) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  // 0 is no time; values past 2^63 are not times either.
  if (ticks == 0 || ticks > 0x7FFFFFFFFFFFFFFFull) return 0;
  // Signed 100 ns from 1970, rounded down to microseconds.
  const std::int64_t fromEpoch =
      static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kUnixEpochFileTime);
  return fromEpoch >= 0 ? fromEpoch / 10 : -((-fromEpoch + 9) / 10);
}

bool DateToUnixMicroseconds(DATE date, std::int64_t& microseconds) {
  // The dates a DATE can name: from 0100-01-01 to 9999-12-31.
  constexpr double kFirstDate = -657434.0;
  constexpr double kLastDate = 2958466.0;
  if (!std::isfinite(date) || date < kFirstDate || date >= kLastDate) return false;
  // Before day 0 the integer part counts days back while the fraction still runs forward
  // (-1.25 is 1899-12-29 06:00): the linear day number is the integer part plus the fraction.
  double days = date;
  if (date < 0) {
    const double whole = std::trunc(date);
    days = whole + (whole - date);
  }
  constexpr double kUnixEpochDate = 25569.0;  // 1970-01-01 as a DATE
  microseconds = std::llround((days - kUnixEpochDate) * 86400.0e6);
  return true;
}

std::size_t PackTypedValue(const VARIANT& value, BYTE* out, std::size_t limit, bool& cut) {
  cut = false;
  std::size_t length = 0;
  BYTE bytes[8];
  switch (value.vt) {
    case VT_I1:
      Put8(bytes, static_cast<BYTE>(value.cVal)), length = 1;
      break;
    case VT_UI1:
      Put8(bytes, value.bVal), length = 1;
      break;
    case VT_BOOL:
      Put8(bytes, value.boolVal != 0 ? 1 : 0), length = 1;
      break;
    case VT_I2:
      Put16(bytes, static_cast<std::uint16_t>(value.iVal)), length = 2;
      break;
    case VT_UI2:
      Put16(bytes, value.uiVal), length = 2;
      break;
    case VT_I4:
      Put32(bytes, static_cast<std::uint32_t>(value.lVal)), length = 4;
      break;
    case VT_UI4:
      Put32(bytes, static_cast<std::uint32_t>(value.ulVal)), length = 4;
      break;
    case VT_INT:
      Put32(bytes, static_cast<std::uint32_t>(value.intVal)), length = 4;
      break;
    case VT_UINT:
      Put32(bytes, static_cast<std::uint32_t>(value.uintVal)), length = 4;
      break;
    case VT_ERROR:
      Put32(bytes, static_cast<std::uint32_t>(value.scode)), length = 4;
      break;
    case VT_R4:
      Put32(bytes, BitsOf<FLOAT, std::uint32_t>(value.fltVal)), length = 4;
      break;
    case VT_R8:
      Put64(bytes, BitsOf<DOUBLE, std::uint64_t>(value.dblVal)), length = 8;
      break;
    case VT_I8:
      Put64(bytes, static_cast<std::uint64_t>(value.llVal)), length = 8;
      break;
    case VT_UI8:
      Put64(bytes, static_cast<std::uint64_t>(value.ullVal)), length = 8;
      break;
    case VT_CY:
      Put64(bytes, static_cast<std::uint64_t>(value.cyVal.int64)), length = 8;
      break;
    case VT_DATE: {
      std::int64_t microseconds = 0;
      if (!DateToUnixMicroseconds(value.date, microseconds)) return 0;
      Put64(bytes, static_cast<std::uint64_t>(microseconds)), length = 8;
      break;
    }
    case VT_BSTR: {
      const std::string text = TextOf(value.bstrVal);
      const std::size_t kept = Utf8PrefixLength(text, limit);
      cut = kept < text.size();
      std::memcpy(out, text.data(), kept);
      return kept;
    }
    default:  // VT_EMPTY, VT_DECIMAL, arrays, by-reference values: no value bytes
      return 0;
  }
  if (length > limit) return 0;
  std::memcpy(out, bytes, length);
  return length;
}

std::size_t PackTypedDatagram(const TypedValueCall& call, DWORD begin, DWORD& next, BYTE* out) {
  BYTE* p = out;
  p = Put8(p, call.kind);
  p = Put16(p, 0);  // the length, filled in below
  p = Put32(p, call.dwTransid);
  p = Put16(p, call.hGroup);
  BYTE* countField = p;
  p = Put16(p, 0);  // the entry count, filled in below
  p = Put32(p, static_cast<std::uint32_t>(call.hrMastererror));
  p = Put8(p, call.hrMasterquality != S_OK ? 1 : 0);
  const WORD defaultQuality = call.hrMasterquality != S_OK ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD;

  DWORD i = begin;
  std::string text;
  for (; i < call.dwCount; ++i) {
    const VARIANT& value = call.pvValues[i];
    const std::size_t room = kTypedDatagramMaxBytes - static_cast<std::size_t>(p - out);
    // An entry that does not fit starts the next datagram; the first one always fits (a text
    // is cut to the room an otherwise empty datagram has).
    if (i > begin && EntryLength(value, text) > room) break;
    p = Put16(p, call.phClientItems[i]);
    p = Put16(p, value.vt);
    p = Put16(p, call.pwQualities != nullptr ? call.pwQualities[i] : defaultQuality);
    BYTE* flags = p;
    p = Put8(p, 0);
    p = Put64(p, static_cast<std::uint64_t>(call.pftTimeStamps != nullptr
                                                ? FileTimeToUnixMicroseconds(call.pftTimeStamps[i])
                                                : 0));
    p = Put32(p, static_cast<std::uint32_t>(call.pErrors != nullptr ? call.pErrors[i] : S_OK));
    bool cut = false;
    const std::size_t length = PackTypedValue(value, p + 2, kTypedValueMaxBytes, cut);
    p = Put16(p, static_cast<std::uint32_t>(length));
    p += length;
    if (cut) *flags = kTypedValueCut;
  }
  next = i;
  Put16(countField, i - begin);
  const auto size = static_cast<std::size_t>(p - out);
  Put16(out + 1, static_cast<std::uint32_t>(size));
  return size;
}
