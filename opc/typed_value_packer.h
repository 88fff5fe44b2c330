// The byte layout of the typed group datagrams: typed value changes and refreshes (0x63) and
// typed read completions (0x72), for groups defined with "TD". Big-endian fields, no padding.
//
// The header is that of the defined value-change datagram (kind, total length, transaction id,
// group handle, entry count, master error, master quality 0 or 1). Each entry carries the item
// handle, the value's VARTYPE, the whole quality word, a flags byte, the server's timestamp,
// the item error and the value's length and bytes: every number in its own width, reals as
// IEEE 754, texts as UTF-8. A datagram is at most 1,472 bytes; the entries of one call that do
// not fit go into further datagrams of the same transaction and group.
//
// Pure functions over caller-owned buffers, free of sockets and logging, so that the data
// callback, the tests, the fuzz target and the benchmark pack exactly the same bytes.
//
// Error rule: nothing fails except std::bad_alloc (a text is converted to UTF-8 first); the
// caller guarantees the buffer sizes and the array lengths. Thread rule: any thread.
// Ownership: borrows every array; writes only into out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "opc/opcda.h"

constexpr BYTE kTypedValueChangeKind = 0x63;   // 'c', from OnDataChange (subscription, refresh)
constexpr BYTE kTypedReadCompleteKind = 0x72;  // 'r', from OnReadComplete

constexpr std::size_t kTypedDatagramMaxBytes = 1472;  // unfragmented on a 1,500-byte MTU
constexpr std::size_t kTypedHeaderBytes = 16;
constexpr std::size_t kTypedEntryHeaderBytes = 21;  // everything of an entry but its value
// The longest value an otherwise empty datagram holds: a longer text is cut.
constexpr std::size_t kTypedValueMaxBytes =
    kTypedDatagramMaxBytes - kTypedHeaderBytes - kTypedEntryHeaderBytes;  // 1435
// The entry's flags: its value was cut to fit.
constexpr BYTE kTypedValueCut = 0x01;

// The arguments of one OnDataChange or OnReadComplete call of a typed group.
struct TypedValueCall {
  BYTE kind = kTypedValueChangeKind;
  DWORD dwTransid = 0;
  OPCHANDLE hGroup = 0;
  HRESULT hrMasterquality = S_OK;
  HRESULT hrMastererror = S_OK;
  DWORD dwCount = 0;
  const OPCHANDLE* phClientItems = nullptr;
  const VARIANT* pvValues = nullptr;
  // Each may be null: then every quality is good (bad when hrMasterquality is set), every
  // timestamp 0 and every error S_OK.
  const WORD* pwQualities = nullptr;
  const FILETIME* pftTimeStamps = nullptr;
  const HRESULT* pErrors = nullptr;
};

// Packs the entries from begin on, as many as fit, with the 16-byte header into out, which holds
// at least kTypedDatagramMaxBytes. Returns the datagram's length; next is the first entry left
// for the next datagram (dwCount when all are packed). At least one entry is packed whenever
// begin < dwCount. A call of 0 entries is one datagram of the header alone.
std::size_t PackTypedDatagram(const TypedValueCall& call, DWORD begin, DWORD& next, BYTE* out);

// The value bytes of one VARIANT (see docs/protocol.md): at most limit bytes are written (texts
// are cut at a character boundary; cut is set then). Returns L. Arrays, by-reference values and
// types without a layout give 0.
std::size_t PackTypedValue(const VARIANT& value, BYTE* out, std::size_t limit, bool& cut);

// The server's FILETIME as signed microseconds since 1970-01-01 UTC; 0 for a FILETIME of 0 (the
// server gave none) and for one past 2^63 (no time).
std::int64_t FileTimeToUnixMicroseconds(const FILETIME& time);
// A DATE (days since 1899-12-30, the fraction the time of day also before that day) as signed
// microseconds since 1970-01-01 UTC. False for NaN, an infinity or a date outside the years
// 100 to 9999 (the range of a DATE).
bool DateToUnixMicroseconds(DATE date, std::int64_t& microseconds);
