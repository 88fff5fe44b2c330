// Decoder of the gateway's notification datagrams.
//
// Kinds: value change (0x43 'C') and read complete (0x52 'R'), a 16-byte header and item
// entries; their typed forms for groups defined with "TD" (0x63 'c' and 0x72 'r'), the same
// header and typed entries; write complete (0x57 'W', 13 bytes); cancel complete (0x4E 'N',
// 7 bytes); and the two announcement texts "Startup Quarnix\r\n" and "Exit Quarnix\r\n". All
// numbers are big-endian. An item entry carries its quality byte when the header's master
// quality byte is not 0 and its 4-byte error when the master error is not 0. A typed entry
// always carries its VARTYPE, 16-bit quality, flags, timestamp, error and value length.
//
// Error rule: DecodeDatagram never throws; bytes that are not one whole datagram of their kind
// give ok = false and a reason naming the fault (empty, unknown kind, too short for its kind,
// length field not the size, a value length other than 0, 1, 2 or 4, an entry cut short, bytes
// after the last entry, more entries than a datagram carries; for the typed kinds also a
// datagram over 1,472 bytes and a value length other than its VARTYPE's).
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class DatagramKind {
  kValueChange,     // 0x43
  kReadComplete,    // 0x52
  kTypedChange,     // 0x63
  kTypedRead,       // 0x72
  kWriteComplete,   // 0x57
  kCancelComplete,  // 0x4E
  kStartup,         // "Startup Quarnix\r\n"
  kExit,            // "Exit Quarnix\r\n"
};

// "change", "read", "typed-change", "typed-read", "write", "cancel", "startup", "exit".
const char* DatagramKindName(DatagramKind kind);

constexpr std::size_t kValueHeaderSize = 16;
constexpr std::size_t kWriteCompleteSize = 13;
constexpr std::size_t kCancelCompleteSize = 7;
constexpr std::size_t kMostEntriesPerDatagram = 121;
constexpr std::size_t kTypedEntrySize = 21;  // a typed entry without its value bytes
constexpr std::size_t kMostTypedDatagramSize = 1472;
constexpr std::size_t kMostTypedEntriesPerDatagram =
    (kMostTypedDatagramSize - kValueHeaderSize) / kTypedEntrySize;  // 69
extern const char kStartupText[];                                   // "Startup Quarnix\r\n"
extern const char kExitText[];                                      // "Exit Quarnix\r\n"

struct ItemEntry {
  std::uint16_t handle = 0;  // the item's position in its group
  std::uint8_t length = 0;   // value bytes: 0 (a type the datagram does not carry), 1, 2 or 4
  std::uint32_t value = 0;   // the value bytes as an unsigned number
  std::optional<std::uint8_t> quality;
  std::optional<std::uint32_t> error;

  // The value read as a signed number of its length (two's complement).
  std::int32_t SignedValue() const;
};

// An entry of a typed datagram.
struct TypedItemEntry {
  std::uint16_t handle = 0;    // the item's position in its group
  std::uint16_t vartype = 0;   // of the value as the server gave it
  std::uint16_t quality = 0;   // the whole OPC quality word
  std::uint8_t flags = 0;      // bit 0: the value was cut to fit the datagram
  std::int64_t timestamp = 0;  // the server's: microseconds since 1970-01-01 UTC; 0 for none
  std::uint32_t error = 0;     // the item's HRESULT
  std::string value;           // the value bytes (L of them)

  bool Cut() const { return (flags & 0x01) != 0; }
};

struct Datagram {
  DatagramKind kind = DatagramKind::kValueChange;
  std::uint32_t transactionId = 0;
  std::uint16_t group = 0;
  std::uint16_t count = 0;  // entries (change, read) or the item count (write complete)
  std::uint32_t masterError = 0;
  std::uint8_t masterQuality = 0;
  std::vector<ItemEntry> items;            // change, read
  std::vector<TypedItemEntry> typedItems;  // typed change, typed read
  std::string text;                        // the announcement text
};

struct DecodeResult {
  bool ok = false;
  std::string reason;
  Datagram datagram;
};

DecodeResult DecodeDatagram(std::string_view bytes);
