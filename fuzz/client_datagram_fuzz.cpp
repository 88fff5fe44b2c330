// Fuzzes the client's datagram decoder: any bytes must decode or be refused with a reason,
// never read beyond the datagram, and a decoded value or read datagram holds at most 121
// entries, each of 0, 1, 2 or 4 value bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/datagram_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const DecodeResult result =
      DecodeDatagram(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!result.ok) {
    if (result.reason.empty()) std::abort();
    return 0;
  }
  const Datagram& datagram = result.datagram;
  if (datagram.items.size() > kMostEntriesPerDatagram) std::abort();
  for (const ItemEntry& entry : datagram.items) {
    if (entry.length != 0 && entry.length != 1 && entry.length != 2 && entry.length != 4)
      std::abort();
    (void)entry.SignedValue();
  }
  (void)DatagramKindName(datagram.kind);
  return 0;
}
