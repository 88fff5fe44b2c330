// The simulator's item catalogue: which item IDs exist, their canonical types and access rights,
// and the values each family produces.
//
// Item IDs are "<Family>.<Type>", plus "Memory.<Type>.<anything>", "Ramp.<Type>.<anything>" and
// "Random.<Type>.<anything>" (each such ID an item of its own); they compare case-sensitively.
// Families: Static (fixed values), Ramp (100 ms tick count), Random (new value each tick, seeded
// by the item ID), Memory (read and write), Bad and Uncertain (0 with that quality). Three more
// items stand alone, each VT_I4 and reading 0: "Control.Restart", whose write of N seconds makes
// the server behave as a crashed process for that long; "Control.Hang", whose write of N seconds
// makes every later call and creation block for that long; "Control.Delay", whose write of N
// milliseconds delays every later call by that much (0 ends it). "Many.N" (N from 1 to
// kSimManyCount, no leading zero) are read-only VT_I4 items that read N, for paging through a
// large branch. "Static.LongString" is a read-only VT_BSTR item holding SimLongText(): a text
// far longer than a datagram or a request line, for trying how clients get it; it is a valid ID
// but not listed by browsing, so the browse tree keeps one leaf per type. "Control.Instance" is a
// read-only VT_I4 item reading the number of the server state that serves it (1 for
// Quarnix.Simulator, 2 for Quarnix.Simulator.2: the core puts it into `number`); it is not listed
// by browsing either. "Control.Instance1Only" is a read-only VT_I4 item reading 0 that only the
// first server state knows: the second answers OPC_E_UNKNOWNITEMID for it, as a backup server
// configured with fewer items does; it is not listed by browsing.
//
// Error rule: ParseSimItemId returns OPC_E_INVALIDITEMID or OPC_E_UNKNOWNITEMID; the value makers
// cannot fail except for memory (an empty BSTR then stays null).
// Thread rule: pure functions, any thread. Ownership: values written into caller's VARIANTs.
#pragma once

#include <cstdint>
#include <string_view>

#include "opc/opcda.h"
#include "platform/wide_string.h"

enum class SimFamily { kStatic, kRamp, kRandom, kMemory, kBad, kUncertain, kControl, kMany };
// Which item of the Control family: each does something else, so each has its own description.
enum class SimControl { kNone, kRestart, kHang, kDelay, kInstance, kInstance1Only };
enum class SimType {
  kInt1,
  kInt2,
  kInt4,
  kUInt1,
  kUInt2,
  kUInt4,
  kBoolean,
  kReal4,
  kReal8,
  kString,
  kInt8,     // VT_I8
  kUInt8,    // VT_UI8
  kDate,     // VT_DATE
  kCurrency  // VT_CY
};

struct SimItemInfo {
  SimFamily family = SimFamily::kStatic;
  SimType type = SimType::kInt1;
  VARTYPE canonicalType = VT_EMPTY;
  DWORD accessRights = 0;
  WORD quality = OPC_QUALITY_GOOD;
  std::uint32_t number = 0;  // Many: N of "Many.N", also its value
  bool longText = false;     // "Static.LongString": SimLongText() instead of the Static text
  SimControl control = SimControl::kNone;  // kInstance reads `number`, the server state's number
};

// S_OK and the item's description; OPC_E_INVALIDITEMID for an empty or malformed ID (an empty
// dot-separated part, a control character); OPC_E_UNKNOWNITEMID for a well-formed unknown one.
// instance is the number of the server state asked (1 or 2): it decides "Control.Instance1Only".
HRESULT ParseSimItemId(WideStringView id, SimItemInfo* info, int instance = 1);

// How many items the branch "Many" holds.
inline constexpr std::uint32_t kSimManyCount = 50000;

// The downtime a write to "Control.Restart" may ask for, in seconds.
inline constexpr long kSimRestartMinSeconds = 1;
inline constexpr long kSimRestartMaxSeconds = 600;
// The hang a write to "Control.Hang" may ask for, in seconds, and the delay of every call that a
// write to "Control.Delay" may ask for, in milliseconds.
inline constexpr long kSimHangMinSeconds = 1;
inline constexpr long kSimHangMaxSeconds = 600;
inline constexpr long kSimDelayMaxMilliseconds = 600000;

// The value of "Static.LongString": kSimLongTextUnits repetitions of "21.7°C 温度 " (ten
// characters of one, two and three UTF-8 bytes: 15 bytes, one UTF-16 code unit each), so
// kSimLongTextUnits * 10 characters, built once.
inline constexpr std::size_t kSimLongTextUnits = 10000;
const WideString& SimLongText();

// Whether an item of this canonical type can be delivered as vt (VT_EMPTY: the canonical type).
// Numbers and booleans convert among each other and to text; text items stay text; VT_I8,
// VT_UI8, VT_DATE and VT_CY items are delivered in their own type only.
bool IsSupportedRequestedType(VARTYPE canonicalType, VARTYPE vt);

// The value of the item at 100 ms tick number tick, in its canonical type. seed is
// SimItemSeed(id) (used by Random only).
void MakeSimValue(const SimItemInfo& info, std::uint64_t seed, std::uint64_t tick, VARIANT* value);

// Whether the family's value changes with the tick (Ramp and Random).
bool IsTicking(SimFamily family);

// A fixed seed per item ID, so that random runs repeat.
std::uint64_t SimItemSeed(WideStringView id);

// value as an item of canonical type canonical takes it on a write: VariantChangeType, and for
// VT_I8, VT_UI8, VT_DATE and VT_CY items a conversion of numbers and decimal texts of its own
// (exact for integers). DISP_E_OVERFLOW out of range, DISP_E_TYPEMISMATCH otherwise.
HRESULT ConvertSimWriteValue(const VARIANT& value, VARTYPE canonical, VARIANT* converted);

// Same type and same value (texts by content).
bool SameSimValue(const VARIANT& a, const VARIANT& b);
