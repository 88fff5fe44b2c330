// The byte layouts of the group datagrams: value changes (0x43), read completions (0x52), write
// completions (0x57) and cancel completions (0x4E). Big-endian fields, no padding.
//
// Pure functions over caller-owned buffers, free of sockets and logging, so that the data
// callback, the tests and the benchmark pack exactly the same bytes.
//
// Error rule: nothing fails; the caller guarantees the buffer sizes and the array lengths.
// Thread rule: any thread. Ownership: borrows every array; writes only into out.
#pragma once

#include <cstddef>

#include "opc/opcda.h"

constexpr BYTE kValueChangeKind = 0x43;     // 'C', from OnDataChange
constexpr BYTE kReadCompleteKind = 0x52;    // 'R', from OnReadComplete
constexpr BYTE kWriteCompleteKind = 0x57;   // 'W'
constexpr BYTE kCancelCompleteKind = 0x4E;  // 'N'

constexpr DWORD kItemsPerDatagram = 121;
constexpr std::size_t kItemHeaderBytes = 16;
constexpr std::size_t kMaxItemEntryBytes = 12;
constexpr std::size_t kMaxItemDatagramBytes =
    kItemHeaderBytes + kItemsPerDatagram * kMaxItemEntryBytes;  // 1468
constexpr std::size_t kWriteCompleteBytes = 13;
constexpr std::size_t kCancelCompleteBytes = 7;

// The arguments of one OnDataChange or OnReadComplete call.
struct ItemValueCall {
  BYTE kind = kValueChangeKind;
  DWORD dwTransid = 0;
  OPCHANDLE hGroup = 0;
  HRESULT hrMasterquality = S_OK;
  HRESULT hrMastererror = S_OK;
  DWORD dwCount = 0;
  const OPCHANDLE* phClientItems = nullptr;
  const VARIANT* pvValues = nullptr;
  const WORD* pwQualities = nullptr;  // read only when hrMasterquality is non-zero
  const HRESULT* pErrors = nullptr;   // read only when hrMastererror is non-zero
};

// How many datagrams a call of count items takes: 1 for up to 121 items (also for 0).
DWORD ItemDatagramCount(DWORD count);

// Packs the entries [begin, end) of call (end - begin at most 121) with its 16-byte header into
// out, which holds at least kMaxItemDatagramBytes. Returns the datagram's length.
std::size_t PackItemDatagram(const ItemValueCall& call, DWORD begin, DWORD end, BYTE* out);

// The value bytes of one VARIANT by the encoding table (0, 1, 2 or 4 bytes). Returns L.
std::size_t PackItemValue(const VARIANT& value, BYTE* out);

// The 13-byte write-complete and the 7-byte cancel-complete datagrams. Return their lengths.
std::size_t PackWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                              BYTE* out);
std::size_t PackCancelComplete(DWORD dwTransid, OPCHANDLE hGroup, BYTE* out);
