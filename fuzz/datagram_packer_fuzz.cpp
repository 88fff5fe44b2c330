// Fuzzes the datagram packer against the client's decoder: value and read calls of any size,
// types, qualities and errors built from the input must pack into datagrams of at most 121
// entries that decode back to the same kind, group, transaction id, handles and value lengths;
// the write- and cancel-complete datagrams must decode back to their fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "client/datagram_decoder.h"
#include "opc/item_value_packer.h"

namespace {

class CInput {
public:
  CInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint32_t Take(int bytes) {
    std::uint32_t value = 0;
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

const VARTYPE kTypes[] = {VT_EMPTY, VT_I1,  VT_UI1, VT_I2, VT_UI2, VT_BOOL,
                          VT_I4,    VT_UI4, VT_R4,  VT_R8, VT_INT, VT_UINT};

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string_view Bytes(const BYTE* out, std::size_t length) {
  return std::string_view(reinterpret_cast<const char*>(out), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CInput input(data, size);
  ItemValueCall call;
  call.kind = input.Take(1) % 2 == 0 ? kValueChangeKind : kReadCompleteKind;
  call.dwTransid = input.Take(4);
  call.hGroup = input.Take(4);
  call.hrMasterquality = input.Take(1) % 2 == 0 ? S_OK : S_FALSE;
  call.hrMastererror = input.Take(1) % 2 == 0 ? S_OK : S_FALSE;
  const DWORD count = input.Take(2) % 400;
  std::vector<OPCHANDLE> handles(count);
  std::vector<VARIANT> values(count);
  std::vector<WORD> qualities(count);
  std::vector<HRESULT> errors(count);
  for (DWORD i = 0; i < count; ++i) {
    handles[i] = input.Take(4);
    VariantInit(&values[i]);
    values[i].vt = kTypes[input.Take(1) % (sizeof kTypes / sizeof kTypes[0])];
    values[i].ulVal = input.Take(4);
    if (values[i].vt == VT_R8) values[i].dblVal = static_cast<double>(input.Take(4)) / 7.0;
    qualities[i] = static_cast<WORD>(input.Take(2));
    errors[i] = static_cast<HRESULT>(input.Take(4));
  }
  call.dwCount = count;
  call.phClientItems = handles.data();
  call.pvValues = values.data();
  call.pwQualities = qualities.data();
  call.pErrors = errors.data();

  BYTE out[kMaxItemDatagramBytes];
  const DWORD datagrams = ItemDatagramCount(count);
  Check(datagrams >= 1);
  DWORD begin = 0;
  for (DWORD d = 0; d < datagrams; ++d) {
    const DWORD end = begin + kItemsPerDatagram < count ? begin + kItemsPerDatagram : count;
    const std::size_t length = PackItemDatagram(call, begin, end, out);
    Check(length >= kItemHeaderBytes && length <= kMaxItemDatagramBytes);
    const DecodeResult decoded = DecodeDatagram(Bytes(out, length));
    Check(decoded.ok);
    const Datagram& datagram = decoded.datagram;
    Check(datagram.transactionId == call.dwTransid);
    Check(datagram.group == static_cast<std::uint16_t>(call.hGroup));
    Check(datagram.items.size() == end - begin);
    for (DWORD i = begin; i < end; ++i) {
      const ItemEntry& entry = datagram.items[i - begin];
      Check(entry.handle == static_cast<std::uint16_t>(handles[i]));
      BYTE valueBytes[8];
      Check(entry.length == PackItemValue(values[i], valueBytes));
    }
    begin = end;
  }
  Check(begin == count);

  const std::size_t written =
      PackWriteComplete(call.dwTransid, call.hGroup, call.hrMastererror, count, out);
  const DecodeResult write = DecodeDatagram(Bytes(out, written));
  Check(write.ok && write.datagram.transactionId == call.dwTransid);
  const std::size_t cancelled = PackCancelComplete(call.dwTransid, call.hGroup, out);
  const DecodeResult cancel = DecodeDatagram(Bytes(out, cancelled));
  Check(cancel.ok && cancel.datagram.transactionId == call.dwTransid);
  return 0;
}
