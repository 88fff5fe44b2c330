// Fuzzes the client's datagram decoder: any bytes must decode or be refused with a reason,
// never read beyond the datagram; a decoded value or read datagram holds at most 121 entries,
// each of 0, 1, 2 or 4 value bytes; a decoded typed datagram is at most 1,472 bytes with at most
// 69 entries, each value of its type's length, and every value prints as text and JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/datagram_decoder.h"
#include "client/datagram_output.h"
#include "client/typed_value.h"

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
  if (!datagram.typedItems.empty() &&
      (size > kMostTypedDatagramSize || datagram.typedItems.size() > kMostTypedEntriesPerDatagram))
    std::abort();
  for (const TypedItemEntry& entry : datagram.typedItems) {
    const auto length = TypedValueLength(entry.vartype);
    if (length && *length != entry.value.size()) std::abort();
    (void)TypedValueText(ReadTypedValue(entry.vartype, entry.value));
    (void)UtcTimeText(entry.timestamp);
  }
  (void)DatagramLine(datagram);
  (void)DatagramJson(datagram, "127.0.0.1:1");
  (void)DatagramKindName(datagram.kind);
  return 0;
}
