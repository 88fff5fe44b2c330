// Fuzzes the typed datagram packer: value and read calls of any size, with every type, texts of
// any UTF-16 (unpaired surrogates included) and any length, qualities, timestamps and errors
// built from the input, must pack into datagrams of at most 1,472 bytes whose header and
// entries parse back exactly (length field, entry count, handles in order, the same transaction
// and group in each), whose texts are valid UTF-8 and are cut (and flagged) only when longer
// than an otherwise empty datagram holds; together the datagrams carry every entry once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "opc/typed_value_packer.h"

namespace {

class CInput {
public:
  CInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint64_t Take(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value = (value << 8) | (m_at < m_size ? m_data[m_at] : 0u);
      ++m_at;
    }
    return value;
  }

private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

const VARTYPE kTypes[] = {VT_EMPTY, VT_I1,  VT_UI1, VT_I2,   VT_UI2, VT_BOOL, VT_I4,
                          VT_UI4,   VT_R4,  VT_R8,  VT_INT,  VT_UINT, VT_I8,  VT_UI8,
                          VT_CY,    VT_DATE, VT_ERROR, VT_BSTR, VT_DECIMAL,
                          static_cast<VARTYPE>(VT_ARRAY | VT_I4)};

void Check(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t Read(const BYTE* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

// Strict UTF-8: no stray or missing continuation bytes, overlong forms or surrogates.
bool ValidUtf8(const BYTE* p, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    const BYTE lead = p[at];
    std::size_t need = 0;
    std::uint32_t c = 0;
    std::uint32_t least = 0;
    if (lead < 0x80) {
      ++at;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) need = 1, c = lead & 0x1F, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) need = 2, c = lead & 0x0F, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) need = 3, c = lead & 0x07, least = 0x10000;
    else return false;
    if (at + need >= length) return false;
    for (std::size_t k = 1; k <= need; ++k) {
      if ((p[at + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[at + k] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    at += need + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CInput input(data, size);
  TypedValueCall call;
  call.kind = input.Take(1) % 2 == 0 ? kTypedValueChangeKind : kTypedReadCompleteKind;
  call.dwTransid = static_cast<DWORD>(input.Take(4));
  call.hGroup = static_cast<OPCHANDLE>(input.Take(4));
  call.hrMasterquality = input.Take(1) % 2 == 0 ? S_OK : S_FALSE;
  call.hrMastererror = input.Take(1) % 2 == 0 ? S_OK : S_FALSE;
  const DWORD count = static_cast<DWORD>(input.Take(2) % 300);
  std::vector<OPCHANDLE> handles(count);
  std::vector<VARIANT> values(count);
  std::vector<WORD> qualities(count);
  std::vector<FILETIME> stamps(count);
  std::vector<HRESULT> errors(count);
  for (DWORD i = 0; i < count; ++i) {
    handles[i] = i;
    VariantInit(&values[i]);
    const VARTYPE vt = kTypes[input.Take(1) % (sizeof kTypes / sizeof kTypes[0])];
    const std::uint64_t bits = input.Take(8);
    if (vt == VT_BSTR) {
      // Mostly short texts; sometimes one longer than a datagram.
      const std::size_t length = bits % 4 == 0 ? 1000 + bits % 3000 : bits % 40;
      WideString text(length, OLESTR('a'));
      for (std::size_t k = 0; k < length && k < 64; ++k)
        text[k] = static_cast<WideChar>(input.Take(2));
      values[i].vt = VT_BSTR;
      values[i].bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    } else {
      values[i].vt = vt;
      values[i].ullVal = bits;
    }
    qualities[i] = static_cast<WORD>(input.Take(2));
    const std::uint64_t ticks = input.Take(8);
    stamps[i] = FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    errors[i] = static_cast<HRESULT>(input.Take(4));
  }
  call.dwCount = count;
  call.phClientItems = handles.data();
  call.pvValues = values.data();
  if (input.Take(1) % 4 != 0) call.pwQualities = qualities.data();
  if (input.Take(1) % 4 != 0) call.pftTimeStamps = stamps.data();
  if (input.Take(1) % 4 != 0) call.pErrors = errors.data();

  BYTE out[kTypedDatagramMaxBytes];
  DWORD begin = 0;
  do {
    DWORD next = begin;
    const std::size_t length = PackTypedDatagram(call, begin, next, out);
    Check(length >= kTypedHeaderBytes && length <= kTypedDatagramMaxBytes);
    Check(next > begin || count == 0);
    Check(out[0] == call.kind && Read(out + 1, 2) == length);
    Check(Read(out + 3, 4) == call.dwTransid && Read(out + 7, 2) == (call.hGroup & 0xFFFF));
    Check(Read(out + 9, 2) == next - begin);
    Check(out[15] == (call.hrMasterquality != S_OK ? 1 : 0));
    std::size_t at = kTypedHeaderBytes;
    for (DWORD i = begin; i < next; ++i) {
      Check(at + kTypedEntryHeaderBytes <= length);
      Check(Read(out + at, 2) == i);
      Check(Read(out + at + 2, 2) == values[i].vt);
      const BYTE flags = out[at + 6];
      const std::size_t valueLength = Read(out + at + 19, 2);
      at += kTypedEntryHeaderBytes;
      Check(at + valueLength <= length);
      if (values[i].vt == VT_BSTR) {
        Check(ValidUtf8(out + at, valueLength));
        Check(flags == 0 || (flags == kTypedValueCut && valueLength + 3 >= kTypedValueMaxBytes));
      } else {
        Check(flags == 0 && valueLength <= 8);
      }
      at += valueLength;
    }
    Check(at == length);
    begin = next;
  } while (begin < count);
  Check(begin == count);
  for (VARIANT& v : values) VariantClear(&v);
  return 0;
}
