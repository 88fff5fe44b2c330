#include "client/datagram_decoder.h"

#include <cstdio>

#include "client/typed_value.h"

const char kStartupText[] = "Startup Quarnix\r\n";
const char kExitText[] = "Exit Quarnix\r\n";

namespace {

std::string Number(std::size_t value) {
  return std::to_string(value);
}

std::uint32_t ReadBigEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  }
  return value;
}

DecodeResult Refuse(std::string reason) {
  DecodeResult result;
  result.reason = std::move(reason);
  return result;
}

// The 16-byte header that the value kinds share, with its length and entry-count checks: ok with
// the header's fields in result.datagram, or refused naming the fault.
DecodeResult DecodeValueHeader(std::string_view bytes, DatagramKind kind, const std::string& name,
                               std::size_t mostEntries) {
  if (bytes.size() < kValueHeaderSize) {
    return Refuse("too short for a " + name + " datagram: " + Number(bytes.size()) +
                  " bytes, its header alone has 16");
  }
  const std::size_t declared = ReadBigEndian(bytes, 1, 2);
  if (declared != bytes.size()) {
    return Refuse("the length field of the " + name + " datagram says " + Number(declared) +
                  " bytes, but " + Number(bytes.size()) + " came");
  }
  DecodeResult result;
  Datagram& datagram = result.datagram;
  datagram.kind = kind;
  datagram.transactionId = ReadBigEndian(bytes, 3, 4);
  datagram.group = static_cast<std::uint16_t>(ReadBigEndian(bytes, 7, 2));
  datagram.count = static_cast<std::uint16_t>(ReadBigEndian(bytes, 9, 2));
  datagram.masterError = ReadBigEndian(bytes, 11, 4);
  datagram.masterQuality = static_cast<std::uint8_t>(bytes[15]);
  if (datagram.count > mostEntries) {
    return Refuse("the " + name + " datagram announces " + Number(datagram.count) +
                  " entries, more than the " + Number(mostEntries) + " one datagram carries");
  }
  result.ok = true;
  return result;
}

DecodeResult DecodeValues(std::string_view bytes, DatagramKind kind) {
  const std::string name = kind == DatagramKind::kValueChange ? "value-change" : "read-complete";
  DecodeResult result = DecodeValueHeader(bytes, kind, name, kMostEntriesPerDatagram);
  if (!result.ok) return result;
  result.ok = false;
  Datagram& datagram = result.datagram;
  const bool withQuality = datagram.masterQuality != 0;
  const bool withError = datagram.masterError != 0;
  std::size_t at = kValueHeaderSize;
  for (std::size_t i = 0; i < datagram.count; ++i) {
    if (bytes.size() - at < 3) {
      return Refuse("entry " + Number(i) + " of " + Number(datagram.count) +
                    " is cut short: the datagram ends before its handle and value length");
    }
    ItemEntry entry;
    entry.handle = static_cast<std::uint16_t>(ReadBigEndian(bytes, at, 2));
    entry.length = static_cast<std::uint8_t>(bytes[at + 2]);
    if (entry.length != 0 && entry.length != 1 && entry.length != 2 && entry.length != 4) {
      return Refuse("entry " + Number(i) + " has value length " + Number(entry.length) +
                    "; a value has 0, 1, 2 or 4 bytes");
    }
    const std::size_t size = 3 + entry.length + (withQuality ? 1u : 0u) + (withError ? 4u : 0u);
    if (bytes.size() - at < size) {
      return Refuse("entry " + Number(i) + " of " + Number(datagram.count) + " is cut short: " +
                    Number(size) + " bytes needed, " + Number(bytes.size() - at) + " left");
    }
    entry.value = ReadBigEndian(bytes, at + 3, entry.length);
    std::size_t next = at + 3 + entry.length;
    if (withQuality) entry.quality = static_cast<std::uint8_t>(bytes[next++]);
    if (withError) {
      entry.error = ReadBigEndian(bytes, next, 4);
      next += 4;
    }
    datagram.items.push_back(entry);
    at = next;
  }
  if (at != bytes.size()) {
    return Refuse(Number(bytes.size() - at) + " bytes follow the last of the " +
                  Number(datagram.count) + " entries of the " + name + " datagram");
  }
  result.ok = true;
  return result;
}

std::int64_t ReadSigned64(std::string_view bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i)
    value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return static_cast<std::int64_t>(value);
}

DecodeResult DecodeTyped(std::string_view bytes, DatagramKind kind) {
  const std::string name =
      kind == DatagramKind::kTypedChange ? "typed value-change" : "typed read-complete";
  if (bytes.size() < kValueHeaderSize) {
    return Refuse("too short for a " + name + " datagram: " + Number(bytes.size()) +
                  " bytes, its header alone has 16");
  }
  if (bytes.size() > kMostTypedDatagramSize) {
    return Refuse("too long for a " + name + " datagram: " + Number(bytes.size()) +
                  " bytes, at most 1472");
  }
  DecodeResult result = DecodeValueHeader(bytes, kind, name, kMostTypedEntriesPerDatagram);
  if (!result.ok) return result;
  result.ok = false;
  Datagram& datagram = result.datagram;
  std::size_t at = kValueHeaderSize;
  for (std::size_t i = 0; i < datagram.count; ++i) {
    if (bytes.size() - at < kTypedEntrySize) {
      return Refuse("entry " + Number(i) + " of " + Number(datagram.count) +
                    " is cut short: " + Number(kTypedEntrySize) +
                    " bytes needed before its value, " + Number(bytes.size() - at) + " left");
    }
    TypedItemEntry entry;
    entry.handle = static_cast<std::uint16_t>(ReadBigEndian(bytes, at, 2));
    entry.vartype = static_cast<std::uint16_t>(ReadBigEndian(bytes, at + 2, 2));
    entry.quality = static_cast<std::uint16_t>(ReadBigEndian(bytes, at + 4, 2));
    entry.flags = static_cast<std::uint8_t>(bytes[at + 6]);
    entry.timestamp = ReadSigned64(bytes, at + 7);
    entry.error = ReadBigEndian(bytes, at + 15, 4);
    const std::size_t length = ReadBigEndian(bytes, at + 19, 2);
    const auto expected = TypedValueLength(entry.vartype);
    if (expected && *expected != length) {
      return Refuse("entry " + Number(i) + " (" + VarTypeName(entry.vartype) +
                    ") has value length " + Number(length) + "; that type has " +
                    Number(*expected));
    }
    if (bytes.size() - at - kTypedEntrySize < length) {
      return Refuse("entry " + Number(i) + " of " + Number(datagram.count) +
                    " is cut short: its value has " + Number(length) + " bytes, " +
                    Number(bytes.size() - at - kTypedEntrySize) + " left");
    }
    entry.value = std::string(bytes.substr(at + kTypedEntrySize, length));
    datagram.typedItems.push_back(std::move(entry));
    at += kTypedEntrySize + length;
  }
  if (at != bytes.size()) {
    return Refuse(Number(bytes.size() - at) + " bytes follow the last of the " +
                  Number(datagram.count) + " entries of the " + name + " datagram");
  }
  result.ok = true;
  return result;
}

DecodeResult DecodeFixed(std::string_view bytes, DatagramKind kind, std::size_t size) {
  const std::string name =
      kind == DatagramKind::kWriteComplete ? "write-complete" : "cancel-complete";
  if (bytes.size() != size) {
    return Refuse(std::string(bytes.size() < size ? "too short" : "too long") + " for a " + name +
                  " datagram: " + Number(bytes.size()) + " bytes, it has " + Number(size));
  }
  DecodeResult result;
  result.ok = true;
  result.datagram.kind = kind;
  result.datagram.transactionId = ReadBigEndian(bytes, 1, 4);
  result.datagram.group = static_cast<std::uint16_t>(ReadBigEndian(bytes, 5, 2));
  if (kind == DatagramKind::kWriteComplete) {
    result.datagram.count = static_cast<std::uint16_t>(ReadBigEndian(bytes, 7, 2));
    result.datagram.masterError = ReadBigEndian(bytes, 9, 4);
  }
  return result;
}

}  // namespace

std::int32_t ItemEntry::SignedValue() const {
  switch (length) {
    case 1:
      return static_cast<std::int8_t>(value);
    case 2:
      return static_cast<std::int16_t>(value);
    default:
      return static_cast<std::int32_t>(value);
  }
}

const char* DatagramKindName(DatagramKind kind) {
  switch (kind) {
    case DatagramKind::kValueChange:
      return "change";
    case DatagramKind::kReadComplete:
      return "read";
    case DatagramKind::kTypedChange:
      return "typed-change";
    case DatagramKind::kTypedRead:
      return "typed-read";
    case DatagramKind::kWriteComplete:
      return "write";
    case DatagramKind::kCancelComplete:
      return "cancel";
    case DatagramKind::kStartup:
      return "startup";
    case DatagramKind::kExit:
      return "exit";
  }
  return "unknown";
}

DecodeResult DecodeDatagram(std::string_view bytes) {
  if (bytes.empty()) return Refuse("the datagram is empty");
  if (bytes == kStartupText || bytes == kExitText) {
    DecodeResult result;
    result.ok = true;
    result.datagram.kind = bytes == kStartupText ? DatagramKind::kStartup : DatagramKind::kExit;
    result.datagram.text = std::string(bytes);
    return result;
  }
  switch (static_cast<std::uint8_t>(bytes[0])) {
    case 0x43:
      return DecodeValues(bytes, DatagramKind::kValueChange);
    case 0x52:
      return DecodeValues(bytes, DatagramKind::kReadComplete);
    case 0x63:
      return DecodeTyped(bytes, DatagramKind::kTypedChange);
    case 0x72:
      return DecodeTyped(bytes, DatagramKind::kTypedRead);
    case 0x57:
      return DecodeFixed(bytes, DatagramKind::kWriteComplete, kWriteCompleteSize);
    case 0x4E:
      return DecodeFixed(bytes, DatagramKind::kCancelComplete, kCancelCompleteSize);
    default: {
      char kind[8];
      std::snprintf(kind, sizeof kind, "0x%02X", static_cast<std::uint8_t>(bytes[0]));
      return Refuse(std::string("unknown datagram kind ") + kind + " (" + Number(bytes.size()) +
                    " bytes)");
    }
  }
}
